#!/usr/bin/env bash
# The bash completions offer each program's options and option values.
set -euo pipefail
fails=0
complete_line() { # completion file, function, words... -> candidates, one a line
  local file=$1 fn=$2; shift 2
  bash -c '
    source "$1"; fn=$2; shift 2
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMPREPLY=()
    "$fn"; printf "%s\n" "${COMPREPLY[@]}"' _ "$file" "$fn" "$@" | sort
}
expect() { # description, expected (space separated), actual (lines)
  local want got
  want=$(tr ' ' '\n' <<<"$2" | sort)
  got=$3
  [ "$want" = "$got" ] || { echo "FAIL: $1: got [$(echo $got)], expected [$2]" >&2; fails=$((fails + 1)); }
}
insp=$TARN_SRC/completions/tarn-inspect-vrx
sim=$TARN_SRC/completions/tarn-vrx-sim

expect "inspector: all options, and no --version" "-h --help -n --newline -s --save -p --pipe" \
  "$(complete_line "$insp" _tarn_inspect_vrx tarn-inspect-vrx '')"
expect "inspector: long options by prefix" "--newline" \
  "$(complete_line "$insp" _tarn_inspect_vrx tarn-inspect-vrx --n)"
expect "inspector: nothing after --help" "" \
  "$(complete_line "$insp" _tarn_inspect_vrx tarn-inspect-vrx --help '')"
for prog in tarn-vrx-sim tarn-latency-report; do
  expect "$prog: nothing after --version" "" \
    "$(complete_line "$TARN_SRC/completions/$prog" "_$(tr - _ <<<"$prog")" "$prog" --version '')"
done
expect "inspector: registered for the program" "complete -F _tarn_inspect_vrx tarn-inspect-vrx" \
  "$(bash -c 'source "$1"; complete -p tarn-inspect-vrx' _ "$insp" | tr ' ' '\n' | sort)"

expect "simulator: codec values" "h264 h265" \
  "$(complete_line "$sim" _tarn_vrx_sim tarn-vrx-sim --codec '')"
expect "simulator: codec values by prefix, short option" "h265" \
  "$(complete_line "$sim" _tarn_vrx_sim tarn-vrx-sim -e h26 | grep 5)"
expect "simulator: no option offered where a number is due" "" \
  "$(complete_line "$sim" _tarn_vrx_sim tarn-vrx-sim --rate '')"
expect "simulator: --raw completes file names" "$TARN_SRC/completions/tarn-vrx-sim" \
  "$(complete_line "$sim" _tarn_vrx_sim tarn-vrx-sim --raw "$TARN_SRC/completions/tarn-vrx-s")"
expect "simulator: options by prefix" "--chunk --codec --count" \
  "$(complete_line "$sim" _tarn_vrx_sim tarn-vrx-sim --c)"
expect "simulator: --scenario and --truth by prefix" "--scenario --seed --start-id --truth" \
  "$(complete_line "$sim" _tarn_vrx_sim tarn-vrx-sim --s; complete_line "$sim" _tarn_vrx_sim tarn-vrx-sim --t)"
for opt in --scenario --truth; do
  expect "simulator: $opt completes file names" "$TARN_SRC/completions/tarn-vrx-sim" \
    "$(complete_line "$sim" _tarn_vrx_sim tarn-vrx-sim $opt "$TARN_SRC/completions/tarn-vrx-s")"
done
expect "simulator: registered for the program" "complete -F _tarn_vrx_sim tarn-vrx-sim" \
  "$(bash -c 'source "$1"; complete -p tarn-vrx-sim' _ "$sim" | tr ' ' '\n' | sort)"

rep=$TARN_SRC/completions/tarn-latency-report
expect "report: options" "-r --run -j --json -g --svg -c --compare -l --list --max-runs --seed --resamples --block --min-change --min-lost-change --threshold -h --help --version" \
  "$(complete_line "$rep" _tarn_latency_report tarn-latency-report -)"
expect "report: the log is a file name" "$TARN_SRC/completions/tarn-latency-report" \
  "$(complete_line "$rep" _tarn_latency_report tarn-latency-report "$TARN_SRC/completions/tarn-lat")"
expect "report: nothing offered for a run number" "" \
  "$(complete_line "$rep" _tarn_latency_report tarn-latency-report --run '')"
expect "report: nothing offered for a seed" "" \
  "$(complete_line "$rep" _tarn_latency_report tarn-latency-report --compare --seed '')"
expect "report: the runs compared are file names" "$TARN_SRC/completions/tarn-latency-report" \
  "$(complete_line "$rep" _tarn_latency_report tarn-latency-report --compare "$TARN_SRC/completions/tarn-lat")"

top=$TARN_SRC/completions/tarn-vrx-top
expect "top: window values" "1 10 60 all" \
  "$(complete_line "$top" _tarn_vrx_top tarn-vrx-top --window '')"
expect "top: --save completes file names" "$TARN_SRC/completions/tarn-vrx-top" \
  "$(complete_line "$top" _tarn_vrx_top tarn-vrx-top --save "$TARN_SRC/completions/tarn-vrx-t")"
expect "top: --events completes file names" "$TARN_SRC/completions/tarn-vrx-top" \
  "$(complete_line "$top" _tarn_vrx_top tarn-vrx-top --events "$TARN_SRC/completions/tarn-vrx-t")"
expect "top: nothing offered for a threshold" "" \
  "$(complete_line "$top" _tarn_vrx_top tarn-vrx-top --threshold '')"
expect "top: nothing offered for milliseconds" "" \
  "$(complete_line "$top" _tarn_vrx_top tarn-vrx-top --warn-ms '')"
expect "top: options by prefix" "--warn-ms --window" \
  "$(complete_line "$top" _tarn_vrx_top tarn-vrx-top --w)"
expect "top: --metrics offers the usual port" "9877" \
  "$(complete_line "$top" _tarn_vrx_top tarn-vrx-top --metrics 9)"
expect "top: --record-dir completes folders only" "$TARN_SRC/completions" \
  "$(complete_line "$top" _tarn_vrx_top tarn-vrx-top --record-dir "$TARN_SRC/compl")"
expect "top: registered for the program" "complete -F _tarn_vrx_top tarn-vrx-top" \
  "$(bash -c 'source "$1"; complete -p tarn-vrx-top' _ "$top" | tr ' ' '\n' | sort)"

# Every long option each program's help lists is offered.
for prog in tarn-inspect-vrx tarn-vrx-sim tarn-latency-report tarn-vrx-top; do
  fn=_$(tr - _ <<<"$prog")
  help=$(${TARN_EMULATOR:-} "$TARN_BIN/$prog" --help || true)  # the inspector exits 255
  offered=$(complete_line "$TARN_SRC/completions/$prog" "$fn" "$prog" --)
  for opt in $(grep -oE -- '--[a-z][a-z-]+' <<<"$help" | sort -u); do
    grep -qx -- "$opt" <<<"$offered" || { echo "FAIL: $prog option $opt not completed" >&2; fails=$((fails + 1)); }
  done
done

[ $fails = 0 ] && echo "completions: ok"
exit $fails
