#!/usr/bin/env bash
# The dose journal dialog's name search "Mei*" over 100,000 journal rows
# (1,000 match), list filled, beside the sqlite3 shell running the same query
# on the same file.
set -euo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.bash"
cmake --build "$build" --target bench_dosisform -j2 >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
QT_QPA_PLATFORM=offscreen LUMORA_APP_FOLDER="$work" \
  "$build/bench/bench_dosisform" "$work/journal.dat" "$root/src/store/schema/dosis.sql"
query="SELECT ID, Patname, Datum, Zeit, Sonstiges, KVP, ma, Dicke FROM tblDosis WHERE Patname LIKE 'Mei%' ORDER BY ID;"
time_sqlite3 "$work/journal.dat" "$query"
