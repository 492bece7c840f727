#!/usr/bin/env bash
# The Debian package of a build without the window: made with cpack into a
# folder of this test's own, its file list and dependencies read, unpacked
# with dpkg-deb -x (never installed on this machine) and its kx27 run from
# the unpacked tree: the version, no window system linked, and kx27.dat read
# beside it.  Usage: package-test.sh BUILD_DIR VERSION PREFIX
set -euo pipefail

readonly BUILD=$1 VERSION=$2 PREFIX=$3

work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
debs=("$work"/out/kx27_*.deb)
((${#debs[@]} == 1)) && [[ -f ${debs[0]} ]] || fail "not one kx27_*.deb made: $(ls "$work/out")"
deb=${debs[0]}

want=$(sort <<EOF
.$PREFIX/bin/kx27
.$PREFIX/share/doc/kx27/README.md
.$PREFIX/share/doc/kx27/docs/build-and-search.png
.$PREFIX/share/kx27/systemd/kx27-refresh.service
.$PREFIX/share/kx27/systemd/kx27-refresh.timer
.$PREFIX/share/man/man1/kx27.1
EOF
)
got=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
[[ $got == "$want" ]] || fail "the package's files differ (- wanted, + found):
$(diff <(echo "$want") <(echo "$got") || true)"

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Version) == "$VERSION" ]] || fail "version $(field Version), not $VERSION"
depends=$(field Depends)
names=$(tr ',' '\n' <<<"$depends" | awk '{print $1}')
for p in libfbclient2 libzip4 libstdc++6 libc6; do
  grep -qxF "$p" <<<"$names" || fail "Depends lacks $p: $depends"
done
! grep -Eqi 'qt|libx' <<<"$names" || fail "Depends names the window system: $depends"
[[ $(field Recommends) == firebird3.0-server-core ]] || fail "Recommends: $(field Recommends)"

dpkg-deb -x "$deb" "$work/root"
kx27=$work/root$PREFIX/bin/kx27
grep -qx "ExecStart=$PREFIX/bin/kx27 refresh --quiet /srv/kx27/ken_all.zip" \
  "$work/root$PREFIX/share/kx27/systemd/kx27-refresh.service" || fail "the service does not run $PREFIX/bin/kx27"

[[ $("$kx27" --version) == "kx27 $VERSION" ]] || fail "kx27 --version says $("$kx27" --version)"
linked=$(ldd "$kx27")
! grep -Eq 'libQt|libX11|libxcb' <<<"$linked" || fail "kx27 links the window system:
$linked"

# kx27.dat beside the unpacked program names a database that does not
# exist: the search cannot connect (status 3) and names it.
printf '\r\n%s/\r\nNONE.FDB\r\n0\r\n0\r\n' "$work" >"$work/root$PREFIX/bin/kx27.dat"
status=0
err=$(env -u ISC_USER -u ISC_PASSWORD "$kx27" search 060 2>&1 >/dev/null) || status=$?
((status == 3)) && grep -qF "$work/NONE.FDB" <<<"$err" ||
  fail "search with kx27.dat beside the program: status $status, $err"
echo "package $(basename "$deb"): files, dependencies and the unpacked kx27 as expected"
