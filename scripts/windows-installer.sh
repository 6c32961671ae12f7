#!/usr/bin/env bash
# Builds the Windows installer from the windows-mingw build:
#   scripts/windows-installer.sh [OUT.exe]
# (default: build/windows-mingw/Orvanta-Setup.exe). It stages Updater.exe
# and orvanta-update.exe with their DLLs as a game folder holds them, then
# runs makensis on deploy/windows/Orvanta.nsi. ORVANTA_WINDOWS_BUILD names
# the build folder, ORVANTA_WINDOWS_DEPS the libraries' folder;
# ORVANTA_INSTALLER_COMPRESSOR=zlib builds in a few seconds instead of 25
# (tests), at twice the size.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANTA_WINDOWS_BUILD:-$root/build/windows-mingw}
out=$(realpath -m "${1:-$build/Orvanta-Setup.exe}")
version=$(sed -n 's/^project([A-Za-z]* VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
bash "$root/scripts/windows-stage.sh" "$stage" "$build/app/Updater.exe" "$build/app/orvanta-update.exe"
# The build keeps its debug information; players get the programs without.
x86_64-w64-mingw32-strip --strip-debug "$stage"/*.exe "$stage"/*.dll "$stage"/*/*.dll
compressor=()
[ -z "${ORVANTA_INSTALLER_COMPRESSOR:-}" ] || compressor=(-DCOMPRESSOR="$ORVANTA_INSTALLER_COMPRESSOR")
makensis -V2 -INPUTCHARSET UTF8 "${compressor[@]}" -DSTAGE="$stage" -DOUTFILE="$out" -DVERSION="$version" \
  "$root/deploy/windows/Orvanta.nsi"
echo "$out"
