#!/usr/bin/env bash
# Puts a program of the windows-mingw build into a folder with the DLLs it
# needs beside it, as a player's game folder holds them:
#   scripts/windows-stage.sh FOLDER [PROGRAM.exe ...]
# (default: the build's Updater.exe). ORVANTA_WINDOWS_BUILD names the build
# folder, ORVANTA_WINDOWS_DEPS the libraries' folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANTA_WINDOWS_BUILD:-$root/build/windows-mingw}
deps=${ORVANTA_WINDOWS_DEPS:-${ORVANTA_WINDOWS_CACHE:-$HOME/.cache/orvanta-windows}/current}
dest=${1:?folder}
shift
programs=("$@")
[ ${#programs[@]} -gt 0 ] || programs=("$build/app/Updater.exe")

qt=$deps/qt6-6.4.2-mingw64
gcc_dlls=/usr/lib/gcc/x86_64-w64-mingw32/12-posix
mkdir -p "$dest/platforms" "$dest/styles"
cp "${programs[@]}" "$dest/"
cp "$qt"/bin/Qt6{Core,Gui,Widgets,Network}.dll "$deps/bin/libcurl-4.dll" \
   "$gcc_dlls/libstdc++-6.dll" "$gcc_dlls/libgcc_s_seh-1.dll" \
   /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll "$dest/"
cp "$qt/plugins/platforms/qwindows.dll" "$dest/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$dest/styles/"
# Test programs: QtTest, and the offscreen platform their main() asks for.
for program in "${programs[@]}"; do
  case $(basename "$program") in
    test_*)
      cp "$qt/bin/Qt6Test.dll" "$dest/"
      cp "$qt/plugins/platforms/qoffscreen.dll" "$dest/platforms/"
      break;;
  esac
done
