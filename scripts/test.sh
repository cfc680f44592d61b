#!/usr/bin/env bash
# Sets up the machine, builds with warnings as errors, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/build.sh ci
ctest --preset ci "$@"
