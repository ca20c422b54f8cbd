#!/usr/bin/env bash
# tarn-vrx-top against the simulator publishing exact records (known gaps,
# repeats, bad buffers and latencies): in a real terminal (tmux, 80x24 then
# 200x50; Ctrl-Z and fg; q), in plain mode line by line, its CSV log next to
# the inspector's, a publisher restart, and the settings file left alone.
# Runs in a throwaway root.
set -euo pipefail
if [ "${TARN_SANDBOXED:-}" != 1 ]; then exec bash "$TARN_SRC/scripts/sandbox.sh" bash "$0" "$@"; fi

top=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-vrx-top")
# Under the sanitizer build: ncurses' own allocations that live until exit
# are not reported (the terminals below start with a clean environment).
export LSAN_OPTIONS="suppressions=$TARN_SRC/tests/top/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
san_env="LSAN_OPTIONS=$LSAN_OPTIONS ${ASAN_OPTIONS:+ASAN_OPTIONS=$ASAN_OPTIONS} ${UBSAN_OPTIONS:+UBSAN_OPTIONS=$UBSAN_OPTIONS}"
sim=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-vrx-sim")
insp=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-inspect-vrx")
. "$TARN_SRC/tests/sh/check-lib.sh"
python3 "$TARN_SRC/tests/top/make_frames.py" "$t/frames" "$t/expect"
. "$t/expect"
sims=()
cleanup() {
  for p in "${sims[@]}"; do kill "$p" 2>/dev/null || true; done
  stop_tmux "$t/tmux"
}

start_sim() {  # start_sim PIPE CLIENTS [more simulator options]: publishes the frames once its clients came
  local pipe=$1 clients=$2; shift 2
  "${sim[@]}" --pipe "/run/bpa/$pipe" --frames "$t/frames" --rate 2000 --wait-clients "$clients" --hold 600 "$@" \
    >"$t/sim.$pipe.out" 2>&1 &
  sims+=($!)
  wait_until "the simulator on $pipe" 10 test -S "/run/bpa/$pipe/data"
}

# ---- in a terminal ------------------------------------------------------
command -v tmux >/dev/null || { echo "FAILED: tmux is not installed"; exit 1; }
tm() { tmux -S "$t/tmux" "$@"; }
screen() { tm capture-pane -p -t top; }
wait_screen() {  # wait_screen SECONDS FIXED-TEXT: true once the screen shows it
  local end=$(( $(date +%s) + $1 * slow ))
  while [ "$(date +%s)" -le $end ]; do
    screen | grep -qF -- "$2" && return 0
    sleep 0.1
  done
  waited_too_long "'$2' on the screen" "$1"; echo "--- the screen:"; screen
  return 1
}
gone_from_screen() {  # gone_from_screen SECONDS FIXED-TEXT: true once the screen no longer shows it
  local end=$(( $(date +%s) + $1 * slow ))
  while [ "$(date +%s)" -le $end ]; do
    screen | grep -qF -- "$2" || return 0
    sleep 0.1
  done
  return 1
}
# An interactive shell with job control in a fixed 80x24 terminal (session
# "top", no status line); no LANG, as on the receiver, so the screen must
# be plain ASCII.
# Under load the tmux server has been seen to exit as it started ("server
# exited unexpectedly"), before any program of ours ran: it is started again.
start_shell() {
  local try
  for try in 1 2 3; do
    if tm -f /dev/null new-session -d -s top -x 80 -y 24 \
         "$(pane_shell xterm-256color $san_env)" 2>"$t/tmux.err" &&
       tm set -g status off 2>>"$t/tmux.err"; then
      return 0
    fi
    echo "tmux did not start (try $try): $(tr '\n' ' ' <"$t/tmux.err")"
    stop_tmux "$t/tmux"
    sleep 0.5
  done
  return 1
}
row() {  # row LABEL: the table row of that series, fields separated by single spaces
  screen | grep -E "^$1 +[0-9]" | tr -s ' ' | head -n1
}

