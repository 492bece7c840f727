#!/usr/bin/env bash
# A Firebird 3 server of the test run's own, so that the tests never touch the
# machine's Firebird: its configuration, its security database, its SYSDBA
# password and any server already running stay as they are.
#
#   scripts/test-server.sh start OWNER_PID   prints the run folder
#   scripts/test-server.sh stop RUN_FOLDER
#
# start makes a run folder with mktemp -d (in $TMPDIR, default /tmp), builds
# an instance in RUN/server and starts it on 127.0.0.1 only, at the first free
# port from 3051, with SYSDBA/copperjam.  RUN/server/port holds the port and
# RUN/server/data/ takes the test databases (the only folder the instance
# opens databases in).  The instance lives until stop, or until a later start
# finds its owner gone: a run that was killed leaves its server running, and
# the next start of the same user ends that server and removes its folder.
#
# What a private instance of Debian's Firebird 3 needs.  The FIREBIRD
# environment variable names the instance's root folder; the server and the
# embedded engine read these from it:
#   firebird.conf   port, bind address, security database, database folder
#   security3.fdb   a fresh security database, made by the embedded engine;
#                   the Srp user manager creates its table PLG$SRP when
#                   SYSDBA is added.  The system's security3.fdb is not
#                   copied: it holds the machine's own users, and only user
#                   firebird may read it.
#   intl/           character sets: a link to the package's folder
#   databases.conf, plugins.conf are optional and left out (no aliases, no
#   UDR).  Fixed by the package, not under the root: the plugins (Engine12,
#   Srp) and firebird.msg in /usr/lib/x86_64-linux-gnu/firebird/3.0, and the
#   log /var/log/firebird/firebird3.0.log, which only user firebird and root
#   can write.  FIREBIRD_LOCK names the lock folder (RUN/server/lock instead of
#   the system server's /tmp/firebird).  The server needs firebird3.0-server,
#   the set-up isql-fb and fbsvcmgr from firebird3.0-utils.
#
# The instance runs as the calling user; called as root, as user nobody, so
# that it can write neither the system's Firebird files nor its log.  Any
# local user who knows the published test password can use the instance while
# it runs, with the rights of the user it runs as (a backup through the
# service manager is written wherever that user may write); it lives only as
# long as the test run.
set -euo pipefail

die() { echo "test-server: $*" >&2; exit 1; }
say() { echo "test-server: $*" >&2; }

readonly HOST=127.0.0.1
readonly FIRST_PORT=3051
readonly LAST_PORT=3099
readonly PASSWORD=copperjam
readonly SERVER=/usr/sbin/firebird
readonly FB_DIR=/usr/lib/x86_64-linux-gnu/firebird/3.0
readonly TMP_ROOT=${TMPDIR:-/tmp}
readonly START_TIMEOUT=30
readonly STOP_TIMEOUT=15

is_root() { [[ $(id -u) -eq 0 ]]; }

# Runs a command as the instance's user.
as_instance() {
  if is_root; then
    setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"
  else
    "$@"
  fi
}

# The start time of a process, so that a pid used again later is not taken
# for the owner.
start_time() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  local fields
  read -ra fields <<<"$stat"
  echo "${fields[19]}"
}

# Alive and not a zombie waiting to be reaped.
alive() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [[ ${stat:0:1} != Z ]]
}

port_answers() {
  timeout 2 bash -c "exec 3<>/dev/tcp/$HOST/$1" 2>/dev/null
}

# Whether the process listens on the port: /proc/net/tcp names sockets by
# inode, /proc/PID/fd links to the process's own.
listens_on() {
  local pid=$1 port=$2 inodes
  inodes=$(find "/proc/$pid/fd" -lname 'socket:*' -printf '%l\n' 2>/dev/null | tr -dc '0-9\n')
  [[ -n $inodes ]] || return 1
  awk -v inodes="$inodes" -v addr="$(printf '0100007F:%04X' "$port")" '
    BEGIN { n = split(inodes, a, "\n"); for (i = 1; i <= n; i++) own[a[i]] = 1 }
    $2 == addr && $4 == "0A" && ($10 in own) { found = 1 }
    END { exit !found }' /proc/net/tcp
}

# The pid in RUN/server/pid when it is this instance's server still running.
server_pid() {
  local run=$1 pid
  pid=$(cat "$run/server/pid" 2>/dev/null) || return 1
  [[ $pid =~ ^[0-9]+$ && $(readlink "/proc/$pid/exe" 2>/dev/null) == "$SERVER" ]] || return 1
  tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "FIREBIRD=$run/server" || return 1
  echo "$pid"
}

stop_instance() {
  local run=${1%/}
  [[ -d $run && -f $run/owner ]] || die "$run is no run folder of this script"
  local pid
  if pid=$(server_pid "$run"); then
    kill -TERM "$pid" 2>/dev/null || true
    local deadline=$((SECONDS + STOP_TIMEOUT))
    while [[ -e /proc/$pid ]] && ((SECONDS < deadline)); do sleep 0.2; done
    if [[ -e /proc/$pid ]]; then
      say "the server (pid $pid) did not end within ${STOP_TIMEOUT}s; killing it"
      kill -KILL "$pid" 2>/dev/null || true
      while [[ -e /proc/$pid ]]; do sleep 0.2; done
    fi
  fi
  rm -rf -- "$run"
}

