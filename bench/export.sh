#!/usr/bin/env bash
# Exporting a four-view full-size study (4096x3328, 14 bit), beside the
# command-line route a user would take, in the same run; five rounds
# (BENCH_ROUNDS), medians printed:
#  - DICOM with DICOMDIR and ZIP, against copying the files under 8-character
#    names, dcmmkdir and zip;
#  - JPEG at the quality entry "High" (80), against dcmj2pnm --write-jpeg +Jq 80
#    with the same window (the image's first) on the same four files.
# Goals: DICOM no slower than the peer; JPEG at least 4x faster than dcmj2pnm.
# BENCH_QUICK=1: one round of small images, for the suite (a failure, no figure).
set -euo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.bash"
[ -n "${BENCH_QUICK:-}" ] || cmake --build "$build" --target bench-export lumora-synth lumora-mkdb -j2 >/dev/null
bench="$build/tools/bench-export"
rounds=${BENCH_ROUNDS:-5} rows=4096 columns=3328
[ -z "${BENCH_QUICK:-}" ] || rounds=1 rows=256 columns=208
work=$(mktemp -d)
trap 'remove_tree "$work"' EXIT
export QT_QPA_PLATFORM=offscreen LUMORA_APP_FOLDER="$work/app"
mkdir -p "$work/app"
# The station's databases: the export looks up the studies' dose reports there.
"$build/tools/lumora-mkdb" "$root/src/store/schema" "$root/src/dictionary/dictionary-tags.txt" "$work/app/Data" >/dev/null

"$build/tools/lumora-synth" --out "$work/src" --count 4 --rows "$rows" --columns "$columns" --bits 14 >/dev/null
files=("$work"/src/*.dcm)
bytes=$(du -cb "${files[@]}" | tail -1 | cut -f1)

declare -a ours=() peer=() jours=() jpeer=()
for r in $(seq 1 "$rounds"); do
  out="$work/out$r" cli="$work/cli$r" jout="$work/jpg$r" jcli="$work/jcli$r"
  mkdir -p "$out" "$cli/DICOM/K0000001" "$jout" "$jcli"
  sync
  ours+=("$("$bench" dicom "$out" "${files[@]}" | awk '/^export_ms/ {print $2}')")
  sync
  start=$(now_ms)
  n=0
  for f in "${files[@]}"; do n=$((n + 1)); cp "$f" "$cli/DICOM/K0000001/$(printf 'IM%06d' $n)"; done
  (cd "$cli" && dcmmkdir -q +r DICOM && zip -q -r study.zip DICOMDIR DICOM)
  peer+=($(( $(now_ms) - start )))
  [ "$(unzip -Z1 "$out/study.zip" | wc -l)" -eq "$(unzip -Z1 "$cli/study.zip" | grep -vc '/$')" ] || { echo "the archives differ in their entries" >&2; exit 1; }
  zours=$(stat -c %s "$out/study.zip") zpeer=$(stat -c %s "$cli/study.zip")
  sync
  jours+=("$("$bench" jpeg 8 "$jout" "${files[@]}" | awk '/^export_ms/ {print $2}')")
  sync
  start=$(now_ms)
  for f in "${files[@]}"; do dcmj2pnm -q --write-jpeg +Jq 80 +Wi 1 "$f" "$jcli/$(basename "$f" .dcm).jpg"; done
  jpeer+=($(( $(now_ms) - start )))
  rm -rf "$out" "$cli" "$jout" "$jcli"
done
o=$(printf '%s\n' "${ours[@]}" | median); p=$(printf '%s\n' "${peer[@]}" | median)
jo=$(printf '%s\n' "${jours[@]}" | median); jp=$(printf '%s\n' "${jpeer[@]}" | median)
awk -v zo="$zours" -v zp="$zpeer" -v b="$bytes" -v o="$o" -v p="$p" -v jo="$jo" -v jp="$jp" -v r="$rounds" 'BEGIN {
  if (o <= 0) o = 1; if (jo <= 0) jo = 1
  printf "DICOM+DICOMDIR+ZIP of 4 images (%.1f MB): export %d ms   cp+dcmmkdir+zip %d ms   ratio %.2f (goal >= 1), median of %d rounds; archives %.1f MB and %.1f MB\n", b / 1e6, o, p, p / o, r, zo / 1e6, zp / 1e6
  printf "JPEG quality 80 of the same 4 images: export %d ms   dcmj2pnm --write-jpeg %d ms   ratio %.2f (goal >= 4, the next image made on a worker), median of %d rounds\n", jo, jp, jp / jo, r }'
