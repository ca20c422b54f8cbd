#!/usr/bin/env bash
# Makes the example of docs/report.md from a generated log: the text report
# (docs/report-example.txt, also copied into docs/report.md) and the plot
# rendered by librsvg (docs/report-example.png).
#   docs/make-report-example.sh [BUILD-BIN-FOLDER [OUT-FOLDER]]
# (arguments as in docs/example-lib.sh)
set -euo pipefail
. "$(dirname "$0")/example-lib.sh"
example_begin "$@"
python3 "$src/tests/report/gen_log.py" --rows 3000 --spikes --drop-every 450 --seed 42 >tarn-inspect-vrx.csv
echo "1501,12.0,8.500,9.000,9.000,2.000,1.000,4.000" >>tarn-inspect-vrx.csv  # a line cut short
"$bin/tarn-latency-report" --svg report-example.svg tarn-inspect-vrx.csv >"$out/report-example.txt"
example_end report-example "example report" "$@"
