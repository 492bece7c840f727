#!/bin/sh
# Fuzzes the source-line split and record build under AddressSanitizer and
# UndefinedBehaviorSanitizer.
#
#   scripts/fuzz-postal.sh [seconds] [build dir]
#
# seconds defaults to 600; the build dir (default build-fuzz-postal beside
# this script's checkout) is a CMake tree of its own, configured with clang
# and KX27_FUZZ, and holds the binary (bench/fuzz_postal), the working corpus
# (seeded from bench/fuzz-seeds/postal) and any crash files. One job only.
set -eu

seconds=${1:-600}
root=$(cd "$(dirname "$0")/.." && pwd)
out=${2:-"$root/build-fuzz-postal"}

if ! command -v clang++ >/dev/null 2>&1 || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    apt-get install -y clang libclang-rt-14-dev
fi

# No window: the fuzz target needs none of Qt.
cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DKX27_FUZZ=ON -DKX27_WITH_GUI=OFF >/dev/null
cmake --build "$out" --target fuzz_postal

mkdir -p "$out/corpus" "$out/crashes"
cp -n "$root/bench/fuzz-seeds/postal/"* "$out/corpus/"
cd "$out"
exec ./bench/fuzz_postal -max_total_time="$seconds" -max_len=1024 -print_final_stats=1 \
    -artifact_prefix="$out/crashes/" corpus
