#!/usr/bin/env bash
# tarn-vrx-sim --scenario into the real inspector (tarn-inspect-vrx -n -s):
# every kind of step shows in the CSV log exactly as the scenario asks
# (tests/sim/check_scenario.py compares the rows with a run of the same
# seed without steps, and the truth file with the rows); a mistake in a
# scenario gives one line and status 1 with nothing published; the shipped
# example scenarios all read. Runs in a throwaway root (the inspector
# writes /data and reads /etc).
set -euo pipefail
if [ "${TARN_SANDBOXED:-}" != 1 ]; then exec bash "$TARN_SRC/scripts/sandbox.sh" bash "$0" "$@"; fi

sim=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-vrx-sim")
insp=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-inspect-vrx")
. "$TARN_SRC/tests/sh/check-lib.sh"

mkdir -p /data /etc/hexwing "$t/pipe"
echo '{"encoding": "h264"}' >/etc/hexwing/tarn-vrx.conf

scaled() { awk -v s="$1" -v f="$slow" 'BEGIN { print s * f }'; }
# SCENARIO OUT-CSV [SIM-ARGS...]: one run into a fresh inspector log; the
# inspector's stderr lands in OUT-CSV.err.
run_scenario() {
  local scn=$1 out=$2; shift 2
  rm -f /data/tarn-inspect-vrx.csv
  # The inspector is subscribed before the first frame and after the
  # restart (--wait-clients); --delay and --hold give it time to be ready
  # and to read the last rows.
  "${sim[@]}" --pipe "$t/pipe/vrx" --scenario "$scn" --seed 5 --wait-clients 1 --delay "$(scaled 0.3)" \
    --hold "$(scaled 0.5)" "$@" \
    2>"$t/sim.err" &
  local simpid=$!
  wait_until "the simulator's pipe" 10 test -S "$t/pipe/vrx/data"
  "${insp[@]}" -n -s -p "$t/pipe/vrx" >"$t/insp.out" 2>"$out.err" &
  local pid=$!
  local st=0
  wait $simpid || st=$?
  kill -TERM $pid
  wait $pid || true
  cp /data/tarn-inspect-vrx.csv "$out"
  return $st
}

# --- every kind of step, and a baseline of the same seed without steps
scn=$TARN_SRC/tests/sim/every-step.scn
check "the scenario runs to its end" run_scenario "$scn" "$t/run.csv" --truth "$t/truth.jsonl"
check "the simulator said nothing" test ! -s "$t/sim.err"
printf '0s - rate 2000\n2.8s - end\n' >"$t/base.scn"
check "the baseline runs" run_scenario "$t/base.scn" "$t/base.csv"
check "rows and truth show what the scenario asked" \
  python3 "$TARN_SRC/tests/sim/check_scenario.py" "$scn" "$t/run.csv" "$t/base.csv" "$t/truth.jsonl" "$t/run.csv.err"
# The checker itself sees a wrong log: a row taken out, a value changed.
awk -F, -v OFS=, 'NR == 900 {next} NR == 1500 {$8 += 1} {print}' "$t/run.csv" >"$t/wrong.csv"
check "the checker catches a missing row and a wrong value" bash -c \
  "! python3 '$TARN_SRC/tests/sim/check_scenario.py' '$scn' '$t/wrong.csv' '$t/base.csv' '$t/truth.jsonl' '$t/run.csv.err' >'$t/wrong.out'"
check "the checker names both faults" test "$(grep -c 'connection 1\|off by' "$t/wrong.out")" -ge 2

# The same seed gives the same run: the truth's ids and figures match (its
# times differ).
run_scenario "$scn" "$t/again.csv" --truth "$t/truth2.jsonl" || true
strip_times() { sed -E 's/"(start|end)":"[^"]*"//g' "$1"; }
check "the same seed gives the same truth" cmp -s <(strip_times "$t/truth.jsonl") <(strip_times "$t/truth2.jsonl")
check "the same seed gives the same rows" cmp -s "$t/run.csv" "$t/again.csv"

# --- a mistake: one line with file and line number, status 1, nothing published
bad_scenario() {  # NAME TEXT PATTERN
  printf '%b' "$2" >"$t/bad.scn"
  rm -rf "$t/pipe/bad" "$t/bad.truth"
  set +e; "${sim[@]}" --pipe "$t/pipe/bad" --scenario "$t/bad.scn" --truth "$t/bad.truth" >"$t/out" 2>"$t/err"; local st=$?; set -e
  check "$1: status 1" test $st = 1
  check "$1: one line" test "$(wc -l <"$t/err")" = 1
  check "$1: says where and what" grep -qF -- "$3" "$t/err"
  check "$1: nothing published" test ! -e "$t/pipe/bad"
  check "$1: no truth file" test ! -e "$t/bad.truth"
}
bad_scenario "unknown word" '0s - rate 100\n# fine\n1s 1s decay +1ms\n' "$t/bad.scn:3: unknown step 'decay'"
bad_scenario "bad value" '0s - rate 100\n1s 1s loss 140%\n' "$t/bad.scn:2: bad share '140%' for loss"
bad_scenario "overlap" '0s 5s decode +1ms\n2s 1s decode +2ms\n' "$t/bad.scn:2: decode at 2s overlaps the decode of line 1"
printf '0s - rate 5\n2s - stall\n' | { set +e; "${sim[@]}" --pipe "$t/pipe/bad" --scenario - 2>"$t/err"; echo $? >"$t/st"; }
check "standard input: status 1" test "$(cat "$t/st")" = 1
check "standard input: the message calls it -" grep -qx "tarn-vrx-sim: -:2: a stall needs a duration, not '-'" "$t/err"
set +e; "${sim[@]}" --pipe "$t/pipe/bad" --scenario "$t/none.scn" 2>"$t/err"; st=$?; set -e
check "a missing scenario: status 1" test $st = 1
check "a missing scenario says why" grep -qF "cannot open $t/none.scn: No such file or directory" "$t/err"
set +e; "${sim[@]}" --pipe "$t/pipe/bad" --truth "$t/x" 2>"$t/err"; st=$?; set -e
check "--truth without --scenario is refused" test $st = 1
# The truth file is opened as every output is: not through a folder that is not one.
printf '0s - rate 100\n' >"$t/ok.scn"
set +e; "${sim[@]}" --pipe "$t/pipe/bad" --scenario "$t/ok.scn" --truth "$t/ok.scn/x" 2>"$t/err"; st=$?; set -e
check "an unwritable truth file: status 1 before publishing" test $st = 1 -a ! -e "$t/pipe/bad"
check "an unwritable truth file says which" grep -qF "cannot write $t/ok.scn/x" "$t/err"

# --- the shipped scenarios read, and a line of each goes out
for f in "$TARN_SRC"/docs/scenarios/*.scn; do
  check "$(basename "$f") reads" "${sim[@]}" --pipe "$t/pipe/ex" --scenario "$f" --count 3 --rate 1000
done
check "four example scenarios" test "$(ls "$TARN_SRC"/docs/scenarios/*.scn | wc -l)" = 4

# run.sh names the examples when asked for one that does not exist (before
# it builds or starts anything).
set +e; bash "$TARN_SRC/scripts/run.sh" --top --scenario no-such >"$t/out" 2>"$t/err"; st=$?; set -e
check "run.sh --scenario of an unknown name: status 2" test $st = 2
check "run.sh --scenario of an unknown name lists the examples" \
  grep -qF "no scenario no-such (a file, or one of: degrading-link healthy interference restart )" "$t/err"

finish "sim scenario"
