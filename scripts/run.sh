#!/usr/bin/env bash
# Sets up the machine, builds, and runs floorvote's main job. Arguments replace the default command.
# Without a stored login the default is the demo with the local event service and simulated guests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
bash scripts/build.sh release >/dev/null
if [ $# -eq 0 ]; then
  if build/release/floorvote whoami --stored >/dev/null 2>&1; then
    set -- run
  else
    echo "Keine gespeicherte Anmeldung: Floorvote startet die Demo mit lokalem Event-Service und simulierten Gästen (floorvote demo)."
    set -- demo
  fi
fi
exec build/release/floorvote "$@"
