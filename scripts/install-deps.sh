#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing kx27
# need, and only when one of them is missing, so that repeated runs touch
# neither the network nor apt's lists.  Installing needs root.
set -euo pipefail

die() { echo "install-deps: $*" >&2; exit 1; }

packages=(
  cmake g++ make pkg-config
  libgtest-dev googletest
  qt6-base-dev libx11-dev
  libfbclient2 firebird-dev
  firebird3.0-server firebird3.0-server-core firebird3.0-utils
  fonts-ipafont-gothic
  xvfb xauth xdotool
  unzip
)

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
  die "run as root to install them, or install them yourself:
  apt-get update && apt-get install -y ${missing[*]}"
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
