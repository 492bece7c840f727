#!/usr/bin/env bash
# Builds kx27 twice -- build/ as is, build-asan/ with AddressSanitizer and
# UndefinedBehaviorSanitizer -- makes sure the Firebird test server answers on
# 127.0.0.1, and runs every test of both builds through ctest.  Exits non-zero
# when anything fails.  Usage: ./test.sh
set -euo pipefail

cd "$(dirname "$(readlink -f "$0")")"
readonly ROOT=$PWD
readonly JOBS=2
# A guard against a test that hangs (a modal box nobody closes, a lost
# server), not a measure of speed.
readonly TEST_TIMEOUT=600

die() { echo "test.sh: $*" >&2; exit 1; }
step() { printf '\n=== test.sh: %s\n' "$*"; }

(($# == 0)) || die "takes no arguments"

step "dependencies"
bash scripts/install-deps.sh || die "installing the build and test dependencies failed"

# The window tests never need a display.
export QT_QPA_PLATFORM=offscreen

step "Firebird test server"
bash scripts/start-test-server.sh || die "the Firebird test server on 127.0.0.1 is not available"

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

echo
if ((${#failed[@]} > 0)); then
  printf 'test.sh: FAILED: %s\n' "${failed[@]}" >&2
  exit 1
fi
echo "test.sh: all tests passed in build/ and build-asan/"
