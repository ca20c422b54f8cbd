#!/usr/bin/env bash
# CI stage: every fuzz target for 30 seconds under libFuzzer with ASan and
# UBSan; any crash fails the stage.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/deps.sh
exec bash scripts/fuzz.sh 30
