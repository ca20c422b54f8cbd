#!/usr/bin/env bash
# Runs the simulated receiver and the inspector in a throwaway root (see
# sandbox.sh) with a private /run/bpa. Ctrl-C ends both. Arguments go to the
# inspector (for example -n or -s); --top first runs tarn-vrx-top instead
# (bash scripts/run.sh --top --warn-ms 12). --scenario NAME first (before or
# after --top) makes the simulated receiver follow a scenario: one of
# docs/scenarios/NAME.scn (healthy, degrading-link, restart, interference)
# or a scenario file; its ground truth goes to the data folder (below).
#
# In order: checks that the throwaway root can be made, installs what
# building and running need (the "build" list of packages.txt), brings the
# build in build/ up to date, then runs. The inspector's /data is the host
# folder $TARN_RUN_DATA (default run-data/ in the project), so the CSV log
# of -s outlives the run.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
prog=tarn-inspect-vrx
scenario=
while [ $# -gt 0 ]; do
  case "$1" in
    --top) prog=tarn-vrx-top; shift ;;
    --scenario)
      [ $# -ge 2 ] || { echo "run.sh: --scenario needs a name or a file" >&2; exit 2; }
      name=$2; shift 2
      scenario=$name
      [ -f "$scenario" ] || scenario=$top/docs/scenarios/$name.scn
      if [ ! -f "$scenario" ]; then
        echo "run.sh: no scenario $name (a file, or one of: $(cd docs/scenarios && ls *.scn | sed 's/\.scn$//' | tr '\n' ' '))" >&2
        exit 2
      fi
      scenario=$(realpath "$scenario") ;;
    *) break ;;
  esac
done

# 1. The throwaway root, before anything is installed or built.
if ! why=$(scripts/sandbox.sh true 2>&1); then
  echo "run.sh: cannot make the throwaway root the programs run in: ${why%%$'\n'*}" >&2
  if [[ $why == *"propagation"* ]]; then
    echo "run.sh: / is not a mount point here (a chroot?): bind the root onto itself before entering it (mount --bind DIR DIR), or run on the host" >&2
  elif [ "$(id -u)" != 0 ]; then
    echo "run.sh: run it as root (sudo bash scripts/run.sh), or allow user namespaces (sysctl kernel.unprivileged_userns_clone=1)" >&2
  else
    echo "run.sh: it needs a private mount namespace, tmpfs and an overlay of / (a container may forbid them)" >&2
  fi
  exit 1
fi

# 2. Packages, 3. an up-to-date build of the two programs. A build folder
# configured earlier (tests and all) is kept as it is; a new one builds
# neither tests nor benchmarks.
scripts/deps.sh build
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -G Ninja -DTARN_BUILD_TESTS=OFF -DTARN_BUILD_BENCH=OFF >/dev/null
fi
cmake --build build -j"$(nproc)" --target "$prog" tarn-vrx-sim tarn-latency-report

# 4. The folder the inspector sees as /data: ours, not a link, not
# writable by others.
data=${TARN_RUN_DATA:-$top/run-data}
[ -L "$data" ] && { echo "run.sh: $data is a symbolic link; not used" >&2; exit 1; }
mkdir -p -m 755 "$data"
data=$(realpath "$data")
if [ "$(stat -c %u "$data")" != "$(id -u)" ] || [ -n "$(find "$data" -maxdepth 0 -perm /022)" ]; then
  echo "run.sh: $data belongs to someone else or others may write to it; not used" >&2
  exit 1
fi
csv=$data/tarn-inspect-vrx.csv
before=0
[ -f "$csv" ] && before=$(wc -l <"$csv")

echo "run.sh: $prog and the simulated receiver run in a throwaway root: the settings file"
echo "run.sh: /etc/hexwing/tarn-vrx.conf, the pipe under /run/bpa and /data are its own (/data is"
echo "run.sh: $data); nothing of the host's /etc, /run or /data changes. $([ "$prog" = tarn-vrx-top ] && echo "q or Ctrl-C ends it" || echo "Ctrl-C ends it")."
truth=
binds=(-b "$data")
if [ -n "$scenario" ]; then
  truth=$(basename "$scenario" .scn).truth.jsonl
  binds+=(-b "$(dirname "$scenario")")
  echo "run.sh: scenario $scenario; what it did, step by step: $data/$truth"
fi
export TARN_BIN=$PWD/build/bin TARN_LIB=$PWD/build/lib TARN_RUN_DATA=$data TARN_RUN_PROG=$prog
export TARN_RUN_SCENARIO=$scenario TARN_RUN_TRUTH=$truth
# Ctrl-C reaches every process of the terminal's group: the inspector ends
# cleanly on it, and this script goes on to say where the log is.
trap : INT
set +e
scripts/sandbox.sh "${binds[@]}" bash -c '
  mkdir -p /etc/hexwing /data
  mount --bind "$TARN_RUN_DATA" /data
  if [ -n "$TARN_RUN_SCENARIO" ]; then
    # The scenario starts when the program has subscribed, and after a
    # restart goes on when it is back.
    "$TARN_BIN/tarn-vrx-sim" --scenario "$TARN_RUN_SCENARIO" --truth "/data/$TARN_RUN_TRUTH" --wait-clients 1 & sim=$!
  else
    "$TARN_BIN/tarn-vrx-sim" --rate 60 & sim=$!
  fi
  trap "kill $sim 2>/dev/null" EXIT
  for _ in $(seq 50); do [ -S /run/bpa/vrx_latency/data ] && break; sleep 0.1; done
  "$TARN_BIN/$TARN_RUN_PROG" "$@"
' inspect "$@"
status=$?
set -e
trap - INT

if [ -f "$csv" ] && [ "$(wc -l <"$csv")" != "$before" ]; then
  echo "run.sh: CSV log: $csv ($(( $(wc -l <"$csv") - before )) new lines; each run appends)"
  echo "run.sh: summary: build/bin/tarn-latency-report $csv   (--svg plot.svg for a plot)"
fi
exit "$status"
