#!/usr/bin/env bash
# --version of the three programs that have it, and their one-line answer
# to an option they do not know, that lacks its value or gets a bad one.
set -euo pipefail
. "$TARN_SRC/tests/sh/check-lib.sh"
run() {  # PROGRAM ARGS... -> $t/out, $t/err, $st
  local prog=$1; shift
  set +e; ${TARN_EMULATOR:-} "$TARN_BIN/$prog" "$@" >"$t/out" 2>"$t/err" </dev/null; st=$?; set -e
}

[ -n "${TARN_VERSION:-}" ] || { echo "FAILED: TARN_VERSION (the project version) not in the environment"; exit 1; }
for prog in tarn-vrx-sim tarn-latency-report tarn-vrx-top; do
  run "$prog" --version
  check "$prog --version exits 0 (was $st)" test "$st" = 0
  check "$prog --version prints its name and the build's version" \
    test "$(cat "$t/out")" = "$prog $TARN_VERSION"
  check "$prog --version prints one line and nothing on stderr" \
    test "$(wc -l <"$t/out")" = 1 -a ! -s "$t/err"
  # The built man page carries the same version.
  check "man page of $prog names version $TARN_VERSION" \
    grep -qE "^\\.TH .*\"tarn-inspect-vrx $TARN_VERSION\"" "$(dirname "$TARN_BIN")/man/$prog.1"
done

# --version and --help written where nothing fits (/dev/full: every write
# fails): a failed write is no success, for the three programs.
if [ -w /dev/full ]; then
  for c in "tarn-vrx-sim --version" "tarn-latency-report --version" "tarn-vrx-top --version" \
    "tarn-vrx-sim --help" "tarn-vrx-top --help" "tarn-vrx-top -h" \
    "tarn-latency-report --help" "tarn-latency-report -h"; do
    read -r prog opt <<<"$c"
    set +e; ${TARN_EMULATOR:-} "$TARN_BIN/$prog" "$opt" >/dev/full 2>"$t/err" </dev/null; st=$?; set -e
    check "$prog $opt to a full device fails with status 1 (was $st)" test "$st" = 1
    check "$prog $opt to a full device says why, one line" \
      test "$(cat "$t/err")" = "$prog: cannot write to standard output: No space left on device"
  done
fi

# The inspector has no --version: like any option it does not list, the
# parser's complaint, the help and status 255 (golden files beside its other
# golden output; the complaint names the program as it was started).
golden=$TARN_SRC/tests/golden/inspector
for arg in --version --v -V --version=1; do
  run tarn-inspect-vrx "$arg"
  check "inspector $arg: status 255 (was $st)" test "$st" = 255
  check "inspector $arg prints the help text" cmp -s "$t/out" "$golden/option_unknown.stdout"
  sed "s|^$TARN_BIN/||" "$t/err" >"$t/err.named"
  case $arg in
    --version=1) want="tarn-inspect-vrx: unrecognized option '--version=1'" ;;
    -V) want="tarn-inspect-vrx: invalid option -- 'V'" ;;
    *) want="tarn-inspect-vrx: unrecognized option '$arg'" ;;
  esac
  check "inspector $arg: the parser's complaint, one line" test "$(cat "$t/err.named")" = "$want"
done
check "the golden complaint of --version is the parser's" \
  test "$(cat "$golden/option_unknown.stderr")" = "tarn-inspect-vrx: unrecognized option '--version'"

# "ARGS|option named in the message|what it says"
cases=(
  "-x|-x|is unknown"
  "--bogus|--bogus|is unknown"
  "--bogus=3|--bogus|is unknown"
  "--help=1|--help|takes no value"
  "--version=1|--version|takes no value"
)
for prog in tarn-vrx-sim tarn-latency-report tarn-vrx-top; do
  case $prog in
    tarn-vrx-sim) valued=(-p --rate) ;;
    tarn-latency-report) valued=(-r --svg) ;;
    tarn-vrx-top) valued=(-p --window) ;;
  esac
  all=("${cases[@]}" "${valued[0]}|${valued[0]}|needs a value" "${valued[1]}|${valued[1]}|needs a value")
  # An unknown letter inside a group of short options is named alone.
  [ "$prog" = tarn-latency-report ] && all+=("-jx|-x|is unknown")
  for c in "${all[@]}"; do
    IFS='|' read -r arg name what <<<"$c"
    run "$prog" "$arg"
    want="$prog: option '$name' $what; try '$prog --help'"
    check "$prog $arg exits 2 (was $st)" test "$st" = 2
    check "$prog $arg: one line on stderr naming $name" test "$(cat "$t/err")" = "$want"
    check "$prog $arg: nothing on stdout" test ! -s "$t/out"
  done
  run "$prog" --help
  check "$prog --help lists --version" grep -qE '^ +--version +print the version$' "$t/out"
done

# A value an option cannot take, in the same dialect: "ARGS|option|what".
bad_values=(
  "tarn-vrx-sim --rate x|--rate|value 'x'"
  "tarn-vrx-sim -c -1|--count|value '-1'"
  "tarn-latency-report --run 0|--run|run number '0'"
  "tarn-vrx-top -w 5|--window|window '5'"
  "tarn-vrx-top --crit-ms=0|--crit-ms|milliseconds '0'"
)
for c in "${bad_values[@]}"; do
  IFS='|' read -r cmd name what <<<"$c"
  prog=${cmd%% *}
  run $cmd
  check "$cmd: one line naming $name and the value" \
    grep -qxE "$prog: invalid $what for option '$name'( \(.*\))?; try '$prog --help'" "$t/err"
  check "$cmd exits non-zero (was $st)" test "$st" != 0
done

finish "program options"
