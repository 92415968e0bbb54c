#include "store/defaultdatabase.h"

#include "store/database.h"
#include "store/databaseurl.h"
#include "store/schema.h"

#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace sentrok {

DefaultDatabase defaultDatabaseFor(const DatabasePlaceFacts& facts)
{
    const bool besideProgram =
        facts.programFolderWritable && (!facts.privileged || facts.besideExists);
    if (besideProgram) return {Database::fileIn(facts.programFolder), false};
    const QString folder = !facts.stateDirectory.isEmpty()
                               ? facts.stateDirectory
                               : facts.dataHome + QStringLiteral("/sentrok");
    return {Database::fileIn(folder), true};
}

DefaultDatabase defaultDatabase(const QString& programFolder)
{
    DatabasePlaceFacts facts;
    facts.programFolder = programFolder;
    facts.programFolderWritable = ::access(QFile::encodeName(programFolder).constData(), W_OK) == 0;
    facts.privileged = ::geteuid() == 0;
    facts.besideExists = QFileInfo::exists(Database::fileIn(programFolder));
    facts.stateDirectory = qEnvironmentVariable("STATE_DIRECTORY").section(u':', 0, 0);
    // The XDG rules ignore a relative XDG_DATA_HOME.
    facts.dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (!QDir::isAbsolutePath(facts.dataHome))
        facts.dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    return defaultDatabaseFor(facts);
}

namespace {

// Each missing folder on the way, readable by its owner only.
void makeOwnerFolders(const QString& folder)
{
    const QString path = QDir::cleanPath(folder);
    if (QFileInfo(path).isDir()) return;
    const QString parent = QFileInfo(path).path();
    if (parent != path) makeOwnerFolders(parent);
    if (::mkdir(QFile::encodeName(path).constData(), 0700) == 0) return;
    // Another process may have made it meanwhile; a file in its place is an error.
    const int error = errno;
    if (error == EEXIST && QFileInfo(path).isDir()) return;
    throw DbError(dbcode::CantOpen, QStringLiteral("не удалось создать папку %1: %2")
                                        .arg(QDir::toNativeSeparators(path),
                                             QString::fromLocal8Bit(std::strerror(error))));
}

}  // namespace

bool createOwnDatabase(const QString& location, const DefaultDatabase& place)
{
    if (!place.own) return false;
    const DatabaseUrl url = DatabaseUrl::parse(location);
    // A server's database has no file: it is never the program's own place.
    if (url.file.isEmpty() || url.file != QDir::cleanPath(place.file) ||
        QFileInfo::exists(url.file))
        return false;
    makeOwnerFolders(QFileInfo(url.file).path());
    createDatabase(url.file);
    return true;
}

QString addHostsHint(const QString& file)
{
    return QStringLiteral(
               "Адреса добавляются в «База адресов» или командой: sentrok-db add-host "
               "\"%1\" IP ОПИСАНИЕ")
        .arg(QDir::toNativeSeparators(file));
}

}  // namespace sentrok
