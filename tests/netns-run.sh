#!/usr/bin/env bash
# Runs a program (a test, a benchmark) inside a private network namespace of its own:
# loopback up, the kernel's own echo replies off (the test responder answers instead), and
# ping sockets open to every group. Nothing sent there can leave it. It gets a private mount
# namespace too, so that a test may bind files of its own over /etc/resolv.conf or /etc/hosts.
#
#   tests/netns-run.sh PROGRAM [ARGS...]
#
# The program finds SENTROK_NETNS=1 when it runs in such a namespace. Where one cannot be
# made (not root, no unshare, a sandbox that forbids it), the program still runs, with
# SENTROK_NO_NETNS telling why, so that its network tests skip and say so.
set -u

if [ "${1:-}" = "--inside" ]; then
  shift
  unset SENTROK_NETNS SENTROK_NO_NETNS
  why=""
  if ! ip link set lo up 2>/dev/null; then
    why="cannot bring the loopback interface up in the new namespace"
  elif ! echo 1 2>/dev/null >/proc/sys/net/ipv4/icmp_echo_ignore_all; then
    why="cannot set net.ipv4.icmp_echo_ignore_all in the new namespace"
  elif ! echo "0 2147483647" 2>/dev/null >/proc/sys/net/ipv4/ping_group_range; then
    why="cannot set net.ipv4.ping_group_range in the new namespace"
  fi
  if [ -n "$why" ]; then
    export SENTROK_NO_NETNS="$why"
  else
    export SENTROK_NETNS=1
  fi
  exec "$@"
fi

if [ $# -eq 0 ]; then
  echo "usage: $0 PROGRAM [ARGS...]" >&2
  exit 2
fi

unset SENTROK_NETNS
why=""
if [ "$(id -u)" -ne 0 ]; then
  why="not root: a private network namespace (unshare -n) needs root; run the tests as root"
elif ! command -v unshare >/dev/null 2>&1; then
  why="unshare (util-linux) is not installed"
elif ! command -v ip >/dev/null 2>&1; then
  why="ip (iproute2) is not installed"
elif ! unshare -n -m true 2>/dev/null; then
  why="unshare -n -m failed: this machine does not allow new network and mount namespaces"
fi
if [ -n "$why" ]; then
  export SENTROK_NO_NETNS="$why"
  exec "$@"
fi
exec unshare -n -m --propagation private -- "$0" --inside "$@"
