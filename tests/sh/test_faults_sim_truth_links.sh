#!/usr/bin/env bash
# Fault test "sim_truth_links" of tests/faults/run_faults.py, in a throwaway root.
set -euo pipefail
exec bash "$TARN_SRC/scripts/sandbox.sh" python3 "$TARN_SRC/tests/faults/run_faults.py" sim_truth_links