mkdir -p /etc/hexwing
rm -f /etc/hexwing/tarn-vrx.conf
start_sim term 1
start_shell
tm set -g window-size manual
# One command a line: after Ctrl-Z and fg the shell would not run the rest
# of a list.
tm send-keys -t top "stty -a >$t/stty.before" Enter
tm send-keys -t top "${top[*]} -p term --window all --save $t/top.csv" Enter

check "screen: counters of the exact records" wait_screen 10 "frames $FRAMES  lost $MISSING ("
screen >"$t/screen80"
check "screen: 80x24 shows 24 lines" test "$(wc -l <"$t/screen80")" = 24
check "screen: repeats and out of order" grep -qF "repeats $REPEATS  out of order $OUT_OF_ORDER" "$t/screen80"
check "screen: I and P counts" grep -qF "I $I_FRAMES  P $P_FRAMES" "$t/screen80"
check "screen: bad records counted" grep -qF "bad records $BAD_RECORDS ($BAD_BUFFERS buffers)" "$t/screen80"
check "screen: lost share since start" grep -qF "$LOST_PCT% all" "$t/screen80"
check "screen: title names the pipe and the state" grep -qE '^ /run/bpa/term/ .* connected ' "$t/screen80"
check "screen: VRX all n last p50 p95 p99 max" \
  test "$(row 'VRX all')" = "VRX all $VRX_N $VRX_LAST $VRX_P50 $VRX_P95 $VRX_P99 $VRX_P100"
check "screen: VRX I-frames" test "$(row 'VRX I')" = "VRX I $VRXI_N $VRXI_LAST $VRXI_P50 $VRXI_P95 $VRXI_P99 $VRXI_P100"
check "screen: decode stage" \
  test "$(row decode)" = "decode $DECODE_N $DECODE_LAST $DECODE_P50 $DECODE_P95 $DECODE_P99 $DECODE_P100"
check "screen: stage bar with the shares (frame 30 %)" grep -qF "F=frame 30.0% E=FEC 10.0% D=decode 40.0% R=render 15.0%" "$t/screen80"
check "screen: chart with time ticks under it" grep -qE '^      \|.*\+-50s.*\+-10s' "$t/screen80"
check "screen: plain ASCII without a UTF-8 locale" test -z "$(LC_ALL=C grep -P '[^\x00-\x7f]' "$t/screen80" || true)"
check "screen: the stderr messages of the bad buffers are shown" grep -qF "stderr (" "$t/screen80"

tm resize-window -t top -x 200 -y 50
check "screen: resized to 200 columns, table gains mean and min" wait_screen 5 "      mean       min"
sleep 0.3
screen >"$t/screen200"
check "screen: 200x50 shows 50 lines" test "$(wc -l <"$t/screen200")" = 50
check "screen: 200x50 full title" grep -qE '^ tarn-vrx-top  /run/bpa/term/ .*  h: help' "$t/screen200"
check "screen: 200x50 still the same figures" \
  test "$(row 'VRX all' | cut -d' ' -f1-8)" = "VRX all $VRX_N $VRX_LAST $VRX_P50 $VRX_P95 $VRX_P99 $VRX_P100"
check "screen: 200x50 uses the height for the chart (what the events pane leaves)" test "$(grep -cE '^ +[0-9.]*\|' "$t/screen200")" -ge 22

# Keys: help, window, pause.
tm send-keys -t top h
check "key h shows the keys" wait_screen 3 "tarn-vrx-top keys"
tm send-keys -t top x
check "any key closes the help" gone_from_screen 3 "tarn-vrx-top keys"
tm send-keys -t top w
check "key w: window 1 s" wait_screen 3 "1 s                 n"
tm send-keys -t top w w w
check "key w cycles back to since start" wait_screen 3 "all                 n"
tm send-keys -t top Space
check "space pauses" wait_screen 3 "PAUSED"
tm send-keys -t top Space
check "space again resumes" gone_from_screen 3 "PAUSED"

