#!/usr/bin/env bash
# The dose list of today over 100,000 journal rows, beside the sqlite3 shell
# running the same query on the same file.
set -euo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.bash"
run_journal_bench bench_exposure_doselist
today=$(date +%Y-%m-%d)
query="SELECT ID, Datum, Zeit, KVP, ma, Dicke, Druck, mGy, Sonstiges, Status, expZeit FROM tblDosis WHERE Status <> '1' AND Datum = '$today' ORDER BY ID;"
time_sqlite3 "$work/journal.dat" "$query"
