#!/usr/bin/env bash
# Builds the Qt-free core and its unit tests for Windows with MinGW-w64
# (preset windows-core) and runs them under Wine, in a Wine prefix of its
# own that is removed afterwards. Installs the cross compiler and Wine
# first when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

ORVANTA_WINDOWS=1 bash scripts/setup.sh --no-build

wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/orvanta-wine.XXXXXX")
export WINEPREFIX WINEDEBUG=-all
# No Mono or Gecko: nothing here needs .NET or a browser, and asking for
# them would reach the network.
export WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

cmake --preset windows-core >/dev/null
cmake --build --preset windows-core
timeout 120 "$wine" wineboot --init
timeout 600 ctest --preset windows-core
