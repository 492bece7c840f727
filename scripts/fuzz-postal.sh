#!/bin/sh
# Fuzzes the source-line split and record build under AddressSanitizer and
# UndefinedBehaviorSanitizer.
#
#   scripts/fuzz-postal.sh [seconds] [build dir]
#
# seconds defaults to 600; the build dir (default build-fuzz-postal beside
# this script's checkout) holds the binary, the working corpus (seeded from
# bench/fuzz-seeds/postal) and any crash files. One job only.
set -eu

seconds=${1:-600}
root=$(cd "$(dirname "$0")/.." && pwd)
out=${2:-"$root/build-fuzz-postal"}

if ! command -v clang++ >/dev/null 2>&1 || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    apt-get install -y clang libclang-rt-14-dev
fi

mkdir -p "$out/corpus" "$out/crashes"
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root/core" -I"$root/app" -I"$root/postal" \
    "$root/bench/fuzz_postal.cpp" \
    "$root/postal/CommaText.cpp" "$root/postal/DictionaryRecord.cpp" \
    "$root/app/UnitV.cpp" \
    "$root/core/SysUtils.cpp" "$root/core/Classes.cpp" "$root/core/TextFile.cpp" \
    -o "$out/fuzz_postal"

cp -n "$root/bench/fuzz-seeds/postal/"* "$out/corpus/"
cd "$out"
exec ./fuzz_postal -max_total_time="$seconds" -max_len=1024 -print_final_stats=1 \
    -artifact_prefix="$out/crashes/" corpus
