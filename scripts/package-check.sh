#!/usr/bin/env bash
# Installs a build into a staging folder and makes the .deb, then checks
# that both hold the updater, the reference server and the desktop entry.
#   scripts/package-check.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/ci}
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

cmake --install "$build" --prefix "$stage/usr" >/dev/null
for f in usr/libexec/orvanta/Updater usr/bin/orvanta-updater usr/bin/orvanta-patchd usr/bin/orvanta-update \
         usr/share/applications/orvanta-updater.desktop \
         usr/share/icons/hicolor/48x48/apps/orvanta-updater.png \
         usr/share/man/man1/orvanta-update.1 usr/share/man/man1/orvanta-patchd.1 usr/share/man/man1/orvanta-release.1; do
  [ -e "$stage/$f" ] || { echo "package: $f is not installed" >&2; exit 1; }
done
"$stage/usr/bin/orvanta-patchd" --help >/dev/null
"$stage/usr/bin/orvanta-update" --help >/dev/null

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls -t "$build"/orvanta-updater_*.deb | head -n1)
contents=$(dpkg-deb -c "$deb")
for f in ./usr/libexec/orvanta/Updater ./usr/bin/orvanta-patchd ./usr/bin/orvanta-updater ./usr/bin/orvanta-update \
         ./usr/share/man/man1/orvanta-update.1; do
  grep -q " $f\$" <<<"$contents" || { echo "package: $f is not in $deb" >&2; exit 1; }
done
echo "package: $(basename "$deb") ($(du -k "$deb" | cut -f1) KiB), depends: $(dpkg-deb -f "$deb" Depends | cut -c1-80)..."
