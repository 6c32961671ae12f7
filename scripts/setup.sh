#!/usr/bin/env bash
# Installs every build and test dependency (idempotent), then configures and
# builds the default preset. Pass --no-build to install only.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools qt6-webengine-dev qt6-webengine-dev-tools
  libqt6webenginecore6-bin libgl-dev libxkbcommon-dev qt6-translations-l10n
  libcurl4-openssl-dev libssl-dev libzstd-dev zstd curl
  googletest libgtest-dev
  clang libclang-rt-14-dev
  python3 python3-pyftpdlib haproxy vsftpd socat nginx
  lftp aria2 python3-matplotlib
  xvfb x11-utils xdotool imagemagick fonts-nanum
  dpkg-dev file ccache help2man
)
# The Windows build of the Qt-free core and Wine to run its tests
# (scripts/test-windows.sh), NSIS for the installer; GoogleTest's sources
# come with googletest.
if [ "${ORVANTA_WINDOWS:-0}" = 1 ]; then
  PACKAGES+=(g++-mingw-w64-x86-64 wine64 nsis)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
fi

[ "${1:-}" = "--no-build" ] && exit 0

preset="${PRESET:-default}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
