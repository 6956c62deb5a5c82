#!/usr/bin/env bash
# LoadStudy of four full-size JPEG 2000 lossless mammograms until the tiles are
# painted, beside OpenJPEG's opj_decompress decoding the same four code streams
# one after the other to raw files in a tmpfs (its quickest writer), with the
# decoder's thread count; and the decode time opj_decompress reports itself.
set -euo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "$0")/.." && pwd)
export LUMORA_TOOLS_DIR="$build/tools" LUMORA_SOURCE_DIR="$root"
. "$root/bench/lib.bash"
offscreen_screen
work=$(mktemp -d)
shm=$(mktemp -d -p /dev/shm)
trap 'remove_tree "$work" "$shm" "$screen_config"' EXIT
bench="$build/tools/bench-viewer"

study=$("$bench" prepare "$work" j2k)
files=("$study"/*.dcm)
for f in "${files[@]}"; do
  dcmdump -q +W "$shm" "$f" > /dev/null # fragment 1 is the code stream
done
streams=()
for raw in "$shm"/*.1.raw; do
  mv "$raw" "${raw%.1.raw}.j2k"
  streams+=("${raw%.1.raw}.j2k")
done
rm -f "$shm"/*.raw
stream_kb=$(du -ck "${streams[@]}" | tail -1 | cut -f1)

out=$("$bench" load "$work")
echo "$out" | sed 's/^/  /'
load_ms=$(echo "$out" | awk '/^load_ms/ {print $2}')
peak_kb=$(echo "$out" | awk '/^peak_kb / {print $2}')
base_kb=$(echo "$out" | awk '/^peak_kb_before/ {print $2}')
threads=$(echo "$out" | awk '/^decoder_threads/ {print $2}')

peer_peak_kb=0
decode_ms=0
start=$(date +%s%N)
for s in "${streams[@]}"; do
  report=$(/usr/bin/time -f 'peak_kb %M' opj_decompress -threads "$threads" -i "$s" -o "${s%.j2k}.raw" 2>&1)
  kb=$(echo "$report" | awk '/^peak_kb/ {print $2}')
  [ "$kb" -gt "$peer_peak_kb" ] && peer_peak_kb=$kb
  decode_ms=$(( decode_ms + $(echo "$report" | awk '/decode time:/ {printf "%d", $3}') ))
done
peer_ms=$(( ($(date +%s%N) - start) / 1000000 ))

printf 'four-view JPEG 2000 load to painted tiles: %s ms   opj_decompress x4 (%s threads, to tmpfs): %s ms   ratio %s (goal <= 0.6; tiles decoded at the resolution they show)\n' \
  "$load_ms" "$threads" "$peer_ms" "$(awk -v a="$load_ms" -v b="$peer_ms" 'BEGIN {printf "%.2f", a / b}')"
printf '  opj_decompress decode time alone (its own report, no file writing): %s ms   ratio %s\n' \
  "$decode_ms" "$(awk -v a="$load_ms" -v b="$decode_ms" 'BEGIN {printf "%.2f", a / b}')"
printf 'peak memory: %s MB (%s MB before the load)   opj_decompress: %s MB   code streams: %s MB\n' \
  $((peak_kb / 1024)) $((base_kb / 1024)) $((peer_peak_kb / 1024)) $((stream_kb / 1024))
