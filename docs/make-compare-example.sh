#!/usr/bin/env bash
# Makes the comparison example of docs/report.md: two ten-minute runs of the
# same link with bursts of slow frames (tests/report/gen_log.py --bursts,
# the simulator's latency model), the second with half a minute of frames
# 6 ms slower in its middle. Writes docs/compare-example.txt (also copied
# into docs/report.md) and the plot rendered by librsvg,
# docs/compare-example.png.
#   docs/make-compare-example.sh [BUILD-BIN-FOLDER [OUT-FOLDER]]
# BUILD-BIN-FOLDER defaults to build/bin. With OUT-FOLDER the text, plot and
# PNG go there and docs/ is left alone (the tests compare them with docs/).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${1:-$src/build/bin}" && pwd)
out=$(cd "${2:-$src/docs}" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
python3 "$src/tests/report/gen_log.py" --rows 36000 --bursts --seed 1 >before.csv
python3 "$src/tests/report/gen_log.py" --rows 36000 --bursts --seed 2 --stretch 18000:1800:6 >after.csv
"$bin/tarn-latency-report" --compare --svg compare.svg before.csv after.csv >"$out/compare-example.txt"
rsvg-convert compare.svg -o "$out/compare-example.png"
if [ $# -ge 2 ]; then
  cp compare.svg "$out/compare-example.svg"
  exit 0
fi
python3 - "$src/docs/report.md" "$src/docs/compare-example.txt" <<'PY'
import sys
md, example = sys.argv[1], open(sys.argv[2]).read()
text = open(md).read()
start = text.index("<!-- comparison example -->\n```\n") + len("<!-- comparison example -->\n```\n")
end = text.index("```\n<!-- end of comparison example -->")
open(md, "w").write(text[:start] + example + text[end:])
PY
echo "wrote docs/compare-example.txt, docs/compare-example.png and the example in docs/report.md"
