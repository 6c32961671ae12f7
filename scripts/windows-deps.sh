#!/usr/bin/env bash
# Cross-builds the Windows libraries the updater links (Qt 6 base, OpenSSL's
# libcrypto, libcurl on Schannel, zstd, GoogleTest) from Debian's own
# source packages with the posix-threads MinGW-w64 compilers, into
#   ${ORVANTA_WINDOWS_CACHE:-~/.cache/orvanta-windows}/deps-<digest>
# where the digest covers the source versions, this script and the Qt
# patch. A complete folder is reused as it is; "current" beside it names
# the one the preset windows-mingw builds against. Prints that folder last.
#
# The prebuilt Qt in ../shared/windows is taken when its SHA-256 matches;
# otherwise (or with ORVANTA_WINDOWS_BUILD_QT=1) Qt is built from source,
# which takes some 35 minutes on two cores.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
root=$(pwd)

cache=${ORVANTA_WINDOWS_CACHE:-$HOME/.cache/orvanta-windows}
jobs=${ORVANTA_WINDOWS_JOBS:-$(nproc)}
triple=x86_64-w64-mingw32
qt_dir=qt6-6.4.2-mingw64
qt_tarball=${ORVANTA_WINDOWS_PREBUILT_QT:-$root/../shared/windows/$qt_dir.tar.xz}
qt_tarball_sha256=896765bef48a8824dff325e236d3168a89d1ffd9869e0ba9403db4fb56221204
qt_patch=$root/scripts/qtbase-6.4.2-windows-no-opengl.patch

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

ORVANTA_WINDOWS=1 bash scripts/setup.sh --no-build

prebuilt_qt=0
if [ "${ORVANTA_WINDOWS_BUILD_QT:-0}" != 1 ] && [ -f "$qt_tarball" ]; then
  if [ "$(sha256sum "$qt_tarball" | cut -d' ' -f1)" = "$qt_tarball_sha256" ]; then
    prebuilt_qt=1
  else
    echo "windows-deps: $qt_tarball does not match its SHA-256; building Qt from source" >&2
  fi
fi
packages=(openssl curl libzstd googletest)
((prebuilt_qt)) || packages+=(qt6-base)

# apt-get source needs a deb-src entry; one of our own, only when none names
# bookworm, so that a machine's own choice of mirror is kept.
if ! grep -rqsE '^(deb-src[[:space:]].*bookworm|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  echo "windows-deps: adding Debian's bookworm sources (deb-src) to apt"
  $SUDO tee /etc/apt/sources.list.d/orvanta-deb-src.sources >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  $SUDO apt-get update -qq
fi

# The exact source package apt-get source would fetch, e.g. openssl_3.0.15-1~deb12u1.dsc.
dsc_of() {
  apt-get source --print-uris -qq "$1" | grep -oE "[^/' ]+\.dsc" | head -1
}
# Both the newest source and the point release's: some mirrors do not carry
# the security archive's pool, and fetch falls back to the point release.
versions=""
for p in "${packages[@]}"; do
  dsc=$(dsc_of "$p")
  [ -n "$dsc" ] || { echo "windows-deps: apt has no source for $p" >&2; exit 1; }
  versions+="$dsc $(dsc_of "$p/bookworm")"$'\n'
done
((prebuilt_qt)) && versions+="qt-prebuilt $qt_tarball_sha256"$'\n'
digest=$( { printf '%s' "$versions"; cat "$root/scripts/windows-deps.sh" "$qt_patch"; } | sha256sum | cut -c1-16)
deps=$cache/deps-$digest

if [ -f "$deps/.complete" ]; then
  ln -sfn "deps-$digest" "$cache/current"
  echo "$deps"
  exit 0
fi

work=$cache/work-$digest
mkdir -p "$deps" "$work"
total_start=$SECONDS
# Each step logs to work-<digest>/<name>.log and leaves .done-<name> with
# its seconds; an interrupted run resumes after the last finished step.
step() {  # name command...
  local name=$1 start=$SECONDS
  shift
  [ -f "$deps/.done-$name" ] && return 0
  echo "windows-deps: building $name"
  # In the background rather than under "if", where bash would ignore set -e
  # inside the step and judge it by its last command alone.
  ("$@") >"$work/$name.log" 2>&1 &
  if ! wait $!; then
    tail -n 30 "$work/$name.log" >&2
    echo "windows-deps: $name failed; the whole log is $work/$name.log" >&2
    exit 1
  fi
  echo "$((SECONDS - start))" >"$deps/.done-$name"
}
fetch() {  # package: the unpacked source folder, Debian's patches applied
  local dir=$work/src-$1 wanted
  for wanted in "$1" "$1/bookworm" ""; do
    [ -n "$wanted" ] || { echo "windows-deps: cannot fetch the source of $1" >&2; return 1; }
    rm -rf "$dir" && mkdir -p "$dir"
    (cd "$dir" && apt-get source -qq "$wanted") >&2 && break
    echo "windows-deps: $wanted unavailable, trying the point release" >&2
  done
  (cd "$dir" && ls -- *.dsc) >>"$deps/sources.txt"
  find "$dir" -mindepth 1 -maxdepth 1 -type d | head -1
}

