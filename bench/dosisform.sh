#!/usr/bin/env bash
# The dose journal dialog's name search "Mei*" over 100,000 journal rows
# (1,000 match), list filled, beside the sqlite3 shell running the same query
# on the same file.
set -euo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "$0")/.." && pwd)
cmake --build "$build" --target bench_dosisform -j2 >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
QT_QPA_PLATFORM=offscreen LUMORA_APP_FOLDER="$work" \
  "$build/bench/bench_dosisform" "$work/journal.dat" "$root/src/store/schema/dosis.sql"
query="SELECT ID, Patname, Datum, Zeit, Sonstiges, KVP, ma, Dicke FROM tblDosis WHERE Patname LIKE 'Mei%' ORDER BY ID;"
best=""
for _ in 1 2 3 4 5; do
  start=$(date +%s%N)
  sqlite3 "$work/journal.dat" "$query" >/dev/null
  ns=$(( $(date +%s%N) - start ))
  if [ -z "$best" ] || [ "$ns" -lt "$best" ]; then best=$ns; fi
done
awk -v ns="$best" 'BEGIN { printf "peer sqlite3 shell, same query incl. process start: best %.2f ms\n", ns / 1e6 }'
