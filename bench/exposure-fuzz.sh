#!/usr/bin/env bash
# Builds the decoder fuzz target with clang's libFuzzer and runs it for 60 s.
set -euo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/lib.bash
. "$root/bench/lib.bash"
out="$build/fuzz-exposure"
mkdir -p "$out/corpus"
# Seeds: one real message of each layout, prefixed by the unit and state bytes.
printf '\x01\x00Name: 2005-03-17 10:22:31 L-CC W/Rh AEC Grid 28kV 63mAs 1.25s 0 12kg 4.5cm 1.23 mGy\r\n' >"$out/corpus/sophie"
printf '\x02\x20\x02GIOTTO 10 28063 120 45 1.8\x03\r\n' >"$out/corpus/giotto"
printf '\x03\x00M4|0017|LCC|AEC|Mo/Mo|Grid|06.12.26|14:05|x|y|28 kV|z|63 mAs|a|b|c|d|120 N|4.5 cm|e|f|1.23 mGy|\r\n' >"$out/corpus/lorad"
printf '\x04\x43ABCDEF028100 450ms12 45mm 0 DIGITAL\r\n' >"$out/corpus/seno"
printf '\x05\x01SM 1000\r\n0.98 mGy W/Rh 28 kV 80 mAs AEC\r\n 2 Grid 450LF ms 45 mm Comp 120 N\r\n*\r\n' >"$out/corpus/hfe"
# shellcheck disable=SC2046
fuzz_compile "$out/fuzz-decoders" $(pkg-config --cflags Qt6Core) \
  "$root/src/exposure/FuzzDecoders.cpp" "$root/src/exposure/ExposureDecoders.cpp" \
  $(pkg-config --libs Qt6Core)
fuzz_run "$out/fuzz-decoders" "$out/corpus" -max_len=4096
