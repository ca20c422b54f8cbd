#!/usr/bin/env bash
# Command line of the inspector: help, bad options, bad pipe names, no server,
# and a clean stop on each termination signal. Runs in a throwaway root.
set -euo pipefail
if [ "${TARN_SANDBOXED:-}" != 1 ]; then exec bash "$TARN_SRC/scripts/sandbox.sh" bash "$0" "$@"; fi

insp=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-inspect-vrx")
sim=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-vrx-sim")
. "$TARN_SRC/tests/sh/check-lib.sh"

printf '%s\n' $'\ntypical usage\n/# tarn-inspect-vrx\n\nThis will print out vrx latency data from Brisk Pipe Architecture.\nBy default this opens the pipe "vrx_latency"/\nbut this can be changed with the --pipe option.\n\nRange in meters will always print. Additional options are:\n-h, --help                  print this help message\n-n, --newline               print each sample on a new line\n-p, --pipe {pipe_name}      optionally specify the pipe name\n-s, --save                  save every sample to /data/tarn-inspect-vrx.csv\n' >"$t/help"

for opt in -h --help; do
  set +e; "${insp[@]}" $opt >"$t/out" 2>"$t/err"; st=$?; set -e
  check "$opt exits 255" test $st = 255
  check "$opt prints the help text and leaves line wrap alone" cmp -s "$t/out" "$t/help"
  check "$opt prints nothing on stderr" test ! -s "$t/err"
done

set +e; "${insp[@]}" -x >"$t/out" 2>"$t/err"; st=$?; set -e
check "-x exits 255" test $st = 255
check "-x prints the help text" cmp -s "$t/out" "$t/help"
check "-x: the parser complains first" grep -q "invalid option -- 'x'" "$t/err"

set +e; "${insp[@]}" -p >"$t/out" 2>"$t/err"; st=$?; set -e
check "-p without a name exits 255 with help" test $st = 255
check "-p without a name prints help" cmp -s "$t/out" "$t/help"

for bad in "../etc" "a b" "" "$(printf 'x%.0s' {1..60})"; do
  set +e; "${insp[@]}" -p "$bad" >"$t/out" 2>"$t/err"; st=$?; set -e
  check "-p '$bad' exits 255" test $st = 255
  check "-p '$bad' names the pipe" grep -qxF "Invalid pipe name: $bad" "$t/err"
  check "-p '$bad' leaves the terminal alone" test ! -s "$t/out"
done

# No server: the library's text, line wrap off and back on, status 255.
set +e; "${insp[@]}" -p nobody_here >"$t/out" 2>"$t/err"; st=$?; set -e
check "no server exits 255" test $st = 255
check "no server restores line wrap" test "$(cat -v "$t/out")" = '^[[?7l^[[?7h'
check "no server prints one line" test "$(wc -l <"$t/err")" = 1
check "no server names the location" \
  grep -qxF "ERROR: no server publishes at /run/bpa/nobody_here/, is it running?" "$t/err"

# -s is accepted; every termination signal ends the run cleanly.
for sig in TERM INT HUP; do
  "${sim[@]}" --pipe /run/bpa/cli --rate 100 >/dev/null 2>&1 & simpid=$!
  wait_until "the simulator's pipe" 5 test -S /run/bpa/cli/data
  # The last round's rows go first: the new inspector empties the file only
  # once it runs, and the wait below must not see the old ones.
  rm -f "$t/out" "$t/err"
  "${insp[@]}" -s -p cli >"$t/out" 2>"$t/err" & pid=$!
  wait_until "rows of the inspector" 5 grep -q 'H264 (P)' "$t/out"
  start=$(date +%s%N)
  kill -$sig $pid
  set +e; wait $pid; st=$?; set -e
  ms=$(( ($(date +%s%N) - start) / 1000000 ))
  kill $simpid; wait $simpid || true
  check "SIG$sig exits 0" test $st = 0
  check "SIG$sig ends within a second (took ${ms} ms)" test $ms -lt $((1000 * slow))
  # A row that was already on its way may still land between the closing
  # line and the line-wrap switch (the client thread runs until the close).
  check "SIG$sig prints the closing line" grep -qxF 'closing and exiting' "$t/out"
  check "SIG$sig restores line wrap last" test "$(tail -c 5 "$t/out" | cat -v)" = '^[[?7h'
  check "SIG$sig: rows were shown" grep -q 'H264 (P)' "$t/out"
done

# A partial path is a pipe under /run/bpa: "vrx_latency/" and "cam/name".
for pair in "part/:/run/bpa/part" "cam/part:/run/bpa/cam/part"; do
  arg=${pair%%:*} loc=${pair#*:}
  "${sim[@]}" --pipe "$loc" --rate 100 >/dev/null 2>&1 & simpid=$!
  wait_until "the simulator's pipe" 5 test -S "$loc/data"
  rm -f "$t/out" "$t/err"  # not the last round's rows
  "${insp[@]}" -n -p "$arg" >"$t/out" 2>"$t/err" & pid=$!
  wait_until "rows of the inspector" 5 grep -q 'H264 (P)' "$t/out" || true
  kill -TERM $pid; set +e; wait $pid; st=$?; set -e
  kill $simpid; wait $simpid || true
  check "-p $arg exits 0" test $st = 0
  check "-p $arg subscribes to $loc/" grep -q 'H264 (P)' "$t/out"
done

finish "inspector cli"
