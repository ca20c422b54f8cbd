#!/usr/bin/env bash
# Makes the example of docs/report.md from a generated log: the text report
# (docs/report-example.txt, also copied into docs/report.md) and the plot
# rendered by librsvg (docs/report-example.png).
#   docs/make-report-example.sh [BUILD-BIN-FOLDER [OUT-FOLDER]]
# BUILD-BIN-FOLDER defaults to build/bin. With OUT-FOLDER the text, plot and
# PNG go there and docs/ is left alone (the tests compare them with docs/).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${1:-$src/build/bin}" && pwd)
out=$(cd "${2:-$src/docs}" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
python3 "$src/tests/report/gen_log.py" --rows 3000 --spikes --drop-every 450 --seed 42 >tarn-inspect-vrx.csv
echo "1501,12.0,8.500,9.000,9.000,2.000,1.000,4.000" >>tarn-inspect-vrx.csv  # a line cut short
"$bin/tarn-latency-report" --svg example.svg tarn-inspect-vrx.csv >"$out/report-example.txt"
rsvg-convert example.svg -o "$out/report-example.png"
if [ $# -ge 2 ]; then
  cp example.svg "$out/report-example.svg"
  exit 0
fi
python3 - "$src/docs/report.md" "$src/docs/report-example.txt" <<'PY'
import sys
md, example = sys.argv[1], open(sys.argv[2]).read()
text = open(md).read()
start = text.index("<!-- example report -->\n```\n") + len("<!-- example report -->\n```\n")
end = text.index("```\n<!-- end of example report -->")
open(md, "w").write(text[:start] + example + text[end:])
PY
echo "wrote docs/report-example.txt, docs/report-example.png and the example in docs/report.md"
