#!/usr/bin/env bash
# Golden-output tests of the inspector fed exact buffers, in a throwaway root.
set -euo pipefail
exec bash "$TARN_SRC/scripts/sandbox.sh" python3 "$TARN_SRC/tests/golden/inspector/run_golden.py" "$@"
