#!/usr/bin/env bash
# The tests' private Firebird server (scripts/test-server.sh): a cold start
# and stop; a server already running with another password, which stays as
# it was; a server left over from a killed run, which the next start ends
# while a live run's server stays.  The machine's Firebird configuration and
# any server it runs stay as they were throughout.  Exit 77: skipped.
set -euo pipefail

readonly SCRIPT=$(dirname "$(readlink -f "$0")")/../scripts/test-server.sh
[[ -x /usr/sbin/firebird ]] && command -v isql-fb >/dev/null && command -v fbsvcmgr >/dev/null ||
  { echo "needs firebird3.0-server and firebird3.0-utils"; exit 77; }

# Runs of this test only, so that its sweep of leftovers meets no one else's.
TMPDIR=$(mktemp -d)
export TMPDIR
chmod 0711 "$TMPDIR"   # run as root, the instances run as nobody
owner=
owners=()
cleanup() {
  local run
  for run in "$TMPDIR"/kx27-test.*; do
    [[ -d $run ]] && bash "$SCRIPT" stop "$run"
  done
  ((${#owners[@]} == 0)) || kill "${owners[@]}" 2>/dev/null || true
  rm -rf -- "$TMPDIR"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# A process standing in for the test run that owns a server.
new_owner() {
  sleep 600 &
  owner=$!
  owners+=("$owner")
}
start() { bash "$SCRIPT" start "$1"; }
port_of() { cat "$1/server/port"; }
pid_of() { cat "$1/server/pid"; }
answers_with() {
  ISC_USER=SYSDBA ISC_PASSWORD=$2 fbsvcmgr "127.0.0.1/$1:service_mgr" info_server_version >/dev/null 2>&1
}
port_open() { timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2>/dev/null; }
firebird_pids() {
  local comm
  for comm in /proc/[0-9]*/comm; do
    [[ $(cat "$comm" 2>/dev/null) == firebird ]] && basename "$(dirname "$comm")"
  done | sort
}
# The addresses (hex, as /proc/net shows them) the process listens on.
listening_on() {
  local inodes
  inodes=$(find "/proc/$1/fd" -lname 'socket:*' -printf '%l\n' 2>/dev/null | tr -dc '0-9\n')
  awk -v inodes="$inodes" 'BEGIN { n = split(inodes, a, "\n"); for (i = 1; i <= n; i++) want[a[i]] = 1 }
    $4 == "0A" && ($10 in want) { print $2 }' /proc/net/tcp /proc/net/tcp6
}

readonly CONF_BEFORE=$(sha256sum /etc/firebird/3.0/*.conf 2>/dev/null || true)
readonly SERVERS_BEFORE=$(firebird_pids)

# Cold start: the instance answers with SYSDBA/copperjam, listens on
# 127.0.0.1 only, not at 3050; stop ends it and removes its folder.
new_owner
a=$(start "$owner")
port=$(port_of "$a")
pid=$(pid_of "$a")
((port != 3050)) || fail "the instance took port 3050"
answers_with "$port" copperjam || fail "no answer with copperjam on $port"
! answers_with "$port" not-the-password || fail "a wrong password was accepted on $port"
[[ $(listening_on "$pid") == "$(printf '0100007F:%04X' "$port")" ]] ||
  fail "listening on $(listening_on "$pid" | tr '\n' ' ')instead of 127.0.0.1:$port only"
bash "$SCRIPT" stop "$a"
[[ ! -e /proc/$pid && ! -e $a ]] || fail "stop left the server or its folder"
! port_open "$port" || fail "port $port still answers after stop"

# A server already running with another password, on the port a start would
# take first: the next instance takes another port, and the server keeps its
# password, its security database and its process.
new_owner
other=$(start "$owner")
other_port=$(port_of "$other")
other_pid=$(pid_of "$other")
# The password is changed only on this test's own instance: the port is not
# the system server's, the process listening on it is the one this start
# launched, and the server that answers there has this run's folder as its
# root, whose firebird.conf names the instance's own security database.
((other_port != 3050)) || fail "the instance took port 3050"
[[ $(listening_on "$other_pid") == "$(printf '0100007F:%04X' "$other_port")" ]] ||
  fail "port $other_port is not served by this test's instance (pid $other_pid)"
grep -qxF "SecurityDatabase = $other/server/security3.fdb" "$other/server/firebird.conf" ||
  fail "the instance does not keep its users in its own security database"
[[ $(ISC_USER=SYSDBA ISC_PASSWORD=copperjam fbsvcmgr "127.0.0.1/$other_port:service_mgr" info_get_env 2>/dev/null) == \
  "Server root: $other/server/" ]] || fail "the server on $other_port is not this test's instance"
ISC_USER=SYSDBA ISC_PASSWORD=copperjam isql-fb -q -b >/dev/null <<SQL || fail "cannot set another password"
create database '127.0.0.1/$other_port:$other/server/data/setup.fdb';
alter user SYSDBA password 'other-secret';
commit;
drop database;
SQL
other_security=$(sha256sum <"$other/server/security3.fdb")
new_owner
c=$(start "$owner")
(($(port_of "$c") != other_port)) || fail "two instances on port $other_port"
answers_with "$(port_of "$c")" copperjam || fail "the second instance does not answer"
bash "$SCRIPT" stop "$c"
[[ -e /proc/$other_pid && $(sha256sum <"$other/server/security3.fdb") == "$other_security" ]] ||
  fail "the server already running was stopped or its security database changed"
answers_with "$other_port" other-secret && ! answers_with "$other_port" copperjam ||
  fail "the server already running lost its password"

# A run killed with its server still running: the next start ends that
# server and removes its folder; the server of a run still going stays.
new_owner
killed=$(start "$owner")
killed_pid=$(pid_of "$killed")
kill -KILL "$owner"
wait "$owner" 2>/dev/null || true
new_owner
e=$(start "$owner")
[[ ! -e /proc/$killed_pid && ! -e $killed ]] || fail "the leftover server or its folder is still there"
[[ -e /proc/$other_pid ]] || fail "the start ended the server of a run still going"
answers_with "$(port_of "$e")" copperjam || fail "no answer after the leftover was ended"
bash "$SCRIPT" stop "$e"
bash "$SCRIPT" stop "$other"

[[ $(sha256sum /etc/firebird/3.0/*.conf 2>/dev/null || true) == "$CONF_BEFORE" ]] ||
  fail "the machine's Firebird configuration changed"
[[ -z $(comm -23 <(echo "$SERVERS_BEFORE") <(firebird_pids)) ]] ||
  fail "a Firebird server running before the test has ended"
echo "test-server: cold start, server already running, leftover: all as expected"