# Ctrl-Z gives the shell a sane terminal back; fg brings the screen again.
tm send-keys -t top C-z
check "Ctrl-Z stops it" wait_screen 5 "Stopped"
tm send-keys -t top "stty -a >$t/stty.stopped" Enter
for _ in $(seq $((50 * slow))); do [ -s "$t/stty.stopped" ] && break; sleep 0.1; done
# (The size line differs: the terminal was resized meanwhile.)
check "Ctrl-Z: terminal modes restored while stopped" cmp -s <(tail -n +2 "$t/stty.before") <(tail -n +2 "$t/stty.stopped")
tm send-keys -t top "fg" Enter
check "fg: the screen is back" wait_screen 5 "frames $FRAMES  lost $MISSING ("

tm send-keys -t top r
check "key r resets the statistics" wait_screen 3 "frames 0  lost 0"
tm send-keys -t top q
check "q: summary since start printed after the screen" wait_screen 3 "frames:          0"
tm send-keys -t top "echo EXIT=\$? >$t/rc; stty -a >$t/stty.after" Enter
for _ in $(seq $((50 * slow))); do [ -s "$t/stty.after" ] && break; sleep 0.1; done
check "q exits 0" grep -qx "EXIT=0" "$t/rc"
check "q: terminal modes restored" cmp -s <(tail -n +2 "$t/stty.before") <(tail -n +2 "$t/stty.after")
screen >"$t/after_q"
check "q: the screen is gone (alternate screen left)" bash -c "! grep -qF 'VRX all' '$t/after_q'"
stop_tmux "$t/tmux"
check "the settings file is not created" test ! -e /etc/hexwing/tarn-vrx.conf

