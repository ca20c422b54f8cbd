#!/usr/bin/env bash
# Cost and throughput of tarn-vrx-top fed by tarn-vrx-sim, in a throwaway root:
#  1. CPU at 120 records per second: the full screen (tmux, 80x24), the plain
#     lines, and tarn-inspect-vrx (output to /dev/null) as the baseline, all
#     three subscribed to the same publisher at the same time;
#  2. records received against records sent at rising rates (0: as fast as
#     the simulator can), one record per write and 100 per write, plain lines
#     and full screen.
# usage: bench/run_top_bench.sh [SECONDS-AT-120/s] [SECONDS-PER-RATE (0: skip part 2)]
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x build/bin/tarn-vrx-top ] && [ -x build/bin/tarn-vrx-sim ] || scripts/build.sh
export TARN_BIN=$PWD/build/bin TARN_SRC=$PWD TARN_LIB=$PWD/build/lib
if [ "${TARN_SANDBOXED:-}" != 1 ]; then exec scripts/sandbox.sh bash "$0" "$@"; fi

idle_secs=${1:-30} rate_secs=${2:-3}
tck=$(getconf CLK_TCK)
t=$(mktemp -d)
mkdir -p /etc/hexwing /data
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  tmux -S "$t/tmux" kill-server 2>/dev/null || true
}
trap cleanup EXIT
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
wait_pipe() { for _ in $(seq 200); do [ -S "/run/bpa/$1/data" ] && return 0; sleep 0.05; done; return 1; }
# Starts tarn-vrx-top in a detached 80x24 tmux terminal; its pid in $t/pid.$1.
screen_top() {
  local name=$1; shift
  rm -f "$t/pid.$name"
  tmux -S "$t/tmux" -f /dev/null new-session -d -s "$name" -x 80 -y 24 \
    "env TERM=xterm-256color sh -c 'echo \$\$ >$t/pid.$name; exec $TARN_BIN/tarn-vrx-top $*'" \; \
    set-option -t "$name" remain-on-exit on
  for _ in $(seq 100); do [ -s "$t/pid.$name" ] && break; sleep 0.05; done
  cat "$t/pid.$name"
}

# ---- 1. cost at 120 records per second -----------------------------------
"$TARN_BIN/tarn-vrx-sim" --pipe /run/bpa/idle --rate 120 --wait-clients 3 >/dev/null 2>&1 & pids+=($!)
wait_pipe idle
top_screen=$(screen_top idle -p idle)
"$TARN_BIN/tarn-vrx-top" --plain -p idle >/dev/null 2>&1 & top_plain=$!; pids+=($top_plain)
"$TARN_BIN/tarn-inspect-vrx" -p idle >/dev/null 2>&1 & insp=$!; pids+=($insp)
sleep 2
a=($(ticks "$top_screen") $(ticks "$top_plain") $(ticks "$insp"))
start=$(date +%s%N)
sleep "$idle_secs"
b=($(ticks "$top_screen") $(ticks "$top_plain") $(ticks "$insp"))
elapsed=$(( $(date +%s%N) - start ))
pct() { awk -v d="$1" -v tck="$tck" -v ns="$elapsed" 'BEGIN { printf "%.3f", 100 * d / tck / (ns / 1e9) }'; }
s=$(pct $((b[0] - a[0]))) p=$(pct $((b[1] - a[1]))) i=$(pct $((b[2] - a[2])))
echo "at 120 records/s over ${idle_secs} s (% of one core; clock ticks of $((1000 / tck)) ms):"
printf '  %-34s %8s %%\n' "tarn-vrx-top, screen 80x24" "$s" "tarn-vrx-top --plain" "$p" "tarn-inspect-vrx (baseline)" "$i"
awk -v s="$s" -v i="$i" 'BEGIN { if (i > 0) printf "  screen / inspector: %.2f\n", s / i }'
cleanup; pids=()

# ---- 2. highest rate kept up with -----------------------------------------
[ "$rate_secs" != 0 ] || exit 0
echo
printf '%-8s %-6s %-8s %12s %12s %12s %10s %9s\n' mode batch rate "sent/s" sent received dropped "top CPU"
for run in 1:20000 1:0 100:200000 100:500000 100:1000000; do
  batch=${run%%:*} rate=${run#*:}
  for mode in plain screen; do
    pipe=rate$batch-$rate$mode
    count=$(( (rate > 0 ? rate : 100000) * rate_secs ))
    "$TARN_BIN/tarn-vrx-sim" --pipe "/run/bpa/$pipe" --rate "$rate" --batch "$batch" --count "$count" \
      --wait-clients 1 --hold 0.3 >/dev/null 2>&1 & sim=$!; pids+=($sim)
    wait_pipe "$pipe"
    if [ $mode = plain ]; then
      "$TARN_BIN/tarn-vrx-top" --plain -p "$pipe" >"$t/out.$pipe" 2>&1 & top=$!; pids+=($top)
    else
      top=$(screen_top "$pipe" -p "$pipe")
    fi
    for _ in $(seq 200); do [ -e "/run/bpa/$pipe/info" ] && grep -q . "/run/bpa/$pipe/info" 2>/dev/null && break; sleep 0.01; done
    start=$(date +%s%N); c0=$(ticks "$top")
    wait "$sim" || true
    elapsed=$(( $(date +%s%N) - start ))
    sleep 0.3
    c1=$(ticks "$top")
    if [ $mode = plain ]; then
      kill -TERM "$top"; wait "$top" || true
      got=$(awk '/^  records:/ { print $2 }' "$t/out.$pipe")
    else
      tmux -S "$t/tmux" send-keys -t "$pipe" q
      for _ in $(seq 100); do kill -0 "$top" 2>/dev/null || break; sleep 0.05; done
      got=$(tmux -S "$t/tmux" capture-pane -p -t "$pipe" -S -100 | awk '/^  records:/ { print $2 }')
      tmux -S "$t/tmux" kill-session -t "$pipe"
    fi
    awk -v m=$mode -v b=$batch -v r=$rate -v n=$count -v g="${got:-0}" -v ns=$elapsed -v d=$((c1 - c0)) -v tck=$tck \
      'BEGIN { printf "%-8s %-6d %-8d %12.0f %12d %12d %10d %8.1f%%\n", m, b, r, n / (ns / 1e9), n, g, n - g, 100 * d / tck / (ns / 1e9) }'
  done
done
