#!/usr/bin/env bash
# The frames of every hosted unit test, one digest per simulated segment:
# runs the test binary with ORVALE_FRAME_DIGEST and prints the sorted
# "test frames digest" lines. Two trees' outputs compared with diff show
# whether a change altered any frame a test sends or receives.
#
#   tools/frame-digests.sh [BUILD_DIR] > digests.txt    (default build/hosted)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/hosted}
out=$(mktemp)
trap 'rm -f "$out"' EXIT
# One process per test, as ctest runs them; a failing test still leaves its lines.
ORVALE_FRAME_DIGEST=$out ctest --test-dir "$build" -j2 --output-on-failure >/dev/null || true
sort "$out"
