#!/usr/bin/env bash
# tarn-latency-report --list on generated logs: one line per run of files
# and folders, newest first by the times files' times of day, the figures
# the report itself gives for each run, the JSON form; then many logs with
# a small --max-runs: only the newest are kept, the rest counted, memory
# the same whatever the number of logs.
set -euo pipefail
rep=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-latency-report")
gen=(python3 "$TARN_SRC/tests/report/gen_log.py")
. "$TARN_SRC/tests/sh/check-lib.sh"

# times LOG MS: a times file that puts the log's first row at MS.
times() {
  local at
  at=$(head -n1 "$1" | wc -c)
  printf '# times\n%s %s\n' "$at" "$2" >"$1.times"
}
mkdir -p "$t/flights/sub"
# Two runs, no times file: ordered by the file's change time, an hour ago.
"${gen[@]}" --rows 900 --drop-every 100 --seed 1 >"$t/old.csv"
"${gen[@]}" --rows 300 --spikes --seed 2 >>"$t/old.csv"
touch -d '@1796800000' "$t/old.csv"
"${gen[@]}" --rows 600 --bursts --seed 3 >"$t/flights/2026-12-10T09-00-00Z.csv"
times "$t/flights/2026-12-10T09-00-00Z.csv" 1796893200000
"${gen[@]}" --rows 400 --seed 4 >"$t/flights/2026-12-10T10-00-00Z.csv"
times "$t/flights/2026-12-10T10-00-00Z.csv" 1796896800000
"${gen[@]}" --rows 50 --seed 5 >"$t/flights/sub/ignored.csv"
echo "not a log" >"$t/flights/notes.txt"

st=0; "${rep[@]}" --list "$t/old.csv" "$t/flights" >"$t/list" 2>"$t/err" || st=$?
check "--list exits 0 (was $st)" test "$st" = 0
check "a heading and four runs, newest first, the folder's only *.csv" diff - <(awk 'NR > 1 { print $NF }' "$t/list") <<EOF2
$t/flights/2026-12-10T10-00-00Z.csv:1
$t/flights/2026-12-10T09-00-00Z.csv:1
$t/old.csv:2
$t/old.csv:1
EOF2
check "times of day where known" \
  test "$(awk 'NR > 1 { print $1 }' "$t/list" | tr '\n' ' ')" = "2026-12-10T10:00:00.000Z 2026-12-10T09:00:00.000Z - - "
"${rep[@]}" --list -j "$t/flights" "$t/old.csv" >"$t/list.json"
for log in "$t/old.csv:1" "$t/old.csv:2" "$t/flights/2026-12-10T09-00-00Z.csv:1"; do
  "${rep[@]}" -j -r "${log##*:}" "${log%:*}" >"$t/one.json"
  check "$log: the report's frames, lost share, VRX percentiles, events and duration" \
    python3 - "$t/list.json" "$t/one.json" "$log" <<'PY'
import json, sys
lst, one, name = json.load(open(sys.argv[1])), json.load(open(sys.argv[2])), sys.argv[3]
path, run = name.rsplit(":", 1)
e = [r for r in lst["runs"] if r["log"] == path and r["run"] == int(run)][0]
s = one["runs"][0]
assert e["frames"] == s["frames"] and e["missing_ids"] == s["missing_ids"], (e, s)
assert abs(e["lost_pct"] - 100.0 * s["missing_ids"] / (s["frames"] + s["missing_ids"])) < 1e-6, e
v = s["columns"]["vrx_latency_ms"] if "columns" in s else None
for q in ("p50", "p95", "p99"):
    ref = [x for x in (v, s.get("vrx_latency_ms")) if x]
    assert ref and e["vrx_%s_ms" % q] == ref[0][q], (q, e, ref)
assert sum(e["events"].values()) == s["event_count"], (e["events"], s["event_count"])
assert abs(e["duration_s"] - s["frames"] / 60.0) < 1.0 + e["missing_ids"] / 60.0, e
PY
done
check "JSON: newest first, all listed" python3 -c '
import json, sys
d = json.load(open(sys.argv[1]))
assert d["listed"] == 4 and d["not_listed"] == 0 and d["max_runs"] == 10000, d
assert d["runs"][0]["start_time"] == "2026-12-10T10:00:00.000Z" and d["runs"][3]["start_time"] is None, d
' "$t/list.json"

st=0; "${rep[@]}" --list "$t/missing.csv" "$t/old.csv" >"$t/list2" 2>"$t/err" || st=$?
check "a log that cannot be read: status 1, named, the others listed" \
  test "$st" = 1 -a "$(grep -c "cannot read $t/missing.csv" "$t/err")" = 1 -a "$(wc -l <"$t/list2")" = 3
check "--max-runs without --list is refused" bash -c '! "$@" --max-runs 3 "$0" 2>/dev/null' "$t/old.csv" "${rep[@]}"
check "--list with --run is refused" bash -c '! "$@" --list -r 1 "$0" 2>/dev/null' "$t/old.csv" "${rep[@]}"

# Many logs, at most 40 runs kept: the 40 newest, the rest counted.
mkdir "$t/many"
"${gen[@]}" --rows 30 --seed 7 >"$t/many/one.csv"
for i in $(seq 1 400); do
  f=$t/many/$(printf 'log-%03d' "$i").csv
  cp "$t/many/one.csv" "$f"
  times "$f" $((1796890000000 + (i * 7919 % 400) * 1000))
done
rm "$t/many/one.csv"
check "400 logs, --max-runs 40: the 40 newest, newest first, 360 counted" python3 - "$t/many" "${rep[@]}" <<'PY'
import datetime, json, subprocess, sys
folder, cmd = sys.argv[1], sys.argv[2:]
out = subprocess.run(cmd + ["--list", "-j", "--max-runs", "40", folder], check=True, capture_output=True).stdout
d = json.loads(out)
starts = [r["start_time"] for r in d["runs"]]
t0 = datetime.datetime.fromtimestamp(1796890000, datetime.timezone.utc)
want = [(t0 + datetime.timedelta(seconds=k)).strftime("%Y-%m-%dT%H:%M:%S.000Z") for k in range(399, 359, -1)]
assert d["listed"] == 40 and d["not_listed"] == 360, (d["listed"], d["not_listed"])
assert starts == want, (starts, want)
text = subprocess.run(cmd + ["--list", "--max-runs", "40", folder], check=True, capture_output=True, text=True).stdout
assert text.splitlines()[-1] == "360 older runs not listed (at most 40 are kept)", text.splitlines()[-1]
assert len(text.splitlines()) == 42
PY
finish "latency report --list"
