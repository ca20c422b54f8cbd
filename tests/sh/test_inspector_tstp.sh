#!/usr/bin/env bash
# Ctrl-Z and fg in a real terminal (a tmux pane, 80 columns, an interactive
# bash): the inspector gives the shell its line wrap back before it stops,
# switches it off again when continued, and its rows go on. Runs in a
# throwaway root.
set -euo pipefail
if [ "${TARN_SANDBOXED:-}" != 1 ]; then exec bash "$TARN_SRC/scripts/sandbox.sh" bash "$0" "$@"; fi
command -v tmux >/dev/null || { echo "FAILED: tmux is missing (scripts/packages.txt)"; exit 1; }

. "$TARN_SRC/tests/sh/check-lib.sh"
sock=$t/tmux.sock
tm() { tmux -S "$sock" "$@"; }
simpid=
cleanup() {
  stop_tmux "$sock"
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null && wait "$simpid" 2>/dev/null
}

screen() { tm capture-pane -p -t tstp; }
# The pane's history and screen: the closing line may have scrolled off
# under the rows that were on their way at the stop.
history() { tm capture-pane -p -S - -t tstp; }
shows() {  # shows CAPTURE PYTHON-CONDITION-ON-lines
  "$1" >"$t/screen"
  python3 - "$t/screen" "$2" <<'PY'
import sys
lines = open(sys.argv[1], encoding="utf-8", errors="replace").read().split("\n")
sys.exit(0 if eval(sys.argv[2]) else 1)
PY
}
wait_screen() {  # wait_screen WHAT PYTHON-CONDITION-ON-lines [CAPTURE]
  wait_until "$1" 10 shows "${3:-screen}" "$2" && return 0
  echo "the screen:"; cat "$t/screen"
  return 1
}
# Highest sample id on the screen.
max_id() { grep -oE '^\| +[0-9]+ \|' "$t/screen" | tr -dc '0-9\n' | sort -n | tail -1; }

mkdir -p /etc/hexwing
echo '{"encoding": "h264"}' >/etc/hexwing/tarn-vrx.conf
${TARN_EMULATOR:-} "$TARN_BIN/tarn-vrx-sim" --pipe /run/bpa/tstp --rate 1000 >/dev/null 2>&1 &
simpid=$!
wait_until "the simulator's pipe" 5 test -S /run/bpa/tstp/data

tm -f /dev/null new-session -d -s tstp -x 80 -y 40 \
  "$(pane_shell screen)"
wait_screen "the prompt" 'any(l.startswith("$") for l in lines)'
tm send-keys -t tstp "${TARN_EMULATOR:-} $TARN_BIN/tarn-inspect-vrx -n -p /run/bpa/tstp" Enter
wait_screen "rows" 'sum(l.startswith("|  ") for l in lines) >= 4'
# Line wrap off: each 169-character row is one screen line, cut at the edge.
check "rows are cut at the edge while running" wait_screen "cut rows" \
  '[l for l in lines if l.startswith("|")][-1].endswith("|") and len(lines[-1]) == 0'

tm send-keys -t tstp C-z
wait_screen "the job to stop" 'any("Stopped" in l for l in lines)'
before=$(max_id)
tm send-keys -t tstp "printf 'x%.0s' {1..200}; echo" Enter
check "after Ctrl-Z the shell wraps a long line" wait_screen "a wrapped line" \
  'sum(l == "x" * 80 for l in lines) == 2 and "x" * 40 in lines'

# A second's rows wait for the inspector meanwhile: on fg they fill the
# terminal at once, as the line wrap is switched off again.
sleep 1
tm send-keys -t tstp "fg" Enter
check "after fg the rows go on" wait_screen "new rows" \
  "max([int(l[1:9]) for l in lines if l[:1] == '|' and l[1:9].strip().isdigit()] or [0]) > $before + 5"
# Wrap off again: the rows after fg are whole screen lines, none wrapped.
check "after fg the rows are cut at the edge again" wait_screen "cut rows after fg" \
  'all(l.startswith("|") for l in [l for l in lines if l][-6:])'

tm send-keys -t tstp C-c
check "Ctrl-C ends it" wait_screen "the closing line" 'any(l == "closing and exiting" for l in lines)' history
tm send-keys -t tstp "printf 'y%.0s' {1..100}; echo" Enter
check "after the end the shell wraps again" wait_screen "a wrapped line" \
  '"y" * 80 in lines and "y" * 20 in lines'

finish "inspector Ctrl-Z"
