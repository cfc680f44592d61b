#!/usr/bin/env bash
# Fetches the sources the build compiles from registry packages (SQLCipher's amalgamation) into
# third_party/. Never committed; run again when scripts/third_party/ changes.
set -euo pipefail
cd "$(dirname "$0")/.."
want=scripts/third_party
if [ -f third_party/node_modules/@commapp/sqlcipher-amalgamation/src/sqlite3.c ] &&
   cmp -s "$want/package-lock.json" third_party/package-lock.json; then
  exit 0
fi
mkdir -p third_party
cp "$want/package.json" "$want/package-lock.json" third_party/
(cd third_party && npm ci --no-audit --no-fund --silent >/dev/null)
