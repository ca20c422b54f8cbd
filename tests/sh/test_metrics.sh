#!/usr/bin/env bash
# Metrics end to end: tarn-vrx-top --plain --metrics serves GET /metrics
# while the simulator plays a short scenario (a stall and a burst of loss);
# a real Prometheus scrapes it every second and its HTTP API answers with
# the frames the view counted, a VRX p95 within a bucket of the view's and
# the events the view reported. Other paths get 404, other methods 405, and
# clients that hold their connections idle are dropped. Runs in a throwaway
# root.
set -euo pipefail
if [ "${TARN_SANDBOXED:-}" != 1 ]; then exec bash "$TARN_SRC/scripts/sandbox.sh" bash "$0" "$@"; fi
top=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-vrx-top")
sim=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-vrx-sim")
. "$TARN_SRC/tests/sh/check-lib.sh"
command -v prometheus >/dev/null || { echo "FAILED: prometheus is not installed (bash scripts/deps.sh test)"; exit 1; }

pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
}
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# get PATH [ACCEPT]: status, content type and body of GET http://127.0.0.1:$port PATH.
cat >"$t/fetch.py" <<'PY'
import sys, urllib.request, urllib.error
port, path, method = sys.argv[1], sys.argv[2], sys.argv[3]
req = urllib.request.Request("http://127.0.0.1:%s%s" % (port, path), method=method,
                             data=b"x=1" if method == "POST" else None)
if len(sys.argv) > 4:
    req.add_header("Accept", sys.argv[4])
try:
    r = urllib.request.urlopen(req, timeout=5)
    status, ctype, body = r.status, r.headers.get("Content-Type"), r.read().decode()
except urllib.error.HTTPError as e:
    status, ctype, body = e.code, e.headers.get("Content-Type"), e.read().decode()
print(status)
print(ctype)
sys.stdout.write(body)
PY
get() { python3 "$t/fetch.py" "$port" "$1" GET "${@:2}"; }
# prom QUERY: the value of an instant query's single sample ("none" without one).
cat >"$t/prom.py" <<'PY'
import json, sys, urllib.parse, urllib.request
url = "http://127.0.0.1:%s/api/v1/query?query=%s" % (sys.argv[1], urllib.parse.quote(sys.argv[2]))
r = json.load(urllib.request.urlopen(url, timeout=5))
assert r["status"] == "success", r
res = r["data"]["result"]
print(res[0]["value"][1] if len(res) == 1 else "none" if not res else "many")
PY
prom() { python3 "$t/prom.py" "$pport" "$1"; }

check "--metrics: a host name is refused" bash -c '! "$@" --metrics localhost:80 2>"'"$t"'/err" && grep -q "no IPv4 address" "'"$t"'/err"' _ "${top[@]}"
check "--metrics: port 0 is refused" bash -c '! "$@" --metrics 0 2>/dev/null' _ "${top[@]}"

port=$(free_port)
"${top[@]}" --plain --window all --metrics "127.0.0.1:$port" --events "$t/events.jsonl" --threshold baseline_s=2 \
  >"$t/plain" 2>"$t/top.err" &
toppid=$!
pids+=("$toppid")
up() { get /metrics >/dev/null 2>&1; }
wait_until "the view's /metrics" 10 up
check "a port in use is refused" bash -c '! "$@" --plain --metrics "'"$port"'" 2>"'"$t"'/busy" && grep -q "cannot serve metrics on 127.0.0.1:'"$port"'" "'"$t"'/busy"' _ "${top[@]}"

get /metrics >"$t/first"
check "GET /metrics: 200, the text format" bash -c '[ "$(sed -n 1p "$1")" = 200 ] && [ "$(sed -n 2p "$1")" = "text/plain; version=0.0.4; charset=utf-8" ]' _ "$t/first"
check "before any record: waiting, no frames" \
  bash -c 'grep -qx "tarn_vrx_frames_total{pipe=\"/run/bpa/vrx_latency/\"} 0" "$1" && grep -qx "tarn_vrx_connected{pipe=\"/run/bpa/vrx_latency/\"} 0" "$1"' _ "$t/first"
