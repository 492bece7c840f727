#!/usr/bin/env bash
# Builds kx27 and opens its window.  Usage: ./run.sh [path/to/KEN_ALL.CSV]
#
# The file given (or the CSV inside a .zip, as Japan Post ships it: KEN_ALL.CSV
# in ken_all.zip, utf_ken_all.csv in utf_ken_all.zip) is copied beside the
# executable as KEN_ALL.CSV, where the program looks for it; a UTF-8 file is
# read as UTF-8 and stored as Shift-JIS.  On first use
# the settings file kx27.dat is written beside the executable so that the
# database lives in <checkout>/data/ and is opened in-process by the embedded
# engine: no database server is needed.  Edit that file to use a server.
# Everything it makes stays inside the checkout (build/, data/); run as root
# in a user's checkout, it hands those back to the user when it ends.
set -euo pipefail

die() { echo "run.sh: $*" >&2; exit 1; }
say() { echo "run.sh: $*"; }

(($# <= 1)) || die "usage: ./run.sh [path/to/KEN_ALL.CSV]"

source_csv=
if (($# == 1)); then
  [[ -f $1 && -r $1 ]] || die "cannot read $1"
  source_csv=$(readlink -f -- "$1")
fi

cd "$(dirname "$(readlink -f "$0")")"
readonly ROOT=$PWD
readonly BUILD=$ROOT/build
readonly EXE=$BUILD/app/kx27
readonly DATA=$ROOT/data

source scripts/checkout-files.sh

bash scripts/install-deps.sh window || die "the packages the window needs are missing"

# After the packages, so that xvfb-run is there when the hint names it.
if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} && ${QT_QPA_PLATFORM:-} != offscreen ]]; then
  die "no display to open the window on.  Without a desktop, run:
  xvfb-run -a ./run.sh${1:+ $(printf '%q' "$1")}"
fi

require_writable_in_checkout run.sh build data || exit 1

lock_dir=
finish() {
  local status=$?
  [[ -n $lock_dir ]] && rm -rf -- "$lock_dir"
  hand_back_to_checkout_owner build data
  exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKX27_SANITIZE=OFF >/dev/null ||
  die "configuring the build in $BUILD failed"
cmake --build "$BUILD" -j 2 --target kx27 || die "building kx27 failed"
[[ -x $EXE ]] || die "the build did not produce $EXE"

mkdir -p "$DATA" || die "cannot create the data folder $DATA"

# Five lines, CR LF each: no server prefix (embedded engine), the data folder
# with its trailing slash, the database file name, the window position.
settings=$BUILD/app/kx27.dat
if [[ ! -e $settings ]]; then
  printf '\r\n%s/\r\n%s\r\n%s\r\n%s\r\n' "$DATA" ADDRESS.FDB 192 107 >"$settings" ||
    die "cannot write $settings"
  say "wrote $settings (embedded database $DATA/ADDRESS.FDB)"
fi

target_csv=$BUILD/app/KEN_ALL.CSV
if [[ -n $source_csv ]]; then
  if [[ ${source_csv,,} == *.zip ]]; then
    entry=$(unzip -Z1 "$source_csv" | grep -i -m1 '\(^\|/\)\(utf_\)\?KEN_ALL\.CSV$') ||
      die "$source_csv holds neither KEN_ALL.CSV nor utf_ken_all.csv"
    unzip -p "$source_csv" "$entry" >"$target_csv.part" ||
      die "cannot unpack $entry from $source_csv"
    mv -f "$target_csv.part" "$target_csv"
  elif [[ $source_csv != "$target_csv" ]]; then
    cp -f -- "$source_csv" "$target_csv" || die "cannot copy $source_csv to $target_csv"
  fi
  say "KEN_ALL.CSV is in place: $target_csv"
elif [[ ! -e $target_csv ]]; then
  say "no KEN_ALL.CSV beside the executable; building the dictionary needs one:
  ./run.sh path/to/KEN_ALL.CSV"
fi

# The embedded engine keeps its lock files in /tmp/firebird unless told
# otherwise; that folder belongs to the server package's user firebird, or to
# whoever made it first.  This run gets a lock folder of its own; the
# database file itself is still opened exclusively.
if [[ -z ${FIREBIRD_LOCK:-} ]]; then
  lock_dir=$(mktemp -d "${XDG_RUNTIME_DIR:-${TMPDIR:-/tmp}}/kx27-lock.XXXXXX") ||
    die "cannot make a lock folder for the embedded engine"
  export FIREBIRD_LOCK=$lock_dir
fi

# Not exec'd: the lock folder goes and root's files are handed back when the
# window closes.
"$EXE"
