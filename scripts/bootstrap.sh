#!/usr/bin/env bash
# Installs everything the build and the tests need. Safe to run again; quiet when all is there.
set -euo pipefail
cd "$(dirname "$0")/.."

debs=(
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
  libboost1.81-dev libboost-json1.81-dev libssl-dev nlohmann-json3-dev libexpat1-dev
  libpython3-dev libcli11-dev libfmt-dev libgtest-dev libgmock-dev libbenchmark-dev
  iproute2 tshark rpcbind tmux chromium ca-certificates ccache libqrencode-dev zbar-tools libtag1-dev
)

missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node comes from the machine image where present; Debian's otherwise.
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] && SUDO="" || SUDO="sudo"
  echo "Installiere Pakete: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# npm packages of the local event service and of the test peers.
# (Prism, the contract mock of the Spotify tests, would otherwise report its installation.)
export SCARF_ANALYTICS=false
for dir in service tests/peers; do
  if [ ! -d "$dir/node_modules" ] || [ "$dir/package.json" -nt "$dir/node_modules" ]; then
    (cd "$dir" && npm install --no-audit --no-fund --silent >/dev/null && touch node_modules)
  fi
done

bash scripts/third_party.sh
