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

# No Windows Qt comes with Debian, so the Qt side cannot be linked for
# Windows here. Each of its sources still goes through the Windows compiler
# against Debian's Qt 6 headers (syntax and types only, warnings as
# errors): the Windows branches parse and meet the real Qt and curl API.
echo "== Windows compile check of the Qt side (not linked)"
qt=$(qtpaths6 --query QT_INSTALL_HEADERS)
curl_only=$(mktemp -d)
trap 'cleanup; rm -rf "$curl_only"' EXIT
ln -s "$(dirname "$qt")/curl" "$curl_only/curl"  # curl and zstd alone, not the other Linux headers
ln -s /usr/include/zstd.h "$curl_only/zstd.h"
ln -s /usr/include/zstd_errors.h "$curl_only/zstd_errors.h"
flags=(-std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
       -Wno-missing-field-initializers -Werror -I.)
for module in "" QtCore QtGui QtWidgets QtNetwork QtWebEngineWidgets QtWebEngineCore; do
  flags+=(-isystem "$qt/$module")
done
flags+=(-isystem "$curl_only" -DQT_NO_KEYWORDS -DNOMINMAX -DWIN32_LEAN_AND_MEAN -DORVANTA_NOTICE_WEBENGINE=1
        -DORVANTA_DEFAULT_PATCH_HOST='"localhost"' -DORVANTA_FALLBACK_PATCH_ADDR='"127.0.0.1"'
        -DORVANTA_FALLBACK_GAME_ADDR='"127.0.0.1"' -DORVANTA_WEB_HOST='"localhost"'
        -DORVANTA_HTTP_SOURCE_URL='""' -DORVANTA_RELEASE_PUBLIC_KEY='""' -DORVANTA_VERSION='"0"')
# transfer/Crypto.cpp is left out: Debian has no OpenSSL headers for Windows.
git ls-files 'app/*.cpp' 'engine/*.cpp' 'settings/*.cpp' 'patch/*.cpp' 'transfer/*.cpp' 'ui/*.cpp' |
  grep -v '^transfer/Crypto.cpp$' |
  xargs -P "$(nproc)" -I{} x86_64-w64-mingw32-g++-posix "${flags[@]}" {}

# The real Updater.exe under Wine (tests/e2e/test_wine.py), when the Windows
# libraries are at hand: building them takes minutes, so a machine without
# them (CI) runs it only when ORVANTA_WINDOWS_BUILD_DEPS=1 asks.
cache=${ORVANTA_WINDOWS_CACHE:-$HOME/.cache/orvanta-windows}
if [ "${ORVANTA_WINDOWS_BUILD_DEPS:-0}" = 1 ] || [ -d "$cache/current" ]; then
  echo "== Updater.exe under Wine"
  # Its progress and times to the log, the folder it names last to us.
  # (Not `tee /dev/stderr`: reopening a log file truncates it.)
  deps_out=$(mktemp)
  bash scripts/windows-deps.sh | tee "$deps_out" >&2
  deps=$(tail -n 1 "$deps_out")
  rm -f "$deps_out"
  cmake --preset windows-mingw -DORVANTA_WINDOWS_DEPS="$deps" >/dev/null
  cmake --build --preset windows-mingw -j2 --target Updater orvanta-update
  # orvanta-patchd is a Linux program: the one scripts/test.sh built, or
  # its own.
  linux=${ORVANTA_BUILD_DIR:-build/ci}
  if [ ! -x "$linux/tools/orvanta-patchd" ]; then
    linux=build/default
    cmake --preset default >/dev/null
    cmake --build --preset default -j2 --target orvanta-patchd
  fi
  ORVANTA_BUILD_DIR=$(realpath "$linux") ORVANTA_WINDOWS_DEPS="$deps" timeout 600 python3 tests/e2e/test_wine.py -v
  echo "== The Qt side's unit tests under Wine"
  cmake --build --preset windows-mingw -j2 --target orvanta_unit_tests
  ORVANTA_WINDOWS_DEPS="$deps" timeout 900 bash scripts/test-windows-units.sh
else
  echo "== Updater.exe under Wine: skipped (no $cache/current; ORVANTA_WINDOWS_BUILD_DEPS=1 builds it)"
fi
echo "== Windows: all passed"
