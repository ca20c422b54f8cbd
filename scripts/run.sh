#!/usr/bin/env bash
# Builds if needed, then runs the simulated receiver and the inspector on a
# private /run/bpa (a throwaway root, see sandbox.sh). Ctrl-C ends both.
# Arguments go to the inspector (for example -n or -s); --top first runs
# tarn-vrx-top instead (bash scripts/run.sh --top --warn-ms 12).
set -euo pipefail
cd "$(dirname "$0")/.."
prog=tarn-inspect-vrx
[ "${1:-}" = --top ] && { prog=tarn-vrx-top; shift; }
scripts/deps.sh
[ -x build/bin/$prog ] && [ -x build/bin/tarn-vrx-sim ] || scripts/build.sh
export TARN_BIN=$PWD/build/bin TARN_LIB=$PWD/build/lib TARN_RUN_PROG=$prog
exec scripts/sandbox.sh bash -c '
  mkdir -p /etc/hexwing /data
  "$TARN_BIN/tarn-vrx-sim" --rate 60 & sim=$!
  trap "kill $sim 2>/dev/null" EXIT
  for _ in $(seq 50); do [ -S /run/bpa/vrx_latency/data ] && break; sleep 0.1; done
  "$TARN_BIN/$TARN_RUN_PROG" "$@"
' inspect "$@"