status() { python3 "$t/fetch.py" "$port" "$2" "$1" | sed -n 1p; }
others_404() { [ "$(status GET /other)" = 404 ] && [ "$(status GET /metrics/x)" = 404 ] && [ "$(status GET /)" = 404 ] &&
  [ "$(status POST /other)" = 404 ]; }
check "another path: 404" others_404
check "POST /metrics: 405" bash -c '[ "$(python3 "$1" "$2" /metrics POST | sed -n 1p)" = 405 ]' _ "$t/fetch.py" "$port"
get /metrics 'application/openmetrics-text;version=1.0.0,text/plain;version=0.0.4;q=0.5' >"$t/om"
check "OpenMetrics when asked: its type, families without _total, # EOF last" \
  bash -c '[ "$(sed -n 2p "$1")" = "application/openmetrics-text; version=1.0.0; charset=utf-8" ] && grep -qx "# TYPE tarn_vrx_frames counter" "$1" && [ "$(tail -1 "$1")" = "# EOF" ]' _ "$t/om"

# Clients that open connections and say nothing, or send headers without
# end: the server drops them after its time-out and answers again.
check "idle and oversized clients are dropped; scrapes go on" python3 - "$port" "$slow" <<'PY'
import socket, sys, time, urllib.request
port, slow = int(sys.argv[1]), int(sys.argv[2])
idle = []
for i in range(12):
    s = socket.create_connection(("127.0.0.1", port), timeout=10 * slow)
    s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n")
    idle.append(s)
big = socket.create_connection(("127.0.0.1", port), timeout=10 * slow)
try:
    big.sendall(b"GET /metrics HTTP/1.1\r\nX: " + b"a" * 200000)
except OSError:
    pass
# Each idle connection is closed by the server: recv sees the end (or a
# reset), never the socket's own time-out.
for s in idle + [big]:
    try:
        while s.recv(65536):
            pass
    except ConnectionResetError:
        pass
deadline = time.time() + 10 * slow
while True:
    try:
        body = urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=5).read()
        break
    except OSError:
        assert time.time() < deadline, "no answer after the idle clients"
        time.sleep(0.2)
assert b"tarn_vrx_frames_total" in body
PY

pport=$(free_port)
mkdir -p "$t/tsdb"
cat >"$t/prometheus.yml" <<YML
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: vrx
    static_configs:
      - targets: ['127.0.0.1:$port']
YML
prometheus --config.file="$t/prometheus.yml" --storage.tsdb.path="$t/tsdb" --web.listen-address="127.0.0.1:$pport" \
  --web.console.templates="$t" --web.console.libraries="$t" >"$t/prometheus.log" 2>&1 &
pids+=("$!")
wait_until "Prometheus ready" 30 python3 -c 'import sys, urllib.request; urllib.request.urlopen("http://127.0.0.1:%s/-/ready" % sys.argv[1], timeout=2)' "$pport" ||
  { echo "FAILED: Prometheus did not start: $(tail -5 "$t/prometheus.log")"; exit 1; }

