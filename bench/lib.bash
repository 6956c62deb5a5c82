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

# Removes folders that may hold application folders: the audit trail's files
# there can be append-only (as root), which rm alone cannot remove.
remove_tree() {
  chattr -R -a "$@" 2>/dev/null || true
  rm -rf "$@"
}

# Builds the journal benchmark $1 and runs it on a new journal in a temporary
# folder, which `work` names afterwards; uses `build` and `root`. With
# BENCH_QUICK set (the suite), 6,000 rows (some of today unassigned) and no
# build: the suite built it.
run_journal_bench() {
  if [ -n "${BENCH_QUICK:-}" ]; then
    export BENCH_ROWS=6000
  else
    cmake --build "$build" --target "$1" -j2 >/dev/null
  fi
  work=$(mktemp -d)
  trap 'remove_tree "$work"' EXIT
  QT_QPA_PLATFORM=offscreen LUMORA_APP_FOLDER="$work" \
    "$build/bench/$1" "$work/journal.dat" "$root/src/store/schema/dosis.sql"
}

# Milliseconds since the epoch.
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# The median of the numbers on standard input, one a line.
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# An offscreen screen of 1280x1024 for the programs started after it; its
# configuration file is `screen_config`, for the caller's clean-up.
offscreen_screen() {
  screen_config=$(mktemp)
  echo '{"screens":[{"name":"s","x":0,"y":0,"width":1280,"height":1024,"logicalDpi":96}]}' > "$screen_config"
  export QT_QPA_PLATFORM="offscreen:configfile=$screen_config"
}

# Fuzz targets: clang with libFuzzer and the sanitizers, or the reason why not.
fuzz_compile() {
  local program=$1
  shift
  if ! command -v clang++ >/dev/null; then
    echo "clang++ missing: run scripts/deps --bench" >&2
    return 1
  fi
  clang++ -std=c++20 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -I"$root/src" "$@" -o "$program"
}

# Runs a fuzz target for 60 s on its corpus; its final report, the whole of
# it in fuzz.log beside the program. A crash fails and leaves its input there.
fuzz_run() {
  local program=$1 corpus=$2
  shift 2
  "$program" -artifact_prefix="$(dirname "$program")/" -max_total_time=60 -timeout=10 -print_final_stats=1 "$@" \
    "$corpus" 2>&1 | tee "$(dirname "$program")/fuzz.log" | tail -n 12
}

# A site CA and certificates signed by it for "station" and "peer", in $1
# (ca.crt, station.key/.crt, peer.key/.crt), for the TLS rows.
make_tls_certs() {
  local certs=$1 name
  mkdir -p "$certs"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$certs/ca.key" -out "$certs/ca.crt" -subj "/CN=Bench CA" 2>/dev/null
  for name in station peer; do
    openssl req -newkey rsa:2048 -nodes -keyout "$certs/$name.key" -out "$certs/$name.csr" -subj "/CN=$name" 2>/dev/null
    openssl x509 -req -in "$certs/$name.csr" -CA "$certs/ca.crt" -CAkey "$certs/ca.key" -CAcreateserial -days 2 -out "$certs/$name.crt" 2>/dev/null
  done
}
