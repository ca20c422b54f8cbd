#!/usr/bin/env bash
# Link events live, end to end: the simulator plays a short scenario (a
# stall, a burst of loss, a restart) on the pipe and tarn-vrx-top --plain
# prints a line when each event starts and ends and appends every event to
# its --events file; the JSON lines carry the members the report gives.
# Runs in a throwaway root.
set -euo pipefail
if [ "${TARN_SANDBOXED:-}" != 1 ]; then exec bash "$TARN_SRC/scripts/sandbox.sh" bash "$0" "$@"; fi
top=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-vrx-top")
sim=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-vrx-sim")
. "$TARN_SRC/tests/sh/check-lib.sh"

check "an unknown threshold is refused with the names" \
  bash -c '! "$@" --threshold nope=1 2>"'"$t"'/err" && grep -q "unknown threshold .nope. (baseline_s" "'"$t"'/err"' _ "${top[@]}"
check "a threshold value that is not a number is refused" \
  bash -c '! "$@" --threshold loss_warn_pct=x 2>/dev/null' _ "${top[@]}"

cat >"$t/short.scn" <<'SCN'
0s      -       rate        120
3s      600ms   stall
6s      2s      burst       20 1s
10s     -       restart     1s
14s     -       end
SCN
"${sim[@]}" --scenario "$t/short.scn" --truth "$t/truth.jsonl" --wait-clients 1 >"$t/sim.out" 2>&1 &
simpid=$!
"${top[@]}" --plain --events "$t/events.jsonl" --threshold baseline_s=2 >"$t/plain" 2>"$t/top.err" &
toppid=$!
wait "$simpid" || true
sleep $(( 2 * slow ))
kill -INT "$toppid"
wait "$toppid" || true

check "plain: a start and an end line for the stall" \
  bash -c 'grep -qE "^[0-9]{2}:[0-9]{2}:[0-9]{2} event start stall" "$1" && grep -qE "^[0-9:]{8} event end stall" "$1"' _ "$t/plain"
check "plain: the burst as loss, its share in the start line" grep -qE '^[0-9:]{8} event start loss (warn|crit): loss [1-9][0-9]*\.[0-9] %' "$t/plain"
check "plain: the restart starts and ends" \
  bash -c 'grep -qE "event start restart" "$1" && grep -qE "event end restart warn: restart 1\.[0-9] s" "$1"' _ "$t/plain"
check "events file: one JSON object a line with the report's members" python3 - "$t/events.jsonl" <<'PY'
import json, sys
evs = [json.loads(l) for l in open(sys.argv[1])]
kinds = [e["kind"] for e in evs]
ended = [e["kind"] for e in evs if not e["ongoing"]]
# The scenario's restart; the end of the scenario closes the pipe too,
# which is the restart still going on when the view stopped.
assert "stall" in kinds and "loss" in kinds and ended.count("restart") == 1, kinds
for e in evs:
    for k in ("kind", "severity", "start_s", "end_s", "start_time", "end_time", "first_sample_id", "last_sample_id", "figure", "value", "baseline"):
        assert k in e, (k, e)
    assert e["start_time"] is not None and e["start_time"].endswith("Z"), e
st = [e for e in evs if e["kind"] == "stall"][0]
assert 550 <= st["value"] <= 2000, st
PY
check "nothing else happened" python3 - "$t/events.jsonl" <<'PY'
import json, sys
assert {json.loads(l)["kind"] for l in open(sys.argv[1])} <= {"stall", "loss", "restart"}
PY
finish "link events"
