#!/usr/bin/env bash
# The dose journal dialog's name search "Mei*" over 100,000 journal rows
# (1,000 match), list filled, beside the sqlite3 shell running the same query
# on the same file.
set -euo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.bash"
run_journal_bench bench_dosisform
query="SELECT ID, Patname, Datum, Zeit, Sonstiges, KVP, ma, Dicke FROM tblDosis WHERE Patname LIKE 'Mei%' ORDER BY ID;"
time_sqlite3 "$work/journal.dat" "$query"