# SIGTERM while the terminal takes no output (Ctrl-S, flow control on):
# it still ends within about a second and the terminal modes come back.
"${sim[@]}" --pipe /run/bpa/term2 --rate 5000 >/dev/null 2>&1 &
sims+=($!)
start_shell
tm send-keys -t top "stty -a >$t/stty2.before" Enter
tm send-keys -t top "sh -c 'echo \$\$ >$t/pid; exec ${top[*]} -p term2'" Enter
check "second run shows the screen" wait_screen 10 "frames"
pid=$(cat "$t/pid")
alive() { [ -e "/proc/$1/stat" ] && [ "$(cut -d' ' -f3 "/proc/$1/stat")" != Z ]; }
in_write() {  # some thread of $1 sits in write(2)
  local n=${WRITE_NR:-1} f
  for f in /proc/"$1"/task/*/syscall; do [ "$(cut -d' ' -f1 "$f" 2>/dev/null)" = "$n" ] && return 0; done
  return 1
}
tm send-keys -t top C-s
blocked=no
for _ in $(seq $((100 * slow))); do in_write "$pid" && { sleep 0.3; in_write "$pid" && blocked=yes && break; }; sleep 0.1; done
[ -n "${TARN_EMULATOR:-}" ] || check "Ctrl-S: its output blocks" test $blocked = yes
kill -TERM "$pid"
start=$(date +%s%N)
for _ in $(seq $((30 * slow))); do alive "$pid" || break; sleep 0.1; done
ms=$(( ($(date +%s%N) - start) / 1000000 ))
still=no; alive "$pid" && still=yes
check "SIGTERM with output blocked ends it within 3 s (took $ms ms)" test $still = no
tm send-keys -t top C-q
tm send-keys -t top "echo EXIT=\$? >$t/rc2; stty -a >$t/stty2.after" Enter
for _ in $(seq $((50 * slow))); do [ -s "$t/stty2.after" ] && break; sleep 0.1; done
check "SIGTERM with output blocked: exit 0" grep -qx "EXIT=0" "$t/rc2"
check "SIGTERM with output blocked: terminal modes restored" cmp -s "$t/stty2.before" "$t/stty2.after"
stop_tmux "$t/tmux"

# Keys from a standard input at its end (a unit's StandardInput=null with a
# TTYPath=): the screen stays up and the key loop waits on its timers; a
# loop that polls the ended input reads it hundreds of thousands of times a
# second, a waiting one a few times.
start_shell
tm send-keys -t top "sh -c 'echo \$\$ >$t/pid3; exec ${top[*]} -p nokeys </dev/null'" Enter
check "stdin at its end: the screen is up" wait_screen 10 "/run/bpa/nokeys"
pid=$(cat "$t/pid3")
reads() { sed -n 's/^syscr: //p' "/proc/$pid/io"; }
r0=$(reads); sleep 2; r1=$(reads)
check "stdin at its end: no busy key loop ($((r1 - r0)) reads in 2 s)" test $((r1 - r0)) -lt 1000
kill -TERM "$pid"
stop_tmux "$t/tmux"

# ---- plain mode, CSV log, settings file -----------------------------------
mkdir -p /data /etc/hexwing
rm -f /etc/hexwing/tarn-vrx.conf
start_sim plain 2
"${top[@]}" -p plain --window all --save "$t/plain.csv" >"$t/plain.out" 2>"$t/plain.err" & tpid=$!
"${insp[@]}" -s -p plain >/dev/null 2>&1 & ipid=$!
sleep $((3 * slow))
kill -TERM $tpid $ipid
set +e; wait $tpid; st=$?; wait $ipid; set -e
check "plain: exit 0 on SIGTERM" test $st = 0
grep -E '^[0-9]{2}:[0-9]{2}:[0-9]{2} frames ' "$t/plain.out" >"$t/lines" || true
n=$(wc -l <"$t/lines")
check "plain: one line a second ($n lines in $((3 * slow)) s)" test "$n" -ge 2 -a "$n" -le $((3 * slow + 1))
check "plain: every line has its fields" \
  test -z "$(grep -vE '^[0-9:]{8} frames [0-9]+ lost [0-9]+ fps [0-9]+ vrx p50 [0-9.-]+ p95 [0-9.-]+ p99 [0-9.-]+ ms \(all\)' "$t/lines" || true)"
check "plain: last line has the frames, losses and percentiles" \
  grep -qE "^[0-9:]{8} frames $FRAMES lost $MISSING fps [0-9]+ vrx p50 $VRX_P50 p95 $VRX_P95 p99 $VRX_P99 ms \(all\) failed $BAD_RECORDS records in $BAD_BUFFERS buffers$" <(tail -n1 "$t/lines")
check "plain: summary frames" grep -qx "  frames:          $FRAMES" "$t/plain.out"
check "plain: summary gaps" grep -qx "  missing ids:     $MISSING in $GAPS gaps" "$t/plain.out"
check "plain: summary failed checks" grep -qF "failed checks:   $BAD_BUFFERS buffers, $BAD_RECORDS records (1 wrong magic, 1 partial buffers)" "$t/plain.out"
check "plain: the inspector's messages for the bad buffers" grep -qF "ERROR got magic number 0, expected 1413567054" "$t/plain.err"
check "--save writes the same CSV as tarn-inspect-vrx -s" cmp "$t/plain.csv" /data/tarn-inspect-vrx.csv
${TARN_EMULATOR:-} "$TARN_BIN/tarn-latency-report" "$t/plain.csv" >"$t/report" 2>&1 || true
# The summary is 80 columns wide: the same figures without the units.
figures() { grep -E "^  $1 {2,}" "$2" | tr -s ' ' | sed -E 's, (ms|frames/s|dBm) , ,'; }
for col in "VRX Latency" "Decode Latency" "FPS" "RSSI"; do
  check "summary row '$col' equals the report's of the saved log" test "$(figures "$col" "$t/plain.out")" = "$(figures "$col" "$t/report")"
done
check "the summary fits 80 columns" test "$(awk '/^tarn-vrx-top: /,0' "$t/plain.out" | awk '{ if (length($0) > 80) n++ } END { print n + 0 }')" = 0

# Not a terminal: plain lines without --plain. A settings file is read and
# left as it was; a publisher restart shows and the counts go on.
printf '// settings\n{ "encoding": "h265" }\n' >/etc/hexwing/tarn-vrx.conf
touch -d '2020-01-01' /etc/hexwing/tarn-vrx.conf
before=$(stat -c '%s %Y' /etc/hexwing/tarn-vrx.conf)
start_sim restart 1 --hold 0
sim1=${sims[-1]}
"${top[@]}" -p restart --window all --save "$t/restart.csv" >"$t/restart.out" 2>"$t/restart.err" & tpid=$!
wait "$sim1" || true
for _ in $(seq $((50 * slow))); do grep -q ' disconnected$' "$t/restart.out" && break; sleep 0.1; done
check "restart: disconnection shown" grep -qE ' disconnected$' "$t/restart.out"
start_sim restart 1 --hold 600
sleep $((2 * slow))
kill -TERM $tpid; set +e; wait $tpid; st=$?; set -e
check "restart: exit 0" test $st = 0
check "restart: counts kept over both runs" grep -qx "  frames:          $((2 * FRAMES))" "$t/restart.out"
check "restart: both runs' gaps" grep -qx "  missing ids:     $((2 * MISSING)) in $((2 * GAPS)) gaps" "$t/restart.out"
check "restart: two connections" grep -qx "  connections:     2, disconnections 1" "$t/restart.out"
check "restart: frames named after the settings' codec" grep -qF ",H265 (?) 101" "$t/restart.csv"
check "the settings file is left as it was" test "$(stat -c '%s %Y' /etc/hexwing/tarn-vrx.conf)" = "$before"

# A reader that goes away or a full disk ends plain mode with one line on
# stderr and status 1 (no pipe needed: a line comes every second).
set +e
timeout $((20 * slow)) "${top[@]}" --plain -p gone 2>"$t/epipe.err" | head -n 2 >"$t/epipe.out"
st_pipe=${PIPESTATUS[0]}
timeout $((20 * slow)) "${top[@]}" --plain -p full >/dev/full 2>"$t/full.err"; st_full=$?
set -e
check "plain, reader gone: status 1 ($st_pipe), before the time-out" test "$st_pipe" = 1
check "plain, reader gone: the lines it read" test "$(wc -l <"$t/epipe.out")" = 2
check "plain, reader gone: one line naming the error" \
  test "$(cat "$t/epipe.err")" = "tarn-vrx-top: cannot write standard output: Broken pipe"
check "plain, disk full: status 1 ($st_full)" test "$st_full" = 1
check "plain, disk full: one line naming the error" \
  test "$(cat "$t/full.err")" = "tarn-vrx-top: cannot write standard output: No space left on device"

# Command line.
set +e
"${top[@]}" --help >"$t/help" 2>&1; st_help=$?
"${top[@]}" --window 5 >/dev/null 2>"$t/err1"; st_w=$?
"${top[@]}" -p '../x' >/dev/null 2>"$t/err2"; st_p=$?
"${top[@]}" --warn-ms 20 --crit-ms 10 >/dev/null 2>"$t/err3"; st_t=$?
set -e
check "--help exits 0 and lists the keys" test $st_help = 0 -a -n "$(grep -F 'Keys: q quit' "$t/help")"
check "a bad window exits 2 with a reason" test $st_w = 2 -a -n "$(grep -F -- "for option '--window' (1, 10, 60 or all); try 'tarn-vrx-top --help'" "$t/err1")"
check "a bad pipe name exits 2" test $st_p = 2 -a -n "$(grep -F "invalid pipe name '../x' for option '--pipe'" "$t/err2")"
check "crit below warn exits 2" test $st_t = 2 -a -s "$t/err3"

finish "vrx-top"
