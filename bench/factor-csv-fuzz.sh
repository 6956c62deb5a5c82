#!/usr/bin/env bash
# Builds the factor-table file fuzz target with clang's libFuzzer and runs it for 60 s.
set -euo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/lib.bash
. "$root/bench/lib.bash"
out="$build/fuzz-factor-csv"
mkdir -p "$out/corpus"
# Seeds: a valid file (made-up values) and one with comments and a blank line.
cat >"$out/corpus/valid.csv" <<'CSV'
factor,target_filter,hvl_mm_al,thickness_mm,value
g,,0.40,20,0.50
g,,0.40,60,0.30
g,,0.60,20,0.70
g,,0.60,60,0.40
c50-64,,0.40,20,1.00
c50-64,,0.40,60,1.10
c50-64,,0.60,20,1.02
c50-64,,0.60,60,1.20
c40-49,,0.40,20,0.90
c40-49,,0.40,60,1.00
c40-49,,0.60,20,0.94
c40-49,,0.60,60,1.04
s,W/Rh,,,1.05
s,W/Al,,20,1.10
s,W/Al,,60,1.30
CSV
{ printf '# made-up factors\r\n\r\n'; sed 's/$/\r/' "$out/corpus/valid.csv"; } >"$out/corpus/comments.csv"
# The file's words, so that mutations reach past the header and the names.
printf '"factor,target_filter,hvl_mm_al,thickness_mm,value"\n"g"\n"c50-64"\n"c40-49"\n"s"\n"Mo/Mo"\n"W/Ag"\n"W/Mo"\n"nan"\n"inf"\n"e-3"\n"1e1"\n"0x"\n"#"\n' >"$out/words.dict"
# shellcheck disable=SC2046
fuzz_compile "$out/fuzz-factor-csv" $(pkg-config --cflags Qt6Core) \
  "$root/src/dose/FuzzFactorTables.cpp" "$root/src/dose/FactorTables.cpp" "$root/src/dose/DoseCalibration.cpp" \
  $(pkg-config --libs Qt6Core)
fuzz_run "$out/fuzz-factor-csv" "$out/corpus" -max_len=8192 -dict="$out/words.dict"
