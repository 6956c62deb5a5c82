#!/usr/bin/env bash
# LoadStudy of four full-size MONOCHROME1 mammograms until the tiles are painted,
# beside dcmj2pnm rendering the same files to tile-sized PNGs one after the other;
# and RefreshPatientList with 10,000 patients beside sqlite3 reading the same rows.
set -euo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "$0")/.." && pwd)
export LUMORA_TOOLS_DIR="$build/tools" LUMORA_SOURCE_DIR="$root"
. "$root/bench/lib.bash"
offscreen_screen
work=$(mktemp -d)
trap 'remove_tree "$work" "$screen_config"' EXIT
bench="$build/tools/bench-viewer"

study=$("$bench" prepare "$work")
files=("$study"/*.dcm)
# BENCH_QUICK=1 (the suite): bench-viewer makes 512x416 images and 100 patients.
rows=4096 columns=3328 patients=10000
[ -z "${BENCH_QUICK:-}" ] || rows=512 columns=416 patients=100
pixel_kb=$(( ${#files[@]} * columns * rows * 2 / 1024 ))

out=$("$bench" load "$work")
echo "$out" | sed 's/^/  /'
load_ms=$(echo "$out" | awk '/^load_ms/ {print $2}')
peak_kb=$(echo "$out" | awk '/^peak_kb / {print $2}')
base_kb=$(echo "$out" | awk '/^peak_kb_before/ {print $2}')
tile=$(echo "$out" | awk '/^tile/ {print $2}')
tile_h=${tile#*x}

start=$(date +%s%N)
for f in "${files[@]}"; do
  dcmj2pnm --use-window 1 --scale-y-size "$tile_h" --write-png "$f" "$work/peer.png"
done
peer_ms=$(( ($(date +%s%N) - start) / 1000000 ))

printf 'four-view load to painted tiles: %s ms   dcmj2pnm x4 (scaled to %s px high): %s ms   ratio %s (goal <= 0.35)\n' \
  "$load_ms" "$tile_h" "$peer_ms" "$(awk -v a="$load_ms" -v b="$peer_ms" 'BEGIN {printf "%.2f", a / b}')"
printf 'peak memory: %s MB (%s MB before the load)   pixel data of the files: %s MB   rise/pixel data %s (goal <= 1.1)\n' \
  $((peak_kb / 1024)) $((base_kb / 1024)) $((pixel_kb / 1024)) \
  "$(awk -v p="$peak_kb" -v b="$base_kb" -v d="$pixel_kb" 'BEGIN {printf "%.2f", (p - b) / d}')"

out=$("$bench" patients "$work")
refresh_ms=$(echo "$out" | awk '/^refresh_ms/ {print $2}')
start=$(date +%s%N)
sqlite3 "$work/Data/LumoraData.dat" "SELECT PatID, PatID1, PatNachname, PatVorname, Pat2Vorname, PatGebDatum FROM tblPatienten" > /dev/null
peer_ms=$(( ($(date +%s%N) - start) / 1000000 ))
printf 'RefreshPatientList, %s patients: %s ms (goal ≤ 3× sqlite3)   sqlite3 reading the rows: %s ms\n' "$patients" "$refresh_ms" "$peer_ms"
