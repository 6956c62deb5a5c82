#!/usr/bin/env bash
# The study send job (StudieSenden in the progress dialog) to a storescp, for
# 200 small images and for 8 full-size mammograms, beside DCMTK's storescu
# sending the same files to the same storescp; nine rounds each (BENCH_ROUNDS),
# alternating, medians printed with the spread of the single rounds. Goal: at
# least 0.95 of storescu's rate, send job under 150 MB.
# storescp and storescu run with TCP_NODELAY=1 (DCMTK's own switch for Nagle's
# algorithm, off by default in Debian's build): without it every small image
# waits for a delayed ACK and both senders only measure that wait. The send job
# runs without the variable; the workstation sets it itself.
# The send job sends the study's dose report after its images unless
# BENCH_DOSE_REPORT=0 (today's figures without it, for comparison).
# Then the small images and the mammograms over TLS: the send job to a partner
# marked for TLS (with and without its dose report) and storescu +tls, both
# into storescp +tls, with certificates of a site CA made here.
set -euo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.bash"
export LUMORA_TOOLS_DIR="$build/tools" LUMORA_SOURCE_DIR="$root"
bench="$build/tools/bench-send"
rounds=${BENCH_ROUNDS:-9}
# BENCH_QUICK=1: one round of four small images, for the suite.
[ -z "${BENCH_QUICK:-}" ] || rounds=1
report=1
[ "${BENCH_DOSE_REPORT:-1}" = 0 ] && report=0
work=$(mktemp -d)
scp_pid=""
recv=""
cleanup() {
  if [ -n "$scp_pid" ]; then
    kill "$scp_pid" 2>/dev/null || true
    wait "$scp_pid" 2>/dev/null || true
  fi
  remove_tree "$work" "$recv"
}
trap cleanup EXIT

listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Received files go to memory when it can be had, so the disk does not set the pace.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then recv=$(mktemp -d -p /dev/shm); else recv="$work/received"; mkdir -p "$recv"; fi

# (Re)starts the storescp on a free loopback port; $1 is its TCP_NODELAY ("" leaves DCMTK's default).
# A port found free can be taken by another test before storescp binds it:
# then storescp ends, and another port is tried.
port=""
scp_tls=() # storescp's TLS options; empty for plain TCP
start_scp() {
  if [ -n "$scp_pid" ]; then kill "$scp_pid"; wait "$scp_pid" 2>/dev/null || true; scp_pid=""; fi
  for _ in $(seq 1 5); do
    port=""
    for _ in $(seq 1 50); do
      p=$(( 20000 + RANDOM % 40000 ))
      if ! listening "$p"; then port=$p; break; fi
    done
    [ -n "$port" ] || { echo "no free port found" >&2; exit 1; }
    if [ -n "$1" ]; then
      TCP_NODELAY=$1 storescp "${scp_tls[@]}" -aet BENCHSCP -od "$recv" "$port" &
    else
      env -u TCP_NODELAY storescp "${scp_tls[@]}" -aet BENCHSCP -od "$recv" "$port" &
    fi
    scp_pid=$!
    for _ in $(seq 1 300); do
      listening "$port" && return 0
      kill -0 "$scp_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$scp_pid" 2>/dev/null || true
    wait "$scp_pid" 2>/dev/null || true
    scp_pid=""
  done
  echo "storescp did not start" >&2
  exit 1
}
start_scp 1

received_count() { find "$recv" -type f | wc -l; }
expect_received() {
  local got; got=$(received_count)
  [ "$got" -eq "$1" ] || { echo "$2: storescp received $got of $1 images" >&2; exit 1; }
  find "$recv" -type f -delete
}


