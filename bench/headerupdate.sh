#!/usr/bin/env bash
# The header-update job changing one patient-level attribute (the patient's
# name) of a 100-image study, timed from the job's start to its files in
# temp/, beside DCMTK's dcmodify -nb making the same change to copies of the
# same files in one invocation; five rounds (BENCH_ROUNDS), each on a freshly
# filed study, medians printed. Goal: the job no slower than dcmodify.
# Beside them, the disk's own time to write and flush the same bytes (dd
# conv=fsync, one file): the job must flush its copies before an original goes,
# dcmodify flushes nothing, so on a large set that time bounds the job from below.
# BENCH_QUICK=1: one round of four small images, for the suite.
set -euo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.bash"
export LUMORA_TOOLS_DIR="$build/tools" LUMORA_SOURCE_DIR="$root"
bench="$build/tools/bench-header-update"
rounds=${BENCH_ROUNDS:-5}
count=${BENCH_IMAGES:-100}
[ -z "${BENCH_QUICK:-}" ] || rounds=1 count=4
work=$(mktemp -d)
trap 'remove_tree "$work"' EXIT


run_set() {
  local name=$1 rows=$2 columns=$3
  local -a job=() peer=() disposal=() disk=()
  local folder copies out start bytes peak=0 p
  for r in $(seq 1 "$rounds"); do
    folder="$work/$r-$rows"
    copies=$("$bench" prepare "$folder" "$count" "$rows" "$columns")
    bytes=$(du -cb "$copies"/*.dcm | tail -1 | cut -f1)
    # Each side starts with nothing of the other's left to write back.
    sync
    out=$("$bench" run "$folder")
    job+=("$(echo "$out" | awk '/^job_ms/ {print $2}')")
    disposal+=("$(echo "$out" | awk '/^old_files_removed_after_ms/ {print $2}')")
    p=$(echo "$out" | awk '/^peak_kb/ {print $2}')
    [ "$p" -gt "$peak" ] && peak=$p
    sync
    start=$(now_ms)
    dcmodify -nb -m "(0010,0010)=Bench^Changed" "$copies"/*.dcm
    peer+=($(( $(now_ms) - start )))
    dcmdump +P 0010,0010 "$copies"/*.dcm | grep -c 'Bench^Changed' | grep -qx "$count" || { echo "dcmodify did not change every copy" >&2; exit 1; }
    sync
    start=$(now_ms)
    dd if=/dev/zero of="$folder/disk-floor" bs=64K count=$(( bytes / 65536 + 1 )) conv=fsync status=none
    disk+=($(( $(now_ms) - start )))
    remove_tree "$folder"
  done
  local j d o f
  j=$(printf '%s\n' "${job[@]}" | median); d=$(printf '%s\n' "${peer[@]}" | median); o=$(printf '%s\n' "${disposal[@]}" | median)
  f=$(printf '%s\n' "${disk[@]}" | median)
  awk -v n="$count" -v b="$bytes" -v j="$j" -v d="$d" -v o="$o" -v f="$f" -v k="$peak" -v name="$name" -v r="$rounds" -v js="${job[*]}" -v ds="${peer[*]}" 'BEGIN {
    if (j <= 0) j = 1
    printf "%s (%d images, %.1f MB): header-update job %d ms   dcmodify -nb %d ms   ratio %.2f (goal >= 1), median of %d rounds; peak memory of the job %.1f MB\n",
      name, n, b / 1e6, j, d, d / j, r, k / 1024
    printf "%s: rounds (ms): job %s | dcmodify %s\n", name, js, ds
    printf "%s: the disk writing and flushing the same bytes in one file (dd conv=fsync) %d ms\n", name, f
    printf "%s: the originals moved aside were removed %d ms after the job, on a worker thread\n", name, o }'
}

run_set "small images 256x192" 256 192
[ -n "${BENCH_QUICK:-}" ] || run_set "images 1024x832 14 bit" 1024 832
