#!/usr/bin/env bash
# The recording service end to end: the ExecStart line of
# systemd/tarn-vrx-record.service (its program taken from this build, its
# metrics on a free port) runs against a scenario in which the receiver
# restarts twice. Its folder then holds three recordings, each with its
# times file, each a log of one run that tarn-latency-report reads; the
# journal lines (standard output) are one a second and one per event start
# and end. Runs in a throwaway root, whose /data is its own.
set -euo pipefail
if [ "${TARN_SANDBOXED:-}" != 1 ]; then exec bash "$TARN_SRC/scripts/sandbox.sh" bash "$0" "$@"; fi
sim=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-vrx-sim")
report=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-latency-report")
. "$TARN_SRC/tests/sh/check-lib.sh"

unit=$TARN_SRC/systemd/tarn-vrx-record.service
read -r -a cmd <<<"$(sed -n 's/^ExecStart=//p' "$unit")"
read -r -a pre <<<"$(sed -n 's/^ExecStartPre=+//p' "$unit")"
dir=
for i in "${!cmd[@]}"; do
  case ${cmd[$i]} in
    --record-dir) dir=${cmd[$((i + 1))]} ;;
    --metrics) cmd[$((i + 1))]=127.0.0.1:$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])') ;;
  esac
done
check "the unit runs tarn-vrx-top in plain mode with a folder" \
  test "${cmd[0]}" = /usr/bin/tarn-vrx-top -a -n "$dir" -a "$(printf '%s\n' "${cmd[@]}" | grep -cx -- --plain)" = 1
cmd=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-vrx-top" "${cmd[@]:1}")
"${pre[@]}"

cat >"$t/two-restarts.scn" <<'SCN'
0s      -       rate        120
3s      -       restart     1s
7s      -       restart     1s
11s     -       end
SCN
"${sim[@]}" --scenario "$t/two-restarts.scn" --wait-clients 1 >"$t/sim.out" 2>&1 &
simpid=$!
"${cmd[@]}" >"$t/journal" 2>"$t/err" &
toppid=$!
wait "$simpid" || true
sleep $(( 2 * slow ))
kill -TERM "$toppid"
st=0; wait "$toppid" || st=$?
check "the service's program ends well on SIGTERM (status $st)" test "$st" = 0

shopt -s nullglob
logs=("$dir"/*.csv)
check "three recordings in $dir (there are ${#logs[@]})" test "${#logs[@]}" = 3
check "named by the UTC time of day" \
  test "$(printf '%s\n' "${logs[@]##*/}" | grep -cE '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}-[0-9]{2}-[0-9]{2}Z(-[0-9]+)?\.csv$')" = 3
check "each said on the journal" test "$(grep -c "^recording to $dir/" "$t/err")" = 3
frames=0
for f in "${logs[@]}"; do
  check "$f has its times file" test -s "$f.times"
  check "the report reads $f as one run" grep -qE ': 1 run, [0-9]+ lines, 0 malformed$' <("${report[@]}" "$f")
  n=$("${report[@]}" -j "$f" | python3 -c 'import json, sys; print(json.load(sys.stdin)["runs"][0]["frames"])')
  check "$f holds frames" test "$n" -gt 100
  frames=$((frames + n))
done
# The scenario's frames before the end, but for those of the restarts.
check "the recordings hold the scenario's frames ($frames)" test "$frames" -gt 800 -a "$frames" -le 1320
check "events files: both restarts ended, in JSON lines" python3 - "$dir" <<'PY'
import glob, json, sys
evs = [json.loads(l) for f in glob.glob(sys.argv[1] + "/*.csv.events") for l in open(f)]
assert [e["kind"] for e in evs if not e["ongoing"]].count("restart") == 2, evs
PY
seconds=$(grep -cE '^[0-9]{2}:[0-9]{2}:[0-9]{2} frames [0-9]+ lost ' "$t/journal" || true)
check "a journal line a second ($seconds)" test "$seconds" -ge 10
check "a journal line as each restart starts and ends" \
  test "$(grep -cE '^[0-9:.]+ event (start|end) restart' "$t/journal")" -ge 4
finish "recording service"
