#!/usr/bin/env bash
# The idle cost of the running workstation: CPU time (utime + stime from
# /proc/<pid>/stat) over a quiet spell, as a share of one core, beside the
# goal of 0.5 %. A fresh station of its own under Xvfb: the receiver, an X-ray
# unit (Lorad M4) on a socat pty, the options dialog confirmed, nothing sent.
# Usage: bench/idle.sh BUILD_DIR [OTHER_ORVANAMAMMO ...]
#   each further program (another build's OrvanaMammo) is measured the same
#   way in the same run, rounds interleaved.
# BENCH_IDLE_SECONDS: the spell (default 60); BENCH_QUICK=1: 10 s, one round.
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR [OTHER_ORVANAMAMMO ...]}" && pwd)
shift
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.bash"
seconds=${BENCH_IDLE_SECONDS:-60} rounds=${LUMORA_BENCH_ROUNDS:-1}
[ -z "${BENCH_QUICK:-}" ] || seconds=10 rounds=1
programs=("$build/station/OrvanaMammo" "$@")
for p in Xvfb xdotool socat; do
  command -v "$p" >/dev/null || { echo "idle: $p is missing (scripts/deps)" >&2; exit 1; }
done

work=$(mktemp -d)
pids=()
station_pid="" st=""
# The station, then the companions it started, by the ids in their pid files.
stop_station() {
  [ -z "$station_pid" ] || { kill "$station_pid" 2>/dev/null || true; wait "$station_pid" 2>/dev/null || true; }
  station_pid=""
  [ -n "$st" ] || return 0
  local f
  for f in LumoraReceiver.pid LumoraDataMgr.pid; do
    [ -s "$st/$f" ] && kill "$(head -1 "$st/$f")" 2>/dev/null || true
  done
  return 0
}
cleanup() {
  stop_station
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  remove_tree "$work"
}
trap cleanup EXIT

# A display of its own: Xvfb picks a free number and writes it to fd 3.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 & pids+=($!)
exec 3>&-
for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -1 "$work/display")"
unset QT_QPA_PLATFORM

win() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1 || true; }
wait_win() { # name seconds
  local t=$(($2 * 10))
  until [ -n "$(win "$1")" ]; do
    t=$((t - 1)); [ $t -gt 0 ] || return 1
    sleep 0.1
  done
}
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
ticks_per_second=$(getconf CLK_TCK)

# One program started in a fresh station, the options confirmed, quiet for
# 5 s, then `seconds` measured: the share of one core in percent into `share`.
# Not run in a $(...): its background programs would hold that pipe open.
measure() {
  local program=$1 receiver_port t0 t1
  st=$(mktemp -d "$work/station.XXXX")
  mkdir -p "$st"/{Data,images,temp,bin,transfer,Logs}
  cp "$program" "$st/OrvanaMammo"
  cp "$build/station/LumoraReceiver" "$build/station/LumoraDataMgr" "$build/station/projection.ini" "$st/"
  cp "$build/station/orvana.jpg" "$st/" 2>/dev/null || true
  "$build/tools/lumora-mkdb" "$root/src/store/schema" "$root/src/dictionary/dictionary-tags.txt" "$st/Data" >/dev/null
  receiver_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  socat pty,raw,echo=0,link="$st/unit" pty,raw,echo=0,link="$st/ws" >/dev/null 2>&1 & pids+=($!)
  for _ in $(seq 1 50); do [ -e "$st/ws" ] && break; sleep 0.1; done
  printf '[General]\nXrayComm=3\n\n[Com]\nIR_AET=LUMORA\nIR_Port=%s\n\n[ComPort]\nPort=1\nDevice1=%s\n' \
    "$receiver_port" "$st/ws" >"$st/LumoraStation.ini"
  (cd "$st" && LUMORA_APP_FOLDER="$st" exec ./OrvanaMammo >"$st/Logs/stdout.txt" 2>&1) &
  station_pid=$!
  wait_win '^Options$' 30 || { echo "idle: no options dialog" >&2; return 1; }
  for _ in $(seq 1 30); do
    [ -n "$(win '^OrvanaMammo Version')" ] && break
    [ -z "$(win '^Options$')" ] || { xdotool windowfocus --sync "$(win '^Options$')" key Return 2>/dev/null || true; }
    sleep 1
  done
  wait_win '^OrvanaMammo Version' 30 || { echo "idle: no main window" >&2; return 1; }
  sleep 5
  t0=$(cpu_ticks "$station_pid")
  sleep "$seconds"
  t1=$(cpu_ticks "$station_pid")
  stop_station
  share=$(awk "BEGIN { printf \"%.3f\", ($t1 - $t0) * 100 / $ticks_per_second / $seconds }")
}

declare -A shares
status=0
for r in $(seq 1 "$rounds"); do
  for i in "${!programs[@]}"; do
    measure "${programs[$i]}"
    shares[$i]+="$share "
  done
done
for i in "${!programs[@]}"; do
  share=$(printf '%s\n' ${shares[$i]} | median)
  printf 'idle workstation %-48s %6.3f %% of one core over %d s (goal <= 0.5 %%), median of %d: %s\n' \
    "$(basename "$(dirname "${programs[$i]}")")/$(basename "${programs[$i]}")" "$share" "$seconds" "$rounds" "${shares[$i]}"
  # This build's program is held to the goal.
  if [ "$i" -eq 0 ] && awk "BEGIN { exit !($share > 0.5) }"; then
    echo "idle: this build's workstation is over the goal" >&2
    status=1
  fi
done
exit $status
