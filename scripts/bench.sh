#!/usr/bin/env bash
# Builds the benchmarks (Release, "bench" preset, build/bench) and runs every
# one; each prints its figures as a table. Nothing here passes or fails on a
# figure: compare them with docs/benchmarks.md.
#   scripts/bench.sh            all benchmarks
#   scripts/bench.sh NAME...    some of: engine line_decoder display register_file loader serial startup
#                               turnaround line_analyzer bus noisy_bus
# KORVANE_BENCH_BUILD=DIR uses another build folder; TURNAROUND_REQUESTS=N sets
# the requests per row of the pty benchmark (default 2000).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

build=${KORVANE_BENCH_BUILD:-build/bench}
if [ "$build" = build/bench ]; then
  cmake --preset bench >/dev/null
else
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_BUILD_BENCH=ON \
    -DKORVANE_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target korvane engine_bench line_decoder_bench display_bench register_file_bench loader_bench \
  serial_bench startup_bench slave_turnaround_bench libmodbus_rtu_server line_analyzer_bench bus_bench korvane-bus

names=("$@")
[ ${#names[@]} -gt 0 ] || names=(engine line_decoder display register_file loader serial startup turnaround line_analyzer bus noisy_bus)
gb=(--benchmark_counters_tabular=true --benchmark_min_time=0.5)
for n in "${names[@]}"; do
  echo
  echo "=== $n"
  case $n in
    engine) "$build/bench/engine_bench" "${gb[@]}" ;;
    line_decoder) "$build/bench/line_decoder_bench" ;;
    display) "$build/bench/display_bench" "${gb[@]}" ;;
    register_file) "$build/bench/register_file_bench" "${gb[@]}" ;;
    loader) "$build/bench/loader_bench" ;;
    serial) "$build/bench/serial_bench" ;;
    startup) "$build/bench/startup_bench" --runs 20 ;;
    turnaround) "$build/bench/slave_turnaround_bench" --requests "${TURNAROUND_REQUESTS:-2000}" ;;
    line_analyzer) "$build/bench/line_analyzer_bench" --updates 300 ;;
    bus) "$build/bench/bus_bench" ;;
    noisy_bus) KORVANE_EXE="$build/korvane" KORVANE_BUS="$build/korvane-bus" /usr/bin/python3 bench/noisy_bus_bench.py ;;
    *) echo "unknown benchmark: $n" >&2; exit 2 ;;
  esac
done
