#!/usr/bin/env bash
# Storing with DCMTK's storescu into LumoraReceiver (files + database rows) and
# into DCMTK's storescp (files only), the same sets in the same run; then the
# same over TLS (storescu +tls into the receiver's TLS port and into storescp
# +tls), with certificates of a site CA made here.
# Usage: bench/receiver.sh BUILD_DIR
# BENCH_QUICK=1: one round of four small images, for the suite.
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.bash"
tools=$build/tools
receiver=$build/station/LumoraReceiver
rounds=${LUMORA_BENCH_ROUNDS:-5} small=200
[ -z "${BENCH_QUICK:-}" ] || rounds=1 small=4
# Nagle off for every DCMTK peer alike (the receiver sets it for itself too),
# so that the figures show the work, not the delayed-ACK wait.
export TCP_NODELAY=1

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  remove_tree "$work"
}
trap cleanup EXIT

free_port() { # a port nothing on loopback answers on
  local p
  for _ in $(seq 1 50); do
    p=$((20000 + RANDOM % 30000))
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return 0; }
  done
  return 1
}
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
now() { date +%s.%N; }

# The TLS options of the sender and of storescp; empty for plain TCP.
tls=() scp_tls=()

wait_echo() { # aet port
  for _ in $(seq 1 100); do
    echoscu "${tls[@]}" -to 2 -aec "$1" 127.0.0.1 "$2" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "peer on port $2 never answered" >&2
  return 1
}

"$tools/lumora-synth" -o "$work/small" --count "$small" >/dev/null
[ -n "${BENCH_QUICK:-}" ] || "$tools/lumora-synth" -o "$work/full" --count 8 --rows 4096 --columns 3328 --bits 16 >/dev/null

# Seconds for one storescu run of the set in $1 into the peer at $2 (AE) $3 (port).
# Writeback left by the previous run is flushed first, so no peer pays for another's.
send() {
  local t0 t1
  sync
  t0=$(now)
  storescu "${tls[@]}" -aec "$2" -to 60 127.0.0.1 "$3" "$1"/*.dcm >/dev/null
  t1=$(now)
  calc "$t1 - $t0"
}

run_storescp() { # set -> seconds
  local port out
  port=$(free_port)
  out=$(mktemp -d "$work/scp.XXXX")
  storescp "${scp_tls[@]}" -aet PEER -pdu 131072 -od "$out" "$port" >/dev/null 2>&1 &
  pids+=($!)
  local pid=$!
  wait_echo PEER "$port"
  send "$1" PEER "$port"
  kill "$pid"; wait "$pid" 2>/dev/null || true
  [ "$(ls "$out" | wc -l)" -eq "$(ls "$1" | wc -l)" ] || { echo "storescp missed files" >&2; exit 1; }
  rm -rf "$out"
}

# The receiver; with "noflush" its fsync calls are made no-ops (eatmydata), which
# no setting of the receiver offers: it only shows what answering after the
# flush costs against storescp, which never flushes.
run_receiver() { # set [noflush] -> seconds
  local port app wrap=()
  [ "${2:-}" = noflush ] && wrap=(eatmydata)
  port=$(free_port)
  app=$(mktemp -d "$work/app.XXXX")
  "$tools/lumora-mkdb" "$root/src/store/schema" "$root/src/dictionary/dictionary-tags.txt" "$app/Data" >/dev/null
  if [ ${#tls[@]} -eq 0 ]; then
    printf '[Com]\nIR_AET=LUMORA\nIR_Port=%s\n' "$port" >"$app/LumoraStation.ini"
  else # the TLS port alone
    printf '[Com]\nIR_AET=LUMORA\nIR_Port=%s\nIR_TLS=1\nIR_TLS_Port=%s\nIR_PlainPort=0\nTLS_PrivateKey=%s\nTLS_Certificate=%s\nTLS_TrustedCertificates=%s\n' \
      "$(free_port)" "$port" "$certs/station.key" "$certs/station.crt" "$certs/ca.crt" >"$app/LumoraStation.ini"
  fi
  LUMORA_APP_FOLDER=$app "${wrap[@]}" "$receiver" >/dev/null 2>&1 &
  pids+=($!)
  local pid=$!
  wait_echo LUMORA "$port"
  send "$1" LUMORA "$port"
  kill -TERM "$pid"; wait "$pid" 2>/dev/null || true
  local rows
  rows=$(sqlite3 "$app/Data/LumoraData.dat" 'SELECT COUNT(*) FROM tblImages')
  [ "$rows" -eq "$(ls "$1" | wc -l)" ] || { echo "receiver indexed $rows images" >&2; exit 1; }
  remove_tree "$app"
}


report() { # label set
  local n mb scp rcv raw i
  local -a t_scp=() t_rcv=() t_raw=()
  n=$(ls "$2" | wc -l)
  mb=$(du -sm --apparent-size "$2" | cut -f1)
  # Interleaved rounds, so a slow spell of the machine falls on all three alike.
  for i in $(seq 1 "$rounds"); do
    t_scp+=("$(run_storescp "$2")")
    t_rcv+=("$(run_receiver "$2")")
    [ $noflush -eq 1 ] && t_raw+=("$(run_receiver "$2" noflush)")
  done
  scp=$(printf '%s\n' "${t_scp[@]}" | median)
  rcv=$(printf '%s\n' "${t_rcv[@]}" | median)
  printf '%-34s storescp %8.1f img/s %7.1f MB/s | LumoraReceiver %8.1f img/s %7.1f MB/s | ratio %.2f (goal >= 0.80), median of %d\n' \
    "$1" "$(calc "$n / $scp")" "$(calc "$mb / $scp")" "$(calc "$n / $rcv")" "$(calc "$mb / $rcv")" "$(calc "$scp / $rcv")" "$rounds"
  printf '%-34s   rounds (s): storescp %s | receiver %s\n' "" "${t_scp[*]}" "${t_rcv[*]}"
  if [ $noflush -eq 1 ]; then
    raw=$(printf '%s\n' "${t_raw[@]}" | median)
    printf '%-34s   receiver with its flushes skipped %8.1f img/s, ratio %.2f; the flush before each answer costs %.2f ms an image\n' \
      "" "$(calc "$n / $raw")" "$(calc "$scp / $raw")" "$(calc "($rcv - $raw) * 1000 / $n")"
  fi
}

noflush=0
command -v eatmydata >/dev/null && noflush=1

report "$small small images (256x192)" "$work/small"
[ -n "${BENCH_QUICK:-}" ] || report "8 mammograms (3328x4096, 16 bit)" "$work/full"

# Over TLS (BCP 195 non-downgrading, DCMTK's default for its tools too):
# a site CA, the receiver's (and storescp's) certificate and the sender's.
certs=$work/certs
make_tls_certs "$certs"
tls=(+tls "$certs/peer.key" "$certs/peer.crt" +cf "$certs/ca.crt")
scp_tls=(+tls "$certs/station.key" "$certs/station.crt" +cf "$certs/ca.crt")
report "$small small images over TLS" "$work/small"
[ -n "${BENCH_QUICK:-}" ] || report "8 mammograms over TLS" "$work/full"
