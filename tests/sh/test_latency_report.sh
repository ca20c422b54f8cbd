#!/usr/bin/env bash
# tarn-latency-report on generated logs: text and JSON against a reference
# computed in Python, several runs, malformed lines, errors, the SVG plot
# rendered with rsvg-convert; then a saved run replayed by tarn-vrx-sim into
# the real inspector, which must log the same rows. The replay part runs in
# a throwaway root (the inspector writes /data and reads /etc).
set -euo pipefail
if [ "${TARN_SANDBOXED:-}" != 1 ]; then exec bash "$TARN_SRC/scripts/sandbox.sh" bash "$0" "$@"; fi

rep=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-latency-report")
sim=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-vrx-sim")
insp=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-inspect-vrx")
gen=(python3 "$TARN_SRC/tests/report/gen_log.py")
chk=(python3 "$TARN_SRC/tests/report/check_report.py")
. "$TARN_SRC/tests/sh/check-lib.sh"

# --- help
"${rep[@]}" --help >"$t/help"
for word in --run --json --svg nearest-rank "ceil(N/100 * n)" /data/tarn-inspect-vrx.csv; do
  check "report --help mentions $word" grep -qF -- "$word" "$t/help"
done
"${sim[@]}" --help >"$t/simhelp" || true
check "simulator --help documents --replay" grep -qF -- "--replay FILE" "$t/simhelp"
check "simulator --help documents --run" grep -qF -- "--run N" "$t/simhelp"

# --- a log of four runs: gaps, spikes and two malformed lines; ids that
# wrap; a run with no rows; a hand-written run with repeats and late ids.
"${gen[@]}" --rows 2000 --spikes --drop-every 300 --seed 3 >"$t/log.csv"
echo "12,not,a,row" >>"$t/log.csv"                                         # line 2002
"${gen[@]}" --rows 10 --no-header --start 2012 --seed 4 >>"$t/log.csv"
sed -n 5p "$t/log.csv" | awk -F, -v OFS=, '{$2 = "1.2.3"; print}' >>"$t/log.csv"  # line 2013
"${gen[@]}" --rows 600 --codec h265 --start 4294967000 --gop 20 --seed 5 >>"$t/log.csv"
"${gen[@]}" --rows 0 >>"$t/log.csv"
{ "${gen[@]}" --rows 6 --seed 6; } | awk -F, 'NR==1 {print; next} {a[NR]=$0} END {print a[2]; print a[4]; print a[3]; print a[4]; print a[7]; print a[2]}' >>"$t/log.csv"

"${rep[@]}" "$t/log.csv" >"$t/text"; st=$?
check "text report exits 0 despite malformed lines" test $st = 0
check "text report names four runs" grep -qx "$t/log.csv: 4 runs, 2622 lines, 2 malformed" "$t/text"
check "malformed line 2002 is listed" grep -qx "    line 2002: bad number" "$t/text"
check "malformed line 2013 is listed" grep -qx "    line 2013: bad number" "$t/text"
check "run 1 counts its frames" grep -qx "  frames:          2010" "$t/text"
check "run 1 has its gaps" grep -qx "  missing ids:     11 in 7 gaps" "$t/text"
check "run 1 lists its gaps" grep -qx "    gaps: 301 (1, 0.03 s) 602 (1, 0.03 s) 903 (1, 0.03 s) 1204 (1, 0.03 s) 1505 (1, 0.03 s) 1806 (1, 0.03 s) 2007-2011 (5, 0.10 s)" "$t/text"
check "run 1 ends at its last id" grep -qx "  sample ids:      first 1, last 2021" "$t/text"
check "run 2 wraps past 4294967295" grep -qx "  sample ids:      first 4294967000, last 303" "$t/text"
check "run 2 has nothing missing across the wrap" test "$(grep -c '^  missing ids:     0 in 0 gaps' "$t/text")" -ge 2
check "run 2 counts H.265 I-frames" grep -qx "  frame types:     30 I-frames, 570 P-frames, 0 other" "$t/text"
check "run 3 is empty but reported" grep -qx "run 3: lines 2615-2615" "$t/text"
# ids 1 3 2 3 6 1: 4 and 5 missing, 3 and 1 repeated, 2 late.
check "run 4 has its gap" grep -qx "    gaps: 4-5 (2, 0.10 s)" "$t/text"
check "run 4 has repeats" grep -qx "  repeats:         2" "$t/text"
check "run 4 has a late id" grep -qx "  out of order:    1" "$t/text"

