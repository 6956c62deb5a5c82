# Shared by the benchmark scripts.

# The best of five runs of the sqlite3 shell on the query, process start included.
time_sqlite3() {
  local file=$1 query=$2 best="" start ns
  for _ in 1 2 3 4 5; do
    start=$(date +%s%N)
    sqlite3 "$file" "$query" >/dev/null
    ns=$(( $(date +%s%N) - start ))
    if [ -z "$best" ] || [ "$ns" -lt "$best" ]; then best=$ns; fi
  done
  awk -v ns="$best" 'BEGIN { printf "peer sqlite3 shell, same query incl. process start: best %.2f ms\n", ns / 1e6 }'
}
