#!/usr/bin/env bash
# Long fuzz run of one target:  scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
#   TARGET: slave_rtu slave_ascii master_rtu master_ascii line_decoder_rtu
#           line_decoder_ascii register_file loader_container image_sections   (or "list")
# Builds the target with the "fuzz" preset (clang, ASan + UBSan + libFuzzer) in
# build/fuzz (KORVANE_FUZZ_BUILD overrides the folder), then fuzzes for SECONDS
# with one process. The working corpus build/fuzz/corpus/TARGET keeps growing
# from run to run; it starts from the seeds in fuzz/corpus/TARGET, which the run
# never changes. A finding is written to build/fuzz/findings/ and ends the run
# with a non-zero status; replay it with: build/fuzz/fuzz/fuzz_TARGET FILE
# To fold the new inputs back into the seeds (minimised):
#   build/fuzz/fuzz/fuzz_TARGET -merge=1 fuzz/corpus/TARGET build/fuzz/corpus/TARGET
set -euo pipefail
cd "$(dirname "$0")/.."
TARGETS="slave_rtu slave_ascii master_rtu master_ascii line_decoder_rtu line_decoder_ascii register_file loader_container image_sections"
if [ $# -lt 1 ] || [ "$1" = "list" ]; then
  echo "usage: scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]"
  echo "targets: $TARGETS"
  exit 2
fi
target=$1
seconds=${2:-600}
shift $(($# < 2 ? $# : 2))
case " $TARGETS " in *" $target "*) ;; *) echo "unknown target: $target (one of: $TARGETS)" >&2; exit 2 ;; esac

build=${KORVANE_FUZZ_BUILD:-build/fuzz}
if [ "$build" = build/fuzz ]; then
  cmake --preset fuzz >/dev/null
else
  [ -f "$build/CMakeCache.txt" ] || CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_BUILD_FUZZ=ON -DKORVANE_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target "fuzz_$target"

# Longest input: enough for the longest frames (a 501-byte request in 1000
# hex characters), several register file blocks, small containers and images.
case $target in
  register_file) max_len=16384 ;;
  loader_container) max_len=32768 ;;
  image_sections) max_len=8192 ;;
  *) max_len=4096 ;;
esac
mkdir -p "$build/corpus/$target" "$build/findings"
exec "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=25 \
  -rss_limit_mb=2560 -print_final_stats=1 \
  -artifact_prefix="$build/findings/$target-" "$@" "$build/corpus/$target" "fuzz/corpus/$target"