"${rep[@]}" --json "$t/log.csv" >"$t/all.json"
check "JSON matches the reference for every run" "${chk[@]}" json "$t/log.csv" "$t/all.json"
"${rep[@]}" --json --run 2 "$t/log.csv" >"$t/run2.json"
check "--run 2 reports run 2 alone" "${chk[@]}" json "$t/log.csv" "$t/run2.json" 2
check "JSON lists the malformed lines" python3 -c "
import json, sys
d = json.load(open('$t/all.json'))
assert d['malformed_lines'] == 2 and d['run_count'] == 4
assert [m['line'] for m in d['runs'][0]['malformed_lines']] == [2002, 2013]"
"${rep[@]}" - <"$t/log.csv" >"$t/stdin.text"
check "- reads standard input" cmp -s <(sed "s#$t/log.csv#-#" "$t/text") "$t/stdin.text"

# --- errors: clear words on stderr, status 1, nothing on stdout
expect_error() {  # NAME PATTERN ARGS...
  local name=$1 pattern=$2; shift 2
  set +e; "${rep[@]}" "$@" >"$t/out" 2>"$t/err"; local st=$?; set -e
  check "$name exits 1" test $st = 1
  check "$name says why" grep -qF -- "$pattern" "$t/err"
}
expect_error "missing file" "cannot open $t/none.csv: No such file or directory" "$t/none.csv"
expect_error "a folder" "cannot read $t: Is a directory" "$t"
expect_error "run 7 of 4" "holds 4 runs, there is no run 7" --run 7 "$t/log.csv"
expect_error "bad run number" "invalid run number 'x'" --run x "$t/log.csv"
expect_error "two logs" "one log at a time" "$t/log.csv" "$t/log.csv"
expect_error "unwritable plot" "cannot write /nonexistent/p.svg" --svg /nonexistent/p.svg "$t/log.csv"
chmod 000 "$t/log.csv"
if ! cat "$t/log.csv" >/dev/null 2>&1; then  # root reads anything: only checked for others
  expect_error "unreadable file" "Permission denied" "$t/log.csv"
fi
chmod 644 "$t/log.csv"

# --- the plot: well-formed XML, rendered by librsvg, data in every panel
"${rep[@]}" --run 1 --svg "$t/run1.svg" "$t/log.csv" >/dev/null
check "run 1 plot renders" rsvg-convert "$t/run1.svg" -o "$t/run1.png"
check "run 1 plot shows data in every panel" "${chk[@]}" svg "$t/run1.svg" "$t/run1.png"
"${rep[@]}" --run 4 --svg "$t/run4.svg" "$t/log.csv" >/dev/null
check "a six-row plot renders" rsvg-convert "$t/run4.svg" -o "$t/run4.png"
check "a six-row plot shows its data" "${chk[@]}" svg "$t/run4.svg" "$t/run4.png" 0.002
"${rep[@]}" --run 3 --svg "$t/run3.svg" "$t/log.csv" >/dev/null
check "an empty run still renders" rsvg-convert "$t/run3.svg" -o "$t/run3.png"
check "the blank check sees an empty run as blank" bash -c "! ${chk[*]} svg $t/run3.svg $t/run3.png >/dev/null 2>&1"
# The plotted run's rows are kept while it is read, from a file as from a
# pipe: the plots are the same.
for r in 1 2 4; do
  "${rep[@]}" --run $r --svg "$t/file.svg" "$t/log.csv" >/dev/null
  cat "$t/log.csv" | "${rep[@]}" --run $r --svg "$t/pipe.svg" - >/dev/null
  check "run $r plotted from a pipe equals the plot from the file" cmp -s <(sed "s#$t/log.csv#-#" "$t/file.svg") "$t/pipe.svg"
