#!/usr/bin/env bash
# Fault test "report_svg_links" of tests/faults/run_faults.py, in a throwaway root.
set -euo pipefail
exec bash "$TARN_SRC/scripts/sandbox.sh" python3 "$TARN_SRC/tests/faults/run_faults.py" report_svg_links
