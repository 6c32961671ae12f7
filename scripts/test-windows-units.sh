#!/usr/bin/env bash
# Runs the Qt side's unit tests of the windows-mingw build under Wine: the
# test programs with their DLLs in one folder, a private Xvfb display, a
# Wine prefix of their own that is removed afterwards. The servers the tests
# start (tests/support/*.py) run on Linux loopback (tests/support/ScriptServer.cpp).
# Prints each program's counts and the total; fails when any program fails.
#   scripts/test-windows-units.sh [PROGRAM ...]   (default: every test_*.exe)
# ORVANTA_WINDOWS_BUILD and ORVANTA_WINDOWS_DEPS as for windows-stage.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORVANTA_WINDOWS_BUILD:-$root/build/windows-mingw}
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

# What cannot pass under Wine, for Wine's reasons, one reason a line.
declare -A exclude=(
  # Wine keeps names on the Linux file system: 94 Korean letters fit NTFS
  # (255 UTF-16 units) but not ext4 (255 bytes), and Wine reports no
  # "name too long" for it.
  [test_download]=DownloadTest.TransferQuestionNamesTheFileAndCauseAndAsksAgain
)
# What measures text: run apart on the windows platform (on the Xvfb display),
# as this Qt's offscreen platform has no fonts on Windows. The rest stays
# offscreen, as on Linux: there windows open at once and the display's
# pointer cannot get in the way.
declare -A native=(
  [test_options]=OptionDlgTest.TemplateIsLaidOutInDialogUnitsOfItsFont
)

work=$(mktemp -d "${TMPDIR:-/tmp}/orvanta-wine-units.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and asking would reach the network.
export WINEDLLOVERRIDES="mscoree,mshtml="
xvfb=
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
  # Removing the work folders also ends a server a crashed test left behind.
  rm -rf "$work"
}
trap cleanup EXIT

programs=("$@")
if [ ${#programs[@]} -eq 0 ]; then
  for exe in "$build"/tests/test_*.exe; do
    # test_screens grabs pictures for people to look at; it checks nothing.
    [ "$(basename "$exe")" = test_screens.exe ] || programs+=("$(basename "$exe" .exe)")
  done
fi
start=$SECONDS
stage=$work/stage
exes=()
for program in "${programs[@]}"; do exes+=("$build/tests/$program.exe"); done
bash "$root/scripts/windows-stage.sh" "$stage" "${exes[@]}"

# A display of our own (numbers the e2e tests do not use), taken under a lock
# so that two runs at once do not pick the same one.
for n in $(seq 170 199); do
  exec 9>"/tmp/orvanta-units-display-$n.lock"
  if flock -n 9 && [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
    xvfb=$!
    export DISPLAY=:$n
    break
  fi
  exec 9>&-
done
[ -n "$xvfb" ] || { echo "no free display" >&2; exit 1; }
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${DISPLAY#:}" ] && break; sleep 0.1; done
timeout 180 "$wine" wineboot --init >/dev/null 2>&1
echo "staged and booted in $((SECONDS - start)) s"

passed=0 failed=0 skipped=0 bad=()
# run NAME PROGRAM [ARGUMENT ...]: one run of a program, its counts added up.
run() {
  local name=$1 program=$2 log=$work/$1.log t=$SECONDS rc=0 p f s
  shift 2
  timeout "${ORVANTA_UNIT_TIMEOUT:-300}" "$wine" "$program.exe" "$@" >"$log" 2>&1 || rc=$?
  p=$(grep -c '^\[       OK \]' "$log" || true)
  f=$(grep -c '^\[  FAILED  \] .*(' "$log" || true)
  s=$(grep -c '^\[  SKIPPED \] .*(' "$log" || true)
  printf '%-30s %3d passed %2d failed %2d skipped %4d s%s\n' "$name" "$p" "$f" "$s" $((SECONDS - t)) \
    "$([ $rc -eq 0 ] || echo "  (exit $rc)")"
  passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
  if [ $rc -ne 0 ]; then
    bad+=("$name")
    grep -B2 -A8 'Failure\|^\[  FAILED  \] .*(' "$log" | head -n 60 || tail -n 20 "$log"
  fi
}
cd "$stage"
for program in "${programs[@]}"; do
  apart=${native[$program]:-}
  left=$(echo "${exclude[$program]:-}" "$apart" | xargs | tr ' ' ':')
  run "$program" "$program" ${left:+--gtest_filter="-$left"}
  # Wine hands a Windows program QT_* variables only under WINE-prefixed names.
  [ -z "$apart" ] || WINEQT_QPA_PLATFORM=windows run "$program (windows)" "$program" --gtest_filter="$apart"
done
echo "total: $passed passed, $failed failed, $skipped skipped, in $((SECONDS - start)) s"
[ ${#bad[@]} -eq 0 ] || { echo "failed under Wine: ${bad[*]}" >&2; exit 1; }
