#!/usr/bin/env bash
# Builds the fuzz target over the receiver's header reading (ReadObjectHeader,
# what reads every arriving object) with clang's libFuzzer and runs it for 60 s.
# DCMTK and Qt are Debian's, without sanitizers: only our code is instrumented.
set -euo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/lib.bash
. "$root/bench/lib.bash"
out="$build/fuzz-receiver"
mkdir -p "$out/corpus"
# Seeds: a small synthetic view in each encoding the receiver meets, and the
# same as a bare data set without file meta information.
seeds=$(mktemp -d)
trap 'rm -rf "$seeds"' EXIT
"$build/tools/lumora-synth" -o "$seeds" --rows 16 --columns 16 --encoding explicit >/dev/null
view=$(ls "$seeds"/*.dcm | head -n 1)
cp "$view" "$out/corpus/explicit"
dcmconv +ti "$view" "$out/corpus/implicit"
dcmconv +tb "$view" "$out/corpus/big-endian"
dcmconv +td "$view" "$out/corpus/deflated"
dcmconv -F +te "$view" "$out/corpus/bare"
"$build/tools/lumora-synth" -o "$seeds/rle" --rows 16 --columns 16 --encoding rle >/dev/null
cp "$(ls "$seeds"/rle/*.dcm | head -n 1)" "$out/corpus/rle"
# shellcheck disable=SC2046
fuzz_compile "$out/fuzz-object-header" $(pkg-config --cflags Qt6Core Qt6Sql) \
  "$root/src/companions/receiver/FuzzObjectHeader.cpp" "$root/src/companions/receiver/DicomObject.cpp" \
  $(pkg-config --libs Qt6Core) -ldcmdata -loflog -lofstd
fuzz_run "$out/fuzz-object-header" "$out/corpus" -max_len=65536 -rss_limit_mb=2048
