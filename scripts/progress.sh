# Sourced by the scripts that build: long builds show a line a minute.
#
#   with_progress LABEL LOG COMMAND...
#
# Runs COMMAND with its output in LOG and prints "LABEL: ..." once a minute
# (every $TARN_PROGRESS_EVERY seconds if set) while it runs: the targets done
# of all (ninja's last "[n/N]") and the minutes so far, or the log's last
# line. Ends with one line saying how long
# it took; on failure the log's last 60 lines come first. Returns COMMAND's
# status. Leaves no process behind.
with_progress() {
  local label=$1 log=$2; shift 2
  local start st=0 ticker
  start=$(date +%s)
  (
    sp=
    trap '[ -n "$sp" ] && kill "$sp" 2>/dev/null; exit 0' TERM
    while :; do
      sleep "${TARN_PROGRESS_EVERY:-60}" & sp=$!
      wait "$sp"
      last=$(grep -oE '^\[[0-9]+/[0-9]+\]' "$log" 2>/dev/null | tail -n1 | tr -d '[]') || true
      if [ -n "$last" ]; then
        echo "$label: ${last%/*} of ${last#*/} targets built, $(( ($(date +%s) - start) / 60 )) min so far"
      else
        echo "$label: $(( ($(date +%s) - start) / 60 )) min so far; last: $(tail -n1 "$log" 2>/dev/null | cut -c1-120)"
      fi
    done
  ) &
  ticker=$!
  "$@" >"$log" 2>&1 || st=$?
  kill "$ticker" 2>/dev/null || true
  wait "$ticker" 2>/dev/null || true
  if [ "$st" != 0 ]; then
    tail -n 60 "$log"
    echo "$label: FAILED after $(( $(date +%s) - start )) s (the whole output: $log)"
  else
    echo "$label: done in $(( $(date +%s) - start )) s ($(grep -oE '^\[[0-9]+/[0-9]+\]' "$log" | tail -n1 | tr -d '[]' | sed 's|.*/||;s|$| targets|' || true); output in $log)"
  fi
  return "$st"
}