cat >"$t/short.scn" <<'SCN'
0s      -       rate        120
4s      600ms   stall
7s      2s      burst       20 1s
11s     -       end
SCN
"${sim[@]}" --scenario "$t/short.scn" --truth "$t/truth.jsonl" --wait-clients 1 >"$t/sim.out" 2>&1 || true
sleep $(( 2 * slow ))
get /metrics >"$t/scrape"
view() { awk -v k="$1" '$1 == k { print $2 }' "$t/scrape"; }
frames=$(view 'tarn_vrx_frames_total{pipe="/run/bpa/vrx_latency/"}')
# What the simulator published: the ids it numbered less those it lost.
sent=$(python3 - "$t/truth.jsonl" <<'PY'
import json, sys
steps = [json.loads(l) for l in open(sys.argv[1])]
last = max(s["last_id"] for s in steps if s.get("last_id") is not None)
print(last - sum(s.get("lost", 0) for s in steps))
PY
)
check "the view counted the frames the simulator published ($frames of $sent)" [ "$frames" = "$sent" ]
check "the stall is in the stall histogram" bash -c '[ "$(awk '"'"'$1 == "tarn_vrx_stall_seconds_count{pipe=\"/run/bpa/vrx_latency/\"}" { print $2 }'"'"' "$1")" = 1 ]' _ "$t/scrape"
# Prometheus has scraped the last figures once its frames equal the view's
# and its events the view's.
events=$(awk '$1 ~ /^tarn_vrx_events_total/ { n += $2 } END { print n }' "$t/scrape")
wait_until "Prometheus to scrape the last figures" 20 \
  bash -c '[ "$(python3 "$1" "$2" tarn_vrx_frames_total)" = "$3" ] && [ "$(python3 "$1" "$2" "sum(tarn_vrx_events_total)")" = "$4" ]' \
  _ "$t/prom.py" "$pport" "$frames" "$events" || true
# Asked while the view still runs: once its target is down, Prometheus
# marks the series stale.
pf=$(prom tarn_vrx_frames_total)
q95=$(prom 'histogram_quantile(0.95, sum by (le) (tarn_vrx_latency_seconds_bucket{stage="vrx"}))')
stalls=$(prom tarn_vrx_stall_seconds_count)
kinds=$(sed -nE 's/^tarn_vrx_events_total\{.*kind="([a-z_]+)".*/\1/p' "$t/scrape" | sort -u)
for kind in $kinds; do
  echo "$kind $(prom "sum(tarn_vrx_events_total{kind=\"$kind\"})")"
done >"$t/prom-events"
kill -INT "$toppid"
wait "$toppid" || true
echo "Prometheus answered: tarn_vrx_frames_total $pf; VRX p95 $q95 s; stalls $stalls; events: $(tr '\n' ' ' <"$t/prom-events")"

check "Prometheus: tarn_vrx_frames_total = $pf, the frames sent ($sent)" [ "$pf" = "$sent" ]
v95=$(grep -E '^[0-9:]{8} frames' "$t/plain" | tail -1 | sed -E 's/.* p95 ([0-9.]+) .*/\1/')
echo "the view: $frames frames, the simulator $sent; VRX p95 $v95 ms"
check "Prometheus: VRX p95 $q95 s within one bucket of the view's $v95 ms" python3 - "$q95" "$v95" "$TARN_SRC/tools/top/top_model.h" <<'PY'
import re, sys
q, v = float(sys.argv[1]), float(sys.argv[2]) / 1000
text = open(sys.argv[3]).read()
bounds = [int(x) / 1e6 for x in re.search(r"LATENCY_BOUND_US\[LATENCY_BOUNDS\] = \{([^}]*)\}", text).group(1).replace(" ", "").replace("\n", "").split(",")]
def bucket(x):
    return next((i for i, b in enumerate(bounds) if x <= b + 1e-12), len(bounds))
assert abs(bucket(q) - bucket(v)) <= 1, (q, v, bucket(q), bucket(v))
PY
check "Prometheus: the events by kind are the view's events file" python3 - "$t/prom-events" "$t/events.jsonl" <<'PY'
import collections, json, sys
mine = collections.Counter(json.loads(l)["kind"] for l in open(sys.argv[2]))
asked = set()
for line in open(sys.argv[1]):
    kind, got = line.split()
    asked.add(kind)
    assert int(float(got)) == mine.get(kind, 0), (kind, got, mine)
assert {"loss", "stall", "restart", "bad_records"} <= asked, asked
# The scenario: one stall, the burst as loss; the end of the run closes the
# pipe (a restart); nothing else.
assert mine["stall"] == 1 and mine["loss"] >= 1 and set(mine) <= {"stall", "loss", "restart"}, mine
PY
check "Prometheus: the stall's length observed once" [ "$stalls" = 1 ]
finish "metrics"
