#!/usr/bin/env bash
# Fuzzes the frame reassembler, the record decoders and the range record
# with libFuzzer for a bounded time each (FUZZ_SECONDS, 20 by default). The
# targets are built straight from the pure protocol sources, without Qt,
# into build/fuzz/.
# Fails on the first crash, sanitizer report or broken invariant.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds="${FUZZ_SECONDS:-20}"
out="$root/build/fuzz"
mkdir -p "$out"

CXX="${FUZZ_CXX:-clang++}"
sources=(patch/PatchFrame.cpp patch/Records.cpp patch/Cp949.cpp patch/Digest.cpp patch/Manifest.cpp transfer/Segments.cpp)

for target in fuzz_frames fuzz_records; do
  echo "fuzz: building $target"
  "$CXX" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root" "tests/fuzz/$target.cpp" "${sources[@]}" -o "$out/$target"
done

# Both at once: each runs on one core for its time.
run() {
  local target=$1 corpus="$out/corpus-$1"
  mkdir -p "$corpus"
  echo "fuzz: running $target for ${seconds}s"
  # Crash files land in build/fuzz/, not in the source tree.
  (cd "$out" && ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    "./$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 "$corpus") \
    > "$out/$target.log" 2>&1 || { tail -n 60 "$out/$target.log"; echo "fuzz: $target failed"; return 1; }
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$out/$target.log" | sed "s/^/fuzz: $target /" || true
}
pids=()
for target in fuzz_frames fuzz_records; do
  run "$target" & pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
[ "$failed" = 0 ] || exit 1
echo "fuzz: no crash"
