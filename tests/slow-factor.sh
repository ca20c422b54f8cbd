#!/usr/bin/env bash
# The one slow-machine factor of the tests: every wait of a test on a
# program (a row to show, a process to end, a screen to change) is its
# quiet-machine time times this factor. Prints it as a whole number:
#   TARN_SLOW (default 1, at least 1),
#   times 10 when the programs run under an emulator ($TARN_EMULATOR),
#   times the load average over the processor count, rounded up, when the
#   load average of the last minute is above the number of processors.
# With -v it prints how it came to it instead, for messages.
set -euo pipefail
base=${TARN_SLOW:-1}
[[ $base =~ ^[0-9]+$ ]] && [ "$base" -ge 1 ] || base=1
emu=1
[ -n "${TARN_EMULATOR:-}" ] && emu=10
cpus=$(nproc 2>/dev/null || echo 1)
load=$(cut -d' ' -f1 /proc/loadavg 2>/dev/null || echo 0)
busy=$(awk -v l="$load" -v c="$cpus" 'BEGIN { f = l / c; n = int(f); if (n < f) n++; print (l > c ? n : 1) }')
factor=$((base * emu * busy))
if [ "${1:-}" = -v ]; then
  echo "slow factor $factor (TARN_SLOW $base, emulator x$emu, load $load on $cpus processors x$busy)"
else
  echo "$factor"
fi