done
"${rep[@]}" --svg "$t/last.svg" "$t/log.csv" >/dev/null
check "without --run the last run is plotted" grep -qF "log.csv, run 4" "$t/last.svg"
# A long run is drawn from bins: the plot stays small.
"${gen[@]}" --rows 300000 --spikes --seed 9 >"$t/big.csv"
"${rep[@]}" --svg "$t/big.svg" "$t/big.csv" >/dev/null
size=$(stat -c %s "$t/big.svg")
check "a 300000-row plot stays under 1 MB ($size bytes)" test "$size" -lt 1000000
check "a 300000-row plot renders" rsvg-convert "$t/big.svg" -o "$t/big.png"
check "a 300000-row plot shows data in every panel" "${chk[@]}" svg "$t/big.svg" "$t/big.png"
# A run longer than the report keeps of it (2^20 rows) is read again from a
# file: its few malformed lines skipped by number, or every line read whole
# when it has more than the report lists. The plot is the one from a pipe.
for every in 100000 4; do
  { head -n 1 "$t/big.csv"
    for k in 0 1 2 3; do tail -n +2 "$t/big.csv" | awk -F, -v OFS=, -v k=$k '{$1 += 300000 * k; print}'; done
  } | awk -v every=$every 'NR > 1 && NR % every == 0 {print "12,not,a,row"} {print}' >"$t/long.csv"
  "${rep[@]}" --svg "$t/file.svg" "$t/long.csv" >"$t/long.text"
  cat "$t/long.csv" | "${rep[@]}" --svg "$t/pipe.svg" - >/dev/null
  check "a run of 1200000 rows with a malformed line in every $every has them counted" \
    grep -qx "  malformed lines: $((1200001 / every))" "$t/long.text"
  check "a run of 1200000 rows with a malformed line in every $every plots from the file as from a pipe" \
    cmp -s <(sed "s#$t/long.csv#-#" "$t/file.svg") "$t/pipe.svg"
done
rm -f "$t/long.csv"

# --- the example in docs/ is what the report prints today
mkdir "$t/example"
bash "$TARN_SRC/docs/make-report-example.sh" "$TARN_BIN" "$t/example" >/dev/null
check "docs/report-example.txt is the report's current output" \
  cmp "$t/example/report-example.txt" "$TARN_SRC/docs/report-example.txt"
check "docs/report.md shows the same example" python3 -c "
import sys
assert open('$t/example/report-example.txt').read() in open('$TARN_SRC/docs/report.md').read()"
check "the example plot shows data in every panel" \
  "${chk[@]}" svg "$t/example/report-example.svg" "$t/example/report-example.png"

# --- replay: saved run -> simulator -> inspector -s -> the same rows
mkdir -p /data /etc/hexwing "$t/pipe"
replay() {  # CODEC LOG SIM-ARGS...: runs one replay into a fresh inspector log
  local codec=$1 log=$2; shift 2
  echo "{\"encoding\": \"$codec\"}" >/etc/hexwing/tarn-vrx.conf
  rm -f /data/tarn-inspect-vrx.csv
  "${sim[@]}" --pipe "$t/pipe/vrx" --replay "$log" --wait-clients 1 --delay 0.3 --hold 0.5 "$@" \
    <"${replay_in:-/dev/null}" 2>"$t/sim.err" &
  local simpid=$!
  wait_until "the simulator's pipe" 10 test -S "$t/pipe/vrx/data"
  "${insp[@]}" -s -p "$t/pipe/vrx" >"$t/insp.out" 2>"$t/insp.err" &
  local pid=$!
  wait $simpid
  kill -TERM $pid
  wait $pid || true
}
# Rows of run N of a log, with its header.
run_rows() { awk -v want="$2" 'BEGIN{n=0} /^Sample ID,/ {n++} n==want' "$1"; }

