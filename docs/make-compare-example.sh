#!/usr/bin/env bash
# Makes the comparison example of docs/report.md: two ten-minute runs of the
# same link with bursts of slow frames (tests/report/gen_log.py --bursts,
# the simulator's latency model), the second with a minute of frames
# 6 ms slower in its middle. Writes docs/compare-example.txt (also copied
# into docs/report.md) and the plot rendered by librsvg,
# docs/compare-example.png.
#   docs/make-compare-example.sh [BUILD-BIN-FOLDER [OUT-FOLDER]]
# (arguments as in docs/example-lib.sh)
set -euo pipefail
. "$(dirname "$0")/example-lib.sh"
example_begin "$@"
python3 "$src/tests/report/gen_log.py" --rows 36000 --bursts --seed 1 >before.csv
python3 "$src/tests/report/gen_log.py" --rows 36000 --bursts --seed 2 --stretch 18000:3600:6 >after.csv
"$bin/tarn-latency-report" --compare --svg compare-example.svg before.csv after.csv >"$out/compare-example.txt"
example_end compare-example "comparison example" "$@"
