# Sourced by the docs/make-*-example.sh scripts, which take
#   [BUILD-BIN-FOLDER [OUT-FOLDER]]
# BUILD-BIN-FOLDER defaults to build/bin. With OUT-FOLDER the text, plot and
# PNG go there and docs/ is left alone (the tests compare them with docs/).

# example_begin "$@": sets src, bin and out, and works in a temporary
# folder removed at exit.
example_begin() {
  src=$(cd "$(dirname "${BASH_SOURCE[1]}")/.." && pwd)
  bin=$(cd "${1:-$src/build/bin}" && pwd)
  out=$(cd "${2:-$src/docs}" && pwd)
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  cd "$tmp"
}

# example_end NAME MARKER "$@": renders NAME.svg into $out/NAME.png with
# librsvg. With OUT-FOLDER the SVG is copied there too; otherwise the text
# $out/NAME.txt replaces the block of docs/report.md between the lines
# "<!-- MARKER -->" + "```" and "```" + "<!-- end of MARKER -->".
example_end() {
  local name=$1 marker=$2
  shift 2
  rsvg-convert "$name.svg" -o "$out/$name.png"
  if [ $# -ge 2 ]; then
    cp "$name.svg" "$out/$name.svg"
    return 0
  fi
  python3 - "$src/docs/report.md" "$out/$name.txt" "$marker" <<'PY'
import sys
md, example, marker = sys.argv[1], open(sys.argv[2]).read(), sys.argv[3]
text = open(md).read()
opening = "<!-- %s -->\n```\n" % marker
start = text.index(opening) + len(opening)
end = text.index("```\n<!-- end of %s -->" % marker)
open(md, "w").write(text[:start] + example + text[end:])
PY
  echo "wrote docs/$name.txt, docs/$name.png and the example in docs/report.md"
}