run_rows "$t/log.csv" 2 >"$t/want2.csv"
replay h265 "$t/log.csv" --run 2 --rate 1000 --batch 4
check "replayed H.265 run with wrapping ids logs the same rows" cmp "$t/want2.csv" /data/tarn-inspect-vrx.csv

"${gen[@]}" --rows 90 --seed 11 --drop-every 20 >"$t/small.csv"
start=$(date +%s%N)
replay h264 "$t/small.csv"
ms=$(( ($(date +%s%N) - start) / 1000000 ))
check "replayed run logs the same rows" cmp "$t/small.csv" /data/tarn-inspect-vrx.csv
# 90 rows at the run's own 60 fps take 1.5 s at least (never less).
check "replay is paced by the run's FPS by default (took $ms ms)" test $ms -ge 1400
# The replayed log reads the same in the report, and so replays again.
"${rep[@]}" --json /data/tarn-inspect-vrx.csv >"$t/again.json"
check "the replayed log reports like the original" "${chk[@]}" json "$t/small.csv" "$t/again.json"

# From standard input the run is streamed as it comes, found by its number.
replay_in="$t/log.csv" replay h265 - --run 2 --rate 1000 --batch 4
check "run 2 replayed from standard input logs the same rows" cmp "$t/want2.csv" /data/tarn-inspect-vrx.csv

# An FPS column that is no frame rate (1e-30 would overflow the pacing,
# 0.0001 sleep hours after a row, 5000 send all at once): the run goes out
# at 60 a second, said once.
for fps in 1e-30 0.0001 5000; do
  "${gen[@]}" --rows 30 --seed 12 >"$t/fps0.csv"
  awk -F, -v OFS=, -v f=$fps 'NR > 1 {$11 = f} 1' "$t/fps0.csv" >"$t/fps.csv"
  awk -F, -v OFS=, -v f=$fps 'NR > 1 {$11 = sprintf("%.3f", f)} 1' "$t/fps0.csv" >"$t/fps.want"
  start=$(date +%s%N)
  replay h264 "$t/fps.csv"
  ms=$(( ($(date +%s%N) - start) / 1000000 ))
  check "FPS $fps: the rows go out all and the same" cmp "$t/fps.want" /data/tarn-inspect-vrx.csv
  check "FPS $fps: paced at 60 a second, not all at once (took $ms ms)" test $ms -ge 1250
  check "FPS $fps: one line says so" \
    test "$(cat "$t/sim.err")" = "tarn-vrx-sim: $t/fps.csv: no FPS of 1 to 1000 in the run; 60 records a second"
done

set +e; "${sim[@]}" --pipe "$t/pipe/x" --replay "$t/none.csv" 2>"$t/err"; st=$?; set -e
check "replay of a missing log exits 1" test $st = 1
check "replay of a missing log says why" grep -qF "cannot open $t/none.csv" "$t/err"
set +e; "${sim[@]}" --pipe "$t/pipe/x" --replay "$t/log.csv" --run 5 2>"$t/err"; st=$?; set -e
check "replay of run 5 of 4 exits 1" test $st = 1
check "replay of run 5 of 4 says why" grep -qF "holds 4 runs, there is no run 5" "$t/err"

set +e; "${sim[@]}" --pipe "$t/pipe/x" --run 2 2>"$t/err"; st=$?; set -e
check "--run without --replay is refused" test $st = 1
check "--run without --replay says why" grep -qF -- "--run goes with --replay" "$t/err"

finish "latency report"
