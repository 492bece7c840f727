#!/usr/bin/env bash
# Makes sure a Firebird 3 server answers on 127.0.0.1:3050 for the tests,
# with SYSDBA's password set to copperjam, and that /tmp/kx27-fb (where the
# tests put server-side database files) exists and is writable by the server.
#
# Debian's package installs the server but nothing starts it without an init
# system, so the guardian is started here as user firebird.  Every step is
# safe to repeat: a server that already answers with the test password is
# left alone.  Changing anything needs root.
set -euo pipefail

die() { echo "start-test-server: $*" >&2; exit 1; }
say() { echo "start-test-server: $*"; }

readonly HOST=127.0.0.1
readonly PORT=3050
readonly TEST_PASSWORD=copperjam
readonly FB_CONF=/etc/firebird/3.0/firebird.conf
readonly SYSDBA_FILE=/etc/firebird/3.0/SYSDBA.password
readonly RUN_DIR=/run/firebird3.0
readonly PID_FILE=$RUN_DIR/firebird.pid
readonly FBGUARD=/usr/sbin/fbguard
readonly SERVER_LOG=/var/log/firebird/firebird3.0.log
readonly TEST_DIR=/tmp/kx27-fb
readonly START_TIMEOUT=30

is_root() { [[ $(id -u) -eq 0 ]]; }

# pgrep's package (procps) is not part of a minimal Debian system.
guardian_running() {
  local comm
  for comm in /proc/[0-9]*/comm; do
    [[ $(cat "$comm" 2>/dev/null) == fbguard ]] && return 0
  done
  return 1
}

port_answers() {
  timeout 2 bash -c "exec 3<>/dev/tcp/$HOST/$PORT" 2>/dev/null
}

# A service-manager attach authenticates without needing any database file.
# The password goes through the client library's environment, not argv.
password_works() {
  ISC_USER=SYSDBA ISC_PASSWORD=$1 fbsvcmgr "$HOST/$PORT:service_mgr" \
    info_server_version >/dev/null 2>&1
}

prepare_test_dir() {
  if [[ -d $TEST_DIR && $(stat -c '%U %a' "$TEST_DIR") == 'firebird 777' ]]; then
    return 0
  fi
  is_root || die "$TEST_DIR must exist, belong to firebird and have mode 0777; run as root"
  mkdir -p "$TEST_DIR" || die "cannot create $TEST_DIR"
  chown firebird:firebird "$TEST_DIR" || die "cannot hand $TEST_DIR to user firebird"
  chmod 0777 "$TEST_DIR" || die "cannot set mode 0777 on $TEST_DIR"
}

# The server must not be reachable from other machines.
bind_loopback_only() {
  [[ -f $FB_CONF ]] || die "$FB_CONF not found; is firebird3.0-server installed?"
  if grep -Eq "^[[:space:]]*RemoteBindAddress[[:space:]]*=[[:space:]]*$HOST[[:space:]]*$" "$FB_CONF"; then
    return 0
  fi
  if grep -Eq '^[[:space:]]*RemoteBindAddress[[:space:]]*=' "$FB_CONF"; then
    sed -i -E "s/^[[:space:]]*RemoteBindAddress[[:space:]]*=.*/RemoteBindAddress = $HOST/" "$FB_CONF" ||
      die "cannot edit RemoteBindAddress in $FB_CONF"
  else
    printf '\nRemoteBindAddress = %s\n' "$HOST" >>"$FB_CONF" ||
      die "cannot append RemoteBindAddress to $FB_CONF"
  fi
  say "set RemoteBindAddress = $HOST in $FB_CONF"
}

prepare_run_dir() {
  mkdir -p "$RUN_DIR" || die "cannot create $RUN_DIR"
  chown firebird:firebird "$RUN_DIR" || die "cannot hand $RUN_DIR to user firebird"
  chmod 0770 "$RUN_DIR" || die "cannot set the mode of $RUN_DIR"
}

start_guardian() {
  [[ -x $FBGUARD ]] || die "$FBGUARD not found; is firebird3.0-server installed?"
  rm -f "$PID_FILE"
  su -s /bin/sh firebird -c "$FBGUARD -daemon -forever -pidfile $PID_FILE" </dev/null ||
    die "starting $FBGUARD as user firebird failed"
  say "started fbguard as user firebird"
}

# A guardian that is still running restarts a crashed server by itself, but
# it ends after a normal shutdown of the server, so the wait starts a new one
# whenever none is left.
start_and_wait() {
  local deadline=$((SECONDS + START_TIMEOUT)) starts=0 told=no
  until port_answers; do
    if ! guardian_running; then
      if ((starts == 2)); then
        [[ -r $SERVER_LOG ]] && tail -n 20 "$SERVER_LOG" >&2
        die "fbguard ended twice without the server answering on $HOST:$PORT (server log: $SERVER_LOG)"
      fi
      start_guardian
      starts=$((starts + 1))
    elif ((starts == 0)) && [[ $told == no ]]; then
      say "fbguard is running but $HOST:$PORT does not answer yet; waiting"
      told=yes
    fi
    if ((SECONDS >= deadline)); then
      [[ -r $SERVER_LOG ]] && tail -n 20 "$SERVER_LOG" >&2
      die "no answer on $HOST:$PORT after ${START_TIMEOUT}s (server log: $SERVER_LOG)"
    fi
    sleep 0.5
  done
}

# Debian sets a random SYSDBA password at install time and keeps it in
# $SYSDBA_FILE.  isql needs a database to attach to before it can alter a
# user, so a scratch database is created and dropped again.  The old password
# never appears on a command line.
set_test_password() {
  [[ -r $SYSDBA_FILE ]] || die "cannot read $SYSDBA_FILE to learn the installed SYSDBA password"
  local old
  old=$(sed -n 's/^ISC_PASSWORD="\{0,1\}\([^"]*\)"\{0,1\}[[:space:]]*$/\1/p' "$SYSDBA_FILE" | tail -n 1)
  [[ -n $old ]] || die "no ISC_PASSWORD line in $SYSDBA_FILE"
  password_works "$old" ||
    die "SYSDBA accepts neither $TEST_PASSWORD nor the password in $SYSDBA_FILE"
  local scratch="$TEST_DIR/kx27-setup-$$.fdb"
  rm -f "$scratch"
  local quoted=${old//\'/\'\'}
  isql-fb -q -b >/dev/null <<SQL || { rm -f "$scratch"; die "changing SYSDBA's password with isql-fb failed"; }
create database '$HOST/$PORT:$scratch' user 'SYSDBA' password '$quoted';
alter user SYSDBA password '$TEST_PASSWORD';
commit;
drop database;
SQL
  rm -f "$scratch"
  say "SYSDBA's password is now $TEST_PASSWORD"
}

main() {
  command -v fbsvcmgr >/dev/null || die "fbsvcmgr not found; is firebird3.0-utils installed?"
  command -v isql-fb >/dev/null || die "isql-fb not found; is firebird3.0-utils installed?"

  prepare_test_dir
  # Takes effect at the next start when a server already runs.
  is_root && bind_loopback_only
  if port_answers && password_works "$TEST_PASSWORD"; then
    say "server answers on $HOST:$PORT"
    return 0
  fi
  is_root || die "the test server needs starting or configuring; run as root"

  prepare_run_dir
  start_and_wait
  password_works "$TEST_PASSWORD" || set_test_password
  password_works "$TEST_PASSWORD" || die "SYSDBA still does not accept $TEST_PASSWORD"
  say "server answers on $HOST:$PORT"
}

main "$@"