# For the CMake-built libraries: the compilers, and only Windows' own
# headers and libraries besides the cache itself.
cat >"$work/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $triple-gcc-posix)
set(CMAKE_CXX_COMPILER $triple-g++-posix)
set(CMAKE_RC_COMPILER $triple-windres)
set(CMAKE_FIND_ROOT_PATH $deps /usr/$triple)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
cmake_lib() {  # source-dir build-dir options...
  local src=$1 build=$2
  shift 2
  cmake -G Ninja -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" "$@"
  cmake --build "$build" --parallel "$jobs"
  cmake --install "$build"
}

build_qt() {
  if ((prebuilt_qt)); then
    rm -rf "${deps:?}/$qt_dir"
    tar -xJf "$qt_tarball" -C "$deps"
    return
  fi
  local src
  src=$(fetch qt6-base)
  # The patch lets the Windows platform plugin compile without OpenGL;
  # Debian's tarball has no src/3rdparty/wintab, hence no tablet events.
  patch -d "$src" -p1 <"$qt_patch"
  cmake_lib "$src" "$work/build-qt" -DQT_QMAKE_TARGET_MKSPEC=win32-g++ \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_INSTALL_PREFIX="$deps/$qt_dir" -DBUILD_SHARED_LIBS=ON \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_opengl=OFF -DFEATURE_dbus=OFF -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF \
    -DFEATURE_openssl=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF \
    -DFEATURE_tabletevent=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
    -DFEATURE_system_freetype=OFF -DFEATURE_system_jpeg=OFF
}

# libcrypto only, static: the updater is its one user, so it goes into the
# programs instead of shipping as two more DLLs beside Updater.exe.
build_openssl() {
  local src
  src=$(fetch openssl)
  (cd "$src" &&
    ./Configure mingw64 no-shared no-tests no-module no-dso no-engine no-legacy \
      CC="$triple-gcc-posix" AR="$triple-ar" RANLIB="$triple-ranlib" RC="$triple-windres" \
      --prefix="$deps" --libdir=lib &&
    make -s -j"$jobs" build_generated &&
    make -s -j"$jobs" libcrypto.a)
  mkdir -p "$deps/include/openssl" "$deps/lib"
  cp "$src"/include/openssl/*.h "$deps/include/openssl/"
  cp "$src/libcrypto.a" "$deps/lib/"
}

# A DLL, as on the MSVC build (libcurl.dll beside the program). TLS through
# Windows' own Schannel, so certificates come from the Windows store; and
# nothing the updater does not use.
build_curl() {
  local src
  src=$(fetch curl)
  mkdir -p "$work/build-curl"
  (cd "$work/build-curl" &&
    "$src/configure" --host="$triple" CC="$triple-gcc-posix" --prefix="$deps" \
      --enable-shared --disable-static --with-schannel --without-openssl --without-gnutls \
      --without-zlib --without-brotli --without-zstd --without-nghttp2 --without-nghttp3 \
      --without-ngtcp2 --without-libssh --without-libssh2 --without-librtmp --without-libpsl \
      --without-libidn2 --without-libgsasl --disable-ldap --disable-ldaps --disable-rtsp \
      --disable-dict --disable-telnet --disable-tftp --disable-pop3 --disable-imap \
      --disable-smtp --disable-gopher --disable-mqtt --disable-smb --disable-manual \
      --disable-docs &&
    make -s -j"$jobs" -C lib &&
    make -s -C lib install &&
    make -s -C include install)
}

build_zstd() {
  local src
  src=$(fetch libzstd)
  cmake_lib "$src/build/cmake" "$work/build-zstd" -DZSTD_BUILD_PROGRAMS=OFF -DZSTD_BUILD_TESTS=OFF \
    -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_STATIC=ON -DZSTD_LEGACY_SUPPORT=OFF
}

build_googletest() {
  local src
  src=$(fetch googletest)
  cmake_lib "$src" "$work/build-googletest" -DBUILD_SHARED_LIBS=OFF -Dgtest_disable_pthreads=OFF
}

echo "windows-deps: building into $deps ($jobs jobs)"
step qt build_qt
step zstd build_zstd
step googletest build_googletest
step curl build_curl
step openssl build_openssl
sort -u -o "$deps/sources.txt" "$deps/sources.txt"
touch "$deps/.complete"
ln -sfn "deps-$digest" "$cache/current"
rm -rf "$work"
spent=0
for name in qt zstd googletest curl openssl; do
  s=$(cat "$deps/.done-$name")
  spent=$((spent + s))
  echo "windows-deps: $name $s s"
done
echo "windows-deps: cold build $spent s in all ($((SECONDS - total_start)) s in this run); $(du -sh "$deps" | cut -f1) in $deps"
echo "$deps"
