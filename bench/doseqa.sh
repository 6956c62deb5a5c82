#!/usr/bin/env bash
# The dose QA window over 100,000 exposures of a year: its figures per view
# and band beside the sqlite3 shell computing the same counts and medians on
# the same file (goal: at most 3x), and the whole window with its charts on
# screen (goal: under 1 s). The two sides' counts and medians must agree.
set -euo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.bash"
offscreen_screen
log=$(mktemp)
run_journal_bench bench_doseqa >"$log" 2>/dev/null
trap 'remove_tree "$work" "$log" "$screen_config"' EXIT
out=$(cat "$log")
from=$(date -d '-364 days' +%Y-%m-%d)
to=$(date +%Y-%m-%d)
query="WITH e AS (SELECT CASE WHEN Sonstiges LIKE '_ CC%' THEN 'CC' WHEN Sonstiges LIKE '_ MLO%' THEN 'MLO' ELSE 'other' END AS v,
    CAST(CAST(Dicke AS REAL) / 10 AS INTEGER) * 10 AS b, AGD AS d, CAST(KVP AS REAL) AS kv, CAST(ma AS REAL) AS mas, CAST(Druck AS REAL) AS f
    FROM tblDosis WHERE Datum >= '$from' AND Datum <= '$to'),
  r AS (SELECT v, b, d, kv, mas, f, COUNT(*) OVER (PARTITION BY v, b) AS n,
    ROW_NUMBER() OVER (PARTITION BY v, b ORDER BY d) AS rd, ROW_NUMBER() OVER (PARTITION BY v, b ORDER BY kv) AS rk,
    ROW_NUMBER() OVER (PARTITION BY v, b ORDER BY mas) AS rm, ROW_NUMBER() OVER (PARTITION BY v, b ORDER BY f) AS rf FROM e)
SELECT 'band', v, b, n, printf('%.3f', AVG(CASE WHEN rd IN ((n + 1) / 2, (n + 2) / 2) THEN d END)),
  printf('%.3f', AVG(CASE WHEN rk IN ((n + 1) / 2, (n + 2) / 2) THEN kv END)),
  printf('%.3f', AVG(CASE WHEN rm IN ((n + 1) / 2, (n + 2) / 2) THEN mas END)),
  printf('%.3f', AVG(CASE WHEN rf IN ((n + 1) / 2, (n + 2) / 2) THEN f END))
FROM r GROUP BY v, b ORDER BY CASE v WHEN 'CC' THEN 0 WHEN 'MLO' THEN 1 ELSE 2 END, b;"
if ! diff <(grep '^band|' <<<"$out") <(sqlite3 "$work/journal.dat" "$query") >/dev/null; then
  echo "the figures differ from sqlite3's:"
  diff <(grep '^band|' <<<"$out") <(sqlite3 "$work/journal.dat" "$query") | head
  exit 1
fi
peer=$(time_sqlite3 "$work/journal.dat" "$query")
peer_ms=$(sed -E 's/.*best ([0-9.]+) ms.*/\1/' <<<"$peer")
figures_ms=$(sed -n 's/^figures_ms=//p' <<<"$out")
window_ms=$(sed -n 's/^window_ms=//p' <<<"$out")
awk -v f="$figures_ms" -v p="$peer_ms" -v w="$window_ms" -v n="$(grep -c '^band|' <<<"$out")" -v rows="${BENCH_ROWS:-100000}" 'BEGIN {
  printf "Dose QA figures of %d exposures (%d view and band rows, same counts and medians): %.1f ms   sqlite3 shell %.1f ms   ratio %.2f (goal <= 3)\n", rows, n, f, p, f / p
  printf "Dose QA window on screen with its charts: median %.0f ms (goal < 1000 ms)\n", w }'
