#!/usr/bin/env bash
# Runs the fault tests and the fuzz targets for real and writes their figures
# to docs/reliability.md (a summary first, then the details).
#
#   scripts/reliability-report.sh [FUZZ_SECONDS]     (default 30)
#
# Needs root (the fault tests run in scripts/sandbox.sh) and clang for the
# fuzz targets; installs what is missing through scripts/deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-30}
scripts/deps.sh
TARN_JOBS=${TARN_JOBS:-2} scripts/build.sh >/dev/null
export TARN_BIN=$PWD/build/bin TARN_LIB=$PWD/build/lib TARN_SRC=$PWD

tmp=$(mktemp -d /tmp/tarn-report.XXXXXX)
trap 'rm -rf "$tmp"' EXIT

echo "== fault tests"
status=0
bash scripts/sandbox.sh python3 tests/faults/run_faults.py | tee "$tmp/faults.log" || status=1
echo "== fuzz targets, $secs s each"
TARN_FUZZ_SUMMARY=$tmp/fuzz.txt bash scripts/fuzz.sh "$secs" || status=1

python3 - "$tmp/faults.log" "$tmp/fuzz.txt" "$secs" "$status" <<'PY'
import datetime, re, subprocess, sys

faults_log, fuzz_txt, secs, status = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
figures, results = {}, {}
for line in open(faults_log):
    m = re.match(r"(\w+)\s+(ok|FAILED)", line)
    if m:
        results[m.group(1)] = m.group(2)
    if line.startswith("FIGURES "):
        _, case, *kv = line.split()
        figures[case] = dict(x.split("=", 1) for x in kv)
fuzz = [l.split() for l in open(fuzz_txt) if l.strip()]

def fig(case, key, default="?"):
    return figures.get(case, {}).get(key, default)

lost = 0
for case, key in (("publisher_killed", "lost"), ("subscriber_stopped", "steady_lost"),
                  ("sigterm_burst", None), ("random_buffers", None)):
    if key and key in figures.get(case, {}):
        lost += int(figures[case][key])
survived = sum(1 for r in results.values() if r == "ok")
commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True).stdout.strip()
when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
total_execs = sum(int(f[1]) for f in fuzz)
crashes = sum(int(f[2]) for f in fuzz)

summary = [
    "- fuzzing: %d executions over %d targets, %d s each, %d crashes" % (total_execs, len(fuzz), secs, crashes),
    "- fault tests survived: %d of %d" % (survived, len(results)),
    "- records lost: %d" % lost,
]

doc = ["# Reliability figures", "",
       "Written by `scripts/reliability-report.sh %d` from a real run: commit %s, %s. "
       "Do not edit by hand; run the script again." % (secs, commit, when), ""] + summary + ["",
       "## Fuzzing", "",
       "libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer (clang), %d s per target "
       "from the seed corpus in `fuzz/corpus/`." % secs, "",
       "| target | executions | crashes |", "|---|---:|---:|"]
doc += ["| `%s` | %s | %s |" % tuple(f) for f in fuzz]
doc += ["| all | %d | %d |" % (total_execs, crashes), "",
        "## Fault tests", "",
        "`tests/faults/run_faults.py`, each case also a ctest test (`sh_test_faults_<case>`).", "",
        "| fault | result | figures |", "|---|---|---|"]
what = {
    "publisher_killed": "publisher SIGKILLed mid-burst (5,000 records/s), a new one starts",
    "subscriber_stopped": "one subscriber SIGSTOPped 2 s during 10,000 records/s",
    "sigterm_burst": "SIGTERM to the inspector with -s during 10,000 records/s",
    "csv_faults": "CSV folder missing, then read-only, then full (tmpfs), each restored",
    "config_write_killed": "settings writer SIGKILLed at random moments",
    "random_buffers": "1,000 random buffers (lengths, magic numbers, repeats)",
}
for case in what:
    figs = ", ".join("%s %s" % (k.replace("_", " "), v) for k, v in figures.get(case, {}).items())
    doc.append("| %s | %s | %s |" % (what[case], results.get(case, "not run"), figs))
doc += ["", "## Records lost", "",
        "%d. Counted over every record a subscriber that kept running should have shown: "
        "after the publisher's restart (%s of %s shown) and by the running subscriber while the "
        "other was stopped (%s of %s shown). The stopped subscriber itself lost %s whole records "
        "while its socket buffer was full, by design: the publisher never waits for a subscriber "
        "(longest write %s us)."
        % (lost, fig("publisher_killed", "shown_after_reconnect"), fig("publisher_killed", "records_after_reconnect"),
           fig("subscriber_stopped", "steady_shown"), fig("subscriber_stopped", "records"),
           fig("subscriber_stopped", "stopped_dropped_whole"), fig("subscriber_stopped", "max_write_us")), ""]
if status:
    doc += ["**This run had failures**: see the output of the script.", ""]
open("docs/reliability.md", "w").write("\n".join(doc))

print("\n".join(summary))
PY
exit "$status"
