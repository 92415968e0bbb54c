# Run by `cmake --install`, with the prefix it was given: the desktop entry, the commands in
# bin and, for an installation on this machine, an empty database.

set(program "${CMAKE_INSTALL_PREFIX}/${SENTROK_PROGRAM_DIR}")

# The entry starts the program by its full path: a menu does not search the user's PATH.
set(SENTROK_PROGRAM "${program}/sentrok")
configure_file("${SENTROK_DESKTOP_IN}" "${SENTROK_WORK_DIR}/sentrok.desktop" @ONLY)
file(INSTALL "${SENTROK_WORK_DIR}/sentrok.desktop"
     DESTINATION "${CMAKE_INSTALL_PREFIX}/${SENTROK_DATADIR}/applications")

# The service that runs sentrok-monitor; systemd reads units under <prefix>/lib/systemd/system
# for the prefixes /usr and /usr/local. Enabling it is the administrator's choice.
set(SENTROK_MONITOR "${program}/sentrok-monitor")
configure_file("${SENTROK_SERVICE_IN}" "${SENTROK_WORK_DIR}/sentrok-monitor.service" @ONLY)
file(INSTALL "${SENTROK_WORK_DIR}/sentrok-monitor.service"
     DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")

set(bin "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${SENTROK_BINDIR}")
file(MAKE_DIRECTORY "${bin}")
foreach(tool sentrok sentrok-db sentrok-monitor sentrok-probe)
  file(RELATIVE_PATH target "${CMAKE_INSTALL_PREFIX}/${SENTROK_BINDIR}" "${program}/${tool}")
  message(STATUS "Linking: ${bin}/${tool} -> ${target}")
  file(CREATE_LINK "${target}" "${bin}/${tool}" SYMBOLIC)
endforeach()

# The program never makes its database. An installation for this machine gets an empty one
# (a pass every 10 minutes); a staged one (DESTDIR) none; an existing one is never touched.
set(db "${program}/sentrok.mdb")
if("$ENV{DESTDIR}" STREQUAL "" AND NOT EXISTS "${db}")
  message(STATUS "Creating: ${db}")
  execute_process(COMMAND "${program}/sentrok-db" create "${db}" RESULT_VARIABLE failed)
  if(failed)
    message(WARNING "sentrok-db could not make ${db}")
  endif()
endif()