# Run folders of this user whose owner has gone: their runs were killed.
stop_leftovers() {
  local run owner_pid owner_start
  for run in "$TMP_ROOT"/kx27-test.*; do
    [[ -d $run && -O $run && -f $run/owner ]] || continue
    read -r owner_pid owner_start <"$run/owner" || true
    [[ -n ${owner_pid:-} && $(start_time "$owner_pid" || true) == "${owner_start:-}" ]] && continue
    say "stopping the test server left over from an interrupted run in $run"
    stop_instance "$run"
  done
}

write_config() {
  local dir=$1 port=$2
  cat >"$dir/firebird.conf" <<EOF
# The tests' private instance (scripts/test-server.sh).
RemoteServicePort = $port
RemoteBindAddress = $HOST
SecurityDatabase = $dir/security3.fdb
DatabaseAccess = Restrict $dir/data
TempDirectories = $dir/tmp
UdfAccess = None
ExternalFileAccess = None
EOF
}

# SYSDBA is added only when the security database in use has no user table
# yet, i.e. only to the fresh one.
create_security_database() {
  local dir=$1
  (cd "$dir" && as_instance env FIREBIRD="$dir" FIREBIRD_LOCK="$dir/lock" \
    isql-fb -q -b >"$dir/setup.out" 2>&1) <<SQL || { cat "$dir/setup.out" >&2; return 1; }
create database '$dir/security3.fdb' user 'SYSDBA';
set term ^;
execute block as
  declare users integer = -1;
begin
  begin
    select count(*) from sec\$users into :users;
    when any do users = 0;
  end
  if (users = 0) then
    execute statement 'create user SYSDBA password ''$PASSWORD'' using plugin Srp';
end^
set term ;^
commit;
SQL
}

# Whether the server that answers on the port is this instance, with the
# test password.  The password goes through the environment, not argv.
instance_answers() {
  local dir=$1 port=$2 root
  root=$(ISC_USER=SYSDBA ISC_PASSWORD=$PASSWORD fbsvcmgr "$HOST/$port:service_mgr" \
    info_get_env 2>/dev/null) || return 1
  [[ $root == "Server root: $dir/" ]]
}

start_instance() {
  local owner=$1
  [[ $owner =~ ^[0-9]+$ ]] && [[ -e /proc/$owner ]] || die "no process $owner to own the server"
  [[ -x $SERVER ]] || die "$SERVER not found: install firebird3.0-server"
  command -v isql-fb >/dev/null && command -v fbsvcmgr >/dev/null ||
    die "isql-fb or fbsvcmgr not found: install firebird3.0-utils"
  stop_leftovers

  local run
  run=$(mktemp -d "$TMP_ROOT/kx27-test.XXXXXX") || die "cannot make a run folder in $TMP_ROOT"
  echo "$owner $(start_time "$owner")" >"$run/owner"
  local dir=$run/server
  mkdir "$dir" "$dir/lock" "$dir/data" "$dir/tmp"
  if is_root; then
    chmod 0711 "$run"
    chown nobody:nogroup "$dir" "$dir/lock" "$dir/data" "$dir/tmp"
  fi
  ln -s "$FB_DIR/intl" "$dir/intl"
  as_instance test -w "$dir" || { rm -rf -- "$run"; die "user nobody cannot reach $dir: \
run with a TMPDIR that other users may pass through (like /tmp)"; }
  write_config "$dir" "$FIRST_PORT"
  create_security_database "$dir" || { rm -rf -- "$run"; die "creating the security database failed"; }

  local server_command=(env FIREBIRD="$dir" FIREBIRD_LOCK="$dir/lock" "$SERVER")
  is_root && server_command=(setpriv --reuid=nobody --regid=nogroup --clear-groups -- "${server_command[@]}")
  local port
  for ((port = FIRST_PORT; port <= LAST_PORT; port++)); do
    port_answers "$port" && continue
    write_config "$dir" "$port"
    # One process all along: setsid, setpriv and env each exec the next, so
    # the subshell's pid is the server's.  Its own session keeps it out of
    # the terminal's Ctrl-C; the caller stops it.
    (cd "$dir" && exec setsid "${server_command[@]}" </dev/null >"$dir/server.out" 2>&1) &
    local pid=$!
    echo "$pid" >"$dir/pid"
    local deadline=$((SECONDS + START_TIMEOUT))
    while :; do
      if instance_answers "$dir" "$port"; then
        echo "$port" >"$dir/port"
        say "server of this run answers on $HOST/$port (folder $dir)"
        echo "$run"
        return 0
      fi
      # Taken by another server between the probe and the start: this one
      # would retry for a minute; the next port is tried at once.
      if port_answers "$port" && ! listens_on "$pid" "$port"; then
        kill -TERM "$pid" 2>/dev/null || true
        while alive "$pid"; do sleep 0.2; done
        break
      fi
      if ! alive "$pid"; then
        cat "$dir/server.out" >&2
        stop_instance "$run"
        die "the server ended without answering on $HOST/$port"
      fi
      if ((SECONDS >= deadline)); then
        cat "$dir/server.out" >&2
        stop_instance "$run"
        die "no answer from the server on $HOST/$port after ${START_TIMEOUT}s"
      fi
      sleep 0.3
    done
  done
  stop_instance "$run"
  die "no free port from $FIRST_PORT to $LAST_PORT on $HOST"
}

case ${1:-} in
  start) (($# == 2)) || die "usage: test-server.sh start OWNER_PID"; start_instance "$2" ;;
  stop) (($# == 2)) || die "usage: test-server.sh stop RUN_FOLDER"; stop_instance "$2" ;;
  *) die "usage: test-server.sh start OWNER_PID | stop RUN_FOLDER" ;;
esac
