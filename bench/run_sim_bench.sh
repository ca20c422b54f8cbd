#!/usr/bin/env bash
# Cost and speed of tarn-vrx-sim --scenario against the plain simulator, in a
# throwaway root, each with tarn-inspect-vrx subscribed (output to /dev/null):
#  1. the simulator's CPU at 120 records per second (plain, and a scenario
#     with a ramp, random loss, bursts and bad records all in force);
#  2. records per second reached when asked for 100,000 a second in writes
#     of 100 records (the same two).
# usage: bench/run_sim_bench.sh [SECONDS-AT-120/s] [RECORDS-AT-100000/s]
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x build/bin/tarn-vrx-sim ] && [ -x build/bin/tarn-inspect-vrx ] || scripts/build.sh
export TARN_BIN=$PWD/build/bin TARN_SRC=$PWD TARN_LIB=$PWD/build/lib
if [ "${TARN_SANDBOXED:-}" != 1 ]; then exec scripts/sandbox.sh bash "$0" "$@"; fi

idle_secs=${1:-30} fast_count=${2:-2000000}
tck=$(getconf CLK_TCK)
t=$(mktemp -d)
mkdir -p /etc/hexwing /data
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$t"; }
trap cleanup EXIT
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
wait_pipe() { for _ in $(seq 200); do [ -S "/run/bpa/$1/data" ] && return 0; sleep 0.05; done; return 1; }

# Everything in force at once, for an hour. A simulator that refuses it
# says why here.
cat >"$t/busy.scn" <<'EOF'
0s   60min decode  +6ms ramp
0s   60min loss    1%
0s   60min burst   5 1s
0s   60min bad     0.1%
0s   60min rssi    -70dBm ramp
EOF

# MODE ARGS...: starts the simulator (plain or scenario) and a subscriber.
start() {
  local mode=$1; shift
  local extra=()
  [ "$mode" = scenario ] && extra=(--scenario "$t/busy.scn")
  "$TARN_BIN/tarn-vrx-sim" --pipe /run/bpa/bench "${extra[@]}" --wait-clients 1 "$@" >/dev/null &
  sim=$!
  pids+=($sim)
  wait_pipe bench || { echo "run_sim_bench.sh: the simulator did not start" >&2; exit 1; }
  "$TARN_BIN/tarn-inspect-vrx" -n -p /run/bpa/bench >/dev/null 2>&1 &
  insp=$!
  pids+=($insp)
}
stop() { kill "$sim" "$insp" 2>/dev/null || true; wait "$sim" "$insp" 2>/dev/null || true; }

echo "tarn-vrx-sim at 120 records per second, $idle_secs s each:"
for mode in plain scenario; do
  start $mode --rate 120
  sleep 1
  a=$(ticks $sim)
  sleep "$idle_secs"
  b=$(ticks $sim)
  stop
  awk -v m=$mode -v d=$((b - a)) -v hz=$tck -v s="$idle_secs" \
    'BEGIN { printf "  %-9s %.2f %% of one core\n", m, 100 * d / hz / s }'
done

echo "tarn-vrx-sim asked for 100000 records per second in writes of 100, $fast_count records:"
for mode in plain scenario; do
  start $mode --rate 100000 --batch 100 --count "$fast_count"
  t0=$(date +%s%N)
  a=$(ticks $sim)
  b=$a
  while kill -0 $sim 2>/dev/null; do b=$(ticks $sim 2>/dev/null || echo "$b"); sleep 0.2; done
  t1=$(date +%s%N)
  stop
  awk -v m=$mode -v n="$fast_count" -v ns=$((t1 - t0)) -v d=$((b - a)) -v hz=$tck \
    'BEGIN { printf "  %-9s %.0f records/s, %.0f %% of one core\n", m, n / (ns / 1e9), 100 * d / hz / (ns / 1e9) }'
done