# One set: the send job and storescu in turns, $rounds rounds; medians, so that
# one slow spell of this shared machine does not decide the figure.
run_set() {
  local name=$1 count=$2 rows=$3 columns=$4
  local folder="$work/$name" study bytes peak_max=0 out ms start
  local -a job=() peer=() cmd=() prog=() ratios=() one=()
  study=$("$bench" prepare "$folder" "$count" "$rows" "$columns")
  bytes=$(du -cb "$study"/*.dcm | tail -1 | cut -f1)
  local files=("$study"/*.dcm)
  local first=${files[0]}
  for _ in $(seq 1 "$rounds"); do
    out=$(env -u TCP_NODELAY "$bench" send "$folder" "$port" 2>"$work/job.log") || { cat "$work/job.log" >&2; exit 1; }
    ms=$(echo "$out" | awk '/^send_ms/ {print $2}')
    job+=("$ms")
    cmd+=("$(echo "$out" | awk '/^command_ms/ {print $2}')")
    prog+=("$(echo "$out" | awk '/^progress_ms/ {print $2}')")
    peak=$(echo "$out" | awk '/^peak_kb/ {print $2}')
    [ "$peak" -gt "$peak_max" ] && peak_max=$peak
    expect_received "$((count + report))" "send job"

    start=$(now_ms)
    TCP_NODELAY=1 storescu -aec BENCHSCP 127.0.0.1 "$port" "$study"/*.dcm
    peer+=($(( $(now_ms) - start )))
    expect_received "$count" "storescu"
    ratios+=("$(awk -v p="${peer[-1]}" -v j="$ms" 'BEGIN { printf "%.2f", p / (j > 0 ? j : 1) }')")

    # storescu's own start (program, dictionary, association) with one image.
    start=$(now_ms)
    TCP_NODELAY=1 storescu -aec BENCHSCP 127.0.0.1 "$port" "$first"
    one+=($(( $(now_ms) - start )))
    expect_received 1 "storescu"
  done
  local j p c g o
  j=$(printf '%s\n' "${job[@]}" | median); p=$(printf '%s\n' "${peer[@]}" | median)
  c=$(printf '%s\n' "${cmd[@]}" | median); g=$(printf '%s\n' "${prog[@]}" | median)
  o=$(printf '%s\n' "${one[@]}" | median)
  awk -v n="$count" -v b="$bytes" -v j="$j" -v p="$p" -v k="$peak_max" -v c="$c" -v g="$g" -v o="$o" -v name="$name" -v r="$rounds" \
      -v spread="$(printf '%s\n' "${ratios[@]}" | sort -g | sed -n '1p;$p' | paste -sd- -)" 'BEGIN {
    if (j <= 0) j = 1
    printf "%s (%d images, %.1f MB): send job %d ms = %.1f images/s, %.1f MB/s   storescu %d ms = %.1f images/s, %.1f MB/s   ratio %.2f (goal >= 0.95), median of %d rounds, single rounds %s\n",
      name, n, b / 1e6, j, n * 1000 / j, b / 1e3 / j, p, n * 1000 / p, b / 1e3 / p, p / j, r, spread
    printf "%s: storescu with one image takes %d ms (its start and association); without that share of its time the ratio is %.2f\n", name, o, (p - o + p / n) / j
    printf "%s: of the send job, the dialog yielding once per image (progress bar repaint) %d ms; without it %.2f of storescu\n", name, g, p / (j - g > 0 ? j - g : 1)
    printf "%s: whole command with the dialog (its 100 ms start timer and OK) %d ms, ratio %.2f; peak memory of the send job %.1f MB (goal < 150)\n", name, c, p / c, k / 1024
  }'
}

# The send job over TLS and storescu +tls, into storescp +tls, in turns; the
# job also without its dose report, so that both send the same images.
run_tls_set() {
  local name=$1 count=$2 rows=$3 columns=$4 folder="$work/$1" study out ms start
  local -a job=() bare=() peer=()
  study=$("$bench" prepare "$folder" "$count" "$rows" "$columns")
  printf '[Com]\nTLS_PrivateKey=%s\nTLS_Certificate=%s\nTLS_TrustedCertificates=%s\n' \
    "$certs/station.key" "$certs/station.crt" "$certs/ca.crt" >>"$folder/LumoraStation.ini"
  for _ in $(seq 1 "$rounds"); do
    out=$(env -u TCP_NODELAY "$bench" send "$folder" "$port" tls 2>"$work/job.log") || { cat "$work/job.log" >&2; exit 1; }
    job+=("$(echo "$out" | awk '/^send_ms/ {print $2}')")
    expect_received "$((count + report))" "send job over TLS"
    out=$(env -u TCP_NODELAY BENCH_DOSE_REPORT=0 "$bench" send "$folder" "$port" tls 2>"$work/job.log") || { cat "$work/job.log" >&2; exit 1; }
    bare+=("$(echo "$out" | awk '/^send_ms/ {print $2}')")
    expect_received "$count" "send job over TLS without its dose report"
    start=$(now_ms)
    TCP_NODELAY=1 storescu +tls "$certs/peer.key" "$certs/peer.crt" +cf "$certs/ca.crt" -aec BENCHSCP 127.0.0.1 "$port" "$study"/*.dcm
    peer+=($(( $(now_ms) - start )))
    expect_received "$count" "storescu +tls"
  done
  local j b p
  j=$(printf '%s\n' "${job[@]}" | median); b=$(printf '%s\n' "${bare[@]}" | median); p=$(printf '%s\n' "${peer[@]}" | median)
  awk -v n="$count" -v j="$j" -v b="$b" -v p="$p" -v name="$name" -v r="$rounds" 'BEGIN {
    if (j <= 0) j = 1
    if (b <= 0) b = 1
    printf "%s (%d images) over TLS: send job %d ms = %.1f images/s   storescu +tls %d ms = %.1f images/s   ratio %.2f (goal >= 0.95), median of %d rounds\n",
      name, n, j, n * 1000 / j, p, n * 1000 / p, p / j, r
    printf "%s over TLS: the same images without the dose report: send job %d ms = %.1f images/s, ratio %.2f of storescu +tls\n", name, b, n * 1000 / b, p / b }'
}
tls_sets() {
  certs=$work/certs
  make_tls_certs "$certs"
  scp_tls=(+tls "$certs/peer.key" "$certs/peer.crt" +cf "$certs/ca.crt")
  start_scp 1
  run_tls_set "small images 256x192 tls" "$1" 256 192
  [ -n "${BENCH_QUICK:-}" ] || run_tls_set "full-size mammograms 3328x4096 tls" 8 4096 3328
  scp_tls=()
  start_scp 1
}

if [ -n "${BENCH_QUICK:-}" ]; then
  run_set "small images 256x192" 4 256 192
  tls_sets 4
  exit 0
fi
run_set "small images 256x192" 200 256 192
run_set "full-size mammograms 3328x4096 16 bit" 8 4096 3328
tls_sets 200

# Once more the small images, to a storescp left at DCMTK's default (Nagle on),
# storescu left at its default too: what an untuned peer costs both senders.
start_scp ""
out=$(env -u TCP_NODELAY "$bench" send "$work/small images 256x192" "$port" 2>"$work/job.log") || { cat "$work/job.log" >&2; exit 1; }
job=$(echo "$out" | awk '/^send_ms/ {print $2}')
expect_received $((200 + report)) "send job"
start=$(now_ms)
env -u TCP_NODELAY storescu -aec BENCHSCP 127.0.0.1 "$port" "$work/small images 256x192"/images/*/*.dcm
peer=$(( $(now_ms) - start ))
expect_received 200 "storescu"
awk -v j="$job" -v p="$peer" 'BEGIN {
  printf "small images to a storescp with DCMTK default Nagle (one round): send job %d ms = %.1f images/s   storescu %d ms = %.1f images/s   ratio %.2f\n", j, 200000 / j, p, 200000 / p, p / j }'
