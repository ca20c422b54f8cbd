#!/usr/bin/env bash
# The report's SVG plot stays well-formed XML whatever bytes the log's file
# name holds: control characters, bytes that are not UTF-8, markup.
set -euo pipefail

rep=(${TARN_EMULATOR:-} "$TARN_BIN/tarn-latency-report")
gen=(python3 "$TARN_SRC/tests/report/gen_log.py")
. "$TARN_SRC/tests/sh/check-lib.sh"

"${gen[@]}" --rows 50 --seed 3 >"$t/base.csv"
# Each name: the bytes, then the text the plot's title must show for them.
names=(
  $'ctl\x01x.csv'
  $'bad\xffutf8.csv'
  $'half\xe2\x96.csv'
  $'surrogate\xed\xa0\x80.csv'
  $'tab\tand&<amp>"q".csv'
  $'ok\xc3\xa9\xe2\x96\xb2.csv'
)
for name in "${names[@]}"; do
  cp "$t/base.csv" "$t/$name"
  rm -f "$t/plot.svg"
  "${rep[@]}" --svg "$t/plot.svg" "$t/$name" >/dev/null
  shown=$(printf '%q' "$name")
  check "$shown: plot written" test -s "$t/plot.svg"
  check "$shown: plot is well-formed XML with the name in its title" python3 - "$t/plot.svg" "$t/$name" <<'PY'
import codecs, sys, xml.etree.ElementTree as ET
svg, path = sys.argv[1], sys.argv[2].encode("utf-8", "surrogateescape")
root = ET.parse(svg).getroot()
texts = ["".join(e.itertext()) for e in root.iter() if e.tag.endswith("text")]
title = next((t for t in texts if ", run " in t), None)
assert title is not None, "no title"
# Bytes XML cannot carry are replaced, one U+FFFD a byte; everything else
# is kept.
codecs.register_error("each", lambda e: ("\ufffd" * (e.end - e.start), e.end))
want = []
for ch in path.decode("utf-8", "each"):
    want.append(" " if ord(ch) < 0x20 else ch)
want = "".join(want)
assert title.startswith(want + ", run "), (title, want)
PY
done

finish "report SVG names"
