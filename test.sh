#!/usr/bin/env bash
# Builds kx27 twice -- build/ as is, build-asan/ with AddressSanitizer and
# UndefinedBehaviorSanitizer -- and runs every test of both builds through
# ctest against a Firebird server of this run's own (scripts/test-server.sh),
# stopped again at the end, also when a test fails or the run is interrupted.
# Then builds the program without the window in build-server/ and runs the
# command-line tests against it and the test of its Debian package.
# Checks that the machine's own Firebird files are as they were.  Exits
# non-zero when anything fails.  Usage: ./test.sh (as root or as a user)
set -euo pipefail

cd "$(dirname "$(readlink -f "$0")")"
readonly ROOT=$PWD
readonly JOBS=2
# A guard against a test that hangs (a modal box nobody closes, a lost
# server), not a measure of speed.
readonly TEST_TIMEOUT=600
readonly SYSTEM_CONF_DIR=/etc/firebird/3.0
readonly SYSTEM_SECURITY_DB=/var/lib/firebird/3.0/system/security3.fdb

die() { echo "test.sh: $*" >&2; exit 1; }
step() { printf '\n=== test.sh: %s\n' "$*"; }

(($# == 0)) || die "takes no arguments"

source scripts/checkout-files.sh

step "dependencies"
bash scripts/install-deps.sh test || die "the build and test dependencies are missing"
require_writable_in_checkout test.sh build build-asan build-server || exit 1

# The window tests never need a display.
export QT_QPA_PLATFORM=offscreen

# A server rewrites its security database at every login, so the system's is
# compared only while no Firebird server runs.
firebird_server_running() {
  local comm
  for comm in /proc/[0-9]*/comm; do
    case $(cat "$comm" 2>/dev/null) in firebird | fbguard) return 0 ;; esac
  done
  return 1
}

# Checksums of the machine's Firebird files this user can read.
system_firebird_files() {
  local f
  for f in "$SYSTEM_CONF_DIR"/* "$SYSTEM_SECURITY_DB"; do
    [[ -f $f && -r $f ]] || continue
    [[ $f == "$SYSTEM_SECURITY_DB" ]] && firebird_server_running && continue
    sha256sum "$f"
  done
}

check_system_firebird() {
  local before=$system_before
  firebird_server_running && before=$(grep -vF "  $SYSTEM_SECURITY_DB" <<<"$before" || true)
  [[ -n $before ]] || return 0
  if ! sha256sum --quiet --check <<<"$before" >&2; then
    echo "test.sh: FAILED: the machine's Firebird files above changed during the run" >&2
    return 1
  fi
  echo "test.sh: the machine's Firebird files are as before the run ($(wc -l <<<"$before") compared)"
}

run=
finish() {
  local status=$?
  trap - EXIT INT TERM HUP
  if [[ -n $run ]]; then
    bash scripts/test-server.sh stop "$run" || status=1
  fi
  check_system_firebird || status=1
  hand_back_to_checkout_owner build build-asan build-server
  exit "$status"
}

system_before=$(system_firebird_files)
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

step "Firebird test server"
run=$(bash scripts/test-server.sh start $$) || die "the tests' Firebird server did not start"
export KX27_TEST_SERVER="127.0.0.1/$(cat "$run/server/port"):"
export KX27_TEST_SERVER_DIR="$run/server/data/"
# Every test process gets a lock folder of this run for the embedded engine
# (the system's /tmp/firebird belongs to user firebird) and keeps its
# temporary files in this run's folder, which user nobody may pass through
# for the instances the test of the server script starts as root.
mkdir "$run/lock"
mkdir -m 0711 "$run/tmp"
export FIREBIRD_LOCK="$run/lock"
export TMPDIR="$run/tmp"

failed=()

# configure, build and test one build directory; a failing step is recorded
# and the next build still runs, so one run reports on both.
run_build() {
  local dir=$1; shift
  step "configure $dir"
  if ! cmake -S "$ROOT" -B "$ROOT/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"; then
    failed+=("$dir: configure"); return
  fi
  step "build $dir"
  if ! cmake --build "$ROOT/$dir" -j "$JOBS"; then
    failed+=("$dir: build"); return
  fi
  step "ctest $dir"
  # Serial on purpose: tests of the database layer share database files and
  # the embedded engine's lock files.
  if ! ctest --test-dir "$ROOT/$dir" --output-on-failure --no-tests=error \
      --timeout "$TEST_TIMEOUT"; then
    failed+=("$dir: tests")
  fi
}

run_build build -DKX27_SANITIZE=OFF
run_build build-asan -DKX27_SANITIZE=ON

# The build for servers: no Qt, no X. Only what differs from build/ is built
# and run: the program, its command-line tests and its package.
run_server_build() {
  local dir=build-server
  step "configure $dir (without the window)"
  if ! cmake -S "$ROOT" -B "$ROOT/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX27_SANITIZE=OFF -DKX27_WITH_GUI=OFF; then
    failed+=("$dir: configure"); return
  fi
  step "build $dir"
  if ! cmake --build "$ROOT/$dir" -j "$JOBS" --target kx27 app_command_line_tests; then
    failed+=("$dir: build"); return
  fi
  step "ctest $dir"
  if ! ctest --test-dir "$ROOT/$dir" --output-on-failure --no-tests=error \
      --timeout "$TEST_TIMEOUT" -L '^(commands|package)$'; then
    failed+=("$dir: tests")
  fi
}
run_server_build

echo
if ((${#failed[@]} > 0)); then
  printf 'test.sh: FAILED: %s\n' "${failed[@]}" >&2
  exit 1
fi
echo "test.sh: all tests passed in build/, build-asan/ and build-server/"
