#!/usr/bin/env bash
# Making and applying binary patches, against zstd's own command line on the
# same files in the same run (orvanta-delta-bench): a 50 MB and a 200 MB
# pack with 1 % rewritten in 20 places.
#
#   bench/delta_bench.sh [build-dir]     (LEVEL=19 ROUNDS=5 SIZES="50 200")
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
command -v zstd >/dev/null || { echo "delta_bench: needs the zstd tool (scripts/setup.sh)" >&2; exit 1; }
for size in ${SIZES:-50 200}; do
  echo "== ${size} MiB"
  "$build/bench/orvanta-delta-bench" --size "$size" --change 1 --rounds "${ROUNDS:-5}" --level "${LEVEL:-19}" \
    --dir "${TMPDIR:-/tmp}/orvanta-delta-bench.$$"
done
