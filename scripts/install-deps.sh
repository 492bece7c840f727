#!/usr/bin/env bash
# Installs the Debian 12 packages one way of building kx27 needs, and only
# when one of them is missing, so that repeated runs touch neither the network
# nor apt's lists.  Installing needs root; a normal user is told what is missing
# and the command that installs it.
#
#   scripts/install-deps.sh window   building and running the window (run.sh):
#       build tools, GoogleTest (the build configures the tests too), Qt 6, the
#       Firebird client library and its embedded engine (server-core: no
#       network server), fonts, Xvfb for a headless machine, unzip
#   scripts/install-deps.sh server   building, running and packaging kx27
#       without the window (cmake -DKX27_WITH_GUI=OFF): build tools, GoogleTest,
#       the Firebird client library and its embedded engine, dpkg-dev and file
#       for cpack's package; no Qt, no X, no Xvfb
#   scripts/install-deps.sh test     all of that, and what the tests need
#       (test.sh): the Firebird server and utilities for the tests' private
#       server instance, xdotool
set -euo pipefail

die() { echo "install-deps: $*" >&2; exit 1; }

window_packages=(
  cmake g++ make pkg-config
  libgtest-dev googletest
  qt6-base-dev libx11-dev
  libfbclient2 firebird-dev firebird3.0-server-core
  fonts-ipafont-gothic
  xvfb xauth
  unzip libzip-dev zlib1g-dev
  libcli11-dev
)
server_packages=(
  cmake g++ make pkg-config
  libgtest-dev googletest
  libfbclient2 firebird-dev firebird3.0-server-core
  libzip-dev
  libcli11-dev
  dpkg-dev file
)
test_packages=(
  "${window_packages[@]}"
  dpkg-dev file
  firebird3.0-server firebird3.0-utils
  xdotool
)

case ${1:-} in
  window) packages=("${window_packages[@]}") ;;
  server) packages=("${server_packages[@]}") ;;
  test) packages=("${test_packages[@]}") ;;
  *) die "usage: install-deps.sh window|server|test" ;;
esac

command -v dpkg-query >/dev/null 2>&1 ||
  die "dpkg-query not found: this script expects Debian 12 (bookworm)"

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [[ $status == installed ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "install-deps: missing packages: ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  die "installing them needs root; this installs them, then run this command again:
  sudo apt-get update && sudo apt-get install -y ${missing[*]}"
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update || die "apt-get update failed"
apt-get install -y "${missing[@]}" </dev/null ||
  die "apt-get install failed for: ${missing[*]}"

for p in "${missing[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [[ $status == installed ]] || die "package $p is still not installed"
done
echo "install-deps: installed ${missing[*]}"
