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

expect "inspector: all options" "-h --help -n --newline -s --save -p --pipe" \
  "$(complete_line "$insp" _tarn_inspect_vrx tarn-inspect-vrx '')"
expect "inspector: long options by prefix" "--newline" \
  "$(complete_line "$insp" _tarn_inspect_vrx tarn-inspect-vrx --n)"
expect "inspector: nothing after --help" "" \
  "$(complete_line "$insp" _tarn_inspect_vrx tarn-inspect-vrx --help '')"
expect "inspector: registered for the program" "complete -F _tarn_inspect_vrx tarn-inspect-vrx" \
  "$(bash -c 'source "$1"; complete -p tarn-inspect-vrx' _ "$insp" | tr ' ' '\n' | sort)"

expect "simulator: codec values" "h264 h265" \
  "$(complete_line "$sim" _tarn_vrx_sim tarn-vrx-sim --codec '')"
expect "simulator: codec values by prefix, short option" "h265" \
  "$(complete_line "$sim" _tarn_vrx_sim tarn-vrx-sim -e h26 | grep 5)"
expect "simulator: no option offered where a number is due" "" \
  "$(complete_line "$sim" _tarn_vrx_sim tarn-vrx-sim --rate '')"
expect "simulator: --raw completes file names" "$TARN_SRC/completions/tarn-vrx-sim" \
  "$(complete_line "$sim" _tarn_vrx_sim tarn-vrx-sim --raw "$TARN_SRC/completions/tarn-vrx")"
expect "simulator: options by prefix" "--chunk --codec --count" \
  "$(complete_line "$sim" _tarn_vrx_sim tarn-vrx-sim --c)"
expect "simulator: registered for the program" "complete -F _tarn_vrx_sim tarn-vrx-sim" \
  "$(bash -c 'source "$1"; complete -p tarn-vrx-sim' _ "$sim" | tr ' ' '\n' | sort)"

# Every long option the simulator's help lists is offered.
help=$(${TARN_EMULATOR:-} "$TARN_BIN/tarn-vrx-sim" --help)
offered=$(complete_line "$sim" _tarn_vrx_sim tarn-vrx-sim --)
for opt in $(grep -oE -- '--[a-z][a-z-]+' <<<"$help" | sort -u); do
  grep -qx -- "$opt" <<<"$offered" || { echo "FAIL: simulator option $opt not completed" >&2; fails=$((fails + 1)); }
done

[ $fails = 0 ] && echo "completions: ok"
exit $fails
