#!/usr/bin/env bash
# Sets up the machine, builds, and runs floorvote's main job. Arguments replace the default command.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/build.sh release >/dev/null
if [ $# -eq 0 ]; then set -- run; fi
exec build/release/floorvote "$@"
