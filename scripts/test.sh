#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: in the
# default build (warnings as errors) and in the AddressSanitizer +
# UndefinedBehaviorSanitizer build; the tests of the threaded code (label
# threads) run a third time under ThreadSanitizer. With ORVANTA_WINDOWS=1,
# in CI, and where the Windows libraries are built, the Qt-free core is
# also built for Windows and tested under Wine (scripts/test-windows.sh). ORVANTA_SKIP_ASAN=1 and ORVANTA_SKIP_TSAN=1 leave a sanitizer out.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

start=$SECONDS
stage() { echo "== [$((SECONDS - start)) s] $*"; }

bash scripts/setup.sh --no-build

export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
[ "$(id -u)" -ne 0 ] || export QTWEBENGINE_DISABLE_SANDBOX=1
jobs=$(nproc)
# Most end-to-end cases wait on their peers, not on a core: twice as many
# tests as cores keeps both busy.
test_jobs=$((jobs * 2))

stage "default build (warnings are errors)"
cmake --preset ci >/dev/null
cmake --build --preset ci
ctest --preset ci -j "$test_jobs"

stage "packaging"
bash scripts/package-check.sh build/ci

# A couple of minutes from a fresh machine, so CI runs it too. Where the
# Windows libraries are built (or ORVANTA_WINDOWS_BUILD_DEPS=1 asks for
# them), it also runs the real Updater.exe under Wine.
if [ "${ORVANTA_WINDOWS:-0}" = 1 ] || [ "${CI:-}" = true ] || [ "${ORVANTA_WINDOWS_BUILD_DEPS:-0}" = 1 ] ||
   [ -d "${ORVANTA_WINDOWS_CACHE:-$HOME/.cache/orvanta-windows}/current" ]; then
  stage "Windows (MinGW-w64, tests under Wine)"
  bash scripts/test-windows.sh
fi

if [ "${ORVANTA_SKIP_ASAN:-0}" != 1 ]; then
  stage "sanitizer build"
  cmake --preset asan >/dev/null
  cmake --build --preset asan
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --preset asan -j "$test_jobs" -LE webengine
fi

if [ "${ORVANTA_SKIP_TSAN:-0}" != 1 ]; then
  stage "ThreadSanitizer build (the threaded tests)"
  cmake --preset tsan >/dev/null
  cmake --build --preset tsan -j2
  # GCC 12's ThreadSanitizer stops with "unexpected memory mapping" where the
  # kernel randomises mmap over more than 28 bits (newer kernels); the tests
  # then run without address randomisation.
  no_aslr=()
  if [ "$(sysctl -n vm.mmap_rnd_bits 2>/dev/null || echo 0)" -gt 28 ] &&
     setarch "$(uname -m)" -R true 2>/dev/null; then
    no_aslr=(setarch "$(uname -m)" -R)
  fi
  "${no_aslr[@]}" ctest --preset tsan -j2
fi

if [ -x scripts/fuzz.sh ] && [ "${ORVANTA_SKIP_FUZZ:-0}" != 1 ]; then
  stage "fuzzing (bounded)"
  bash scripts/fuzz.sh
fi
stage "all tests passed"
