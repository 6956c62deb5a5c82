#!/usr/bin/env bash
# The dose list of today over 100,000 journal rows, beside the sqlite3 shell
# running the same query on the same file.
set -euo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "$0")/.." && pwd)
cmake --build "$build" --target bench_exposure_doselist -j2 >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
QT_QPA_PLATFORM=offscreen LUMORA_APP_FOLDER="$work" \
  "$build/bench/bench_exposure_doselist" "$work/journal.dat" "$root/src/store/schema/dosis.sql"
today=$(date +%Y-%m-%d)
query="SELECT ID, Datum, Zeit, KVP, ma, Dicke, Druck, mGy, Sonstiges, Status, expZeit FROM tblDosis WHERE Status <> '1' AND Datum = '$today' ORDER BY ID;"
best=""
for _ in 1 2 3 4 5; do
  start=$(date +%s%N)
  sqlite3 "$work/journal.dat" "$query" >/dev/null
  ns=$(( $(date +%s%N) - start ))
  if [ -z "$best" ] || [ "$ns" -lt "$best" ]; then best=$ns; fi
done
awk -v ns="$best" 'BEGIN { printf "peer sqlite3 shell, same query incl. process start: best %.2f ms\n", ns / 1e6 }'
