#!/usr/bin/env bash
# The dose list of today over 100,000 journal rows, beside the sqlite3 shell
# running the same query on the same file.
set -euo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.bash"
cmake --build "$build" --target bench_exposure_doselist -j2 >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
QT_QPA_PLATFORM=offscreen LUMORA_APP_FOLDER="$work" \
  "$build/bench/bench_exposure_doselist" "$work/journal.dat" "$root/src/store/schema/dosis.sql"
today=$(date +%Y-%m-%d)
query="SELECT ID, Datum, Zeit, KVP, ma, Dicke, Druck, mGy, Sonstiges, Status, expZeit FROM tblDosis WHERE Status <> '1' AND Datum = '$today' ORDER BY ID;"
time_sqlite3 "$work/journal.dat" "$query"
