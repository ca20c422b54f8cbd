#!/usr/bin/env bash
# Fault test "receiver_own_account" of tests/faults/run_faults.py, in a throwaway root.
set -euo pipefail
exec bash "$TARN_SRC/scripts/sandbox.sh" python3 "$TARN_SRC/tests/faults/run_faults.py" receiver_own_account
