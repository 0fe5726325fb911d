// DisplayRegs, the whole grid (100 cells and the headers), in each display
// format, on holding registers with varied values (a float format decodes
// every pair). "Coils" draws the bit table.
//
//   build/bench/bench/display_bench
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "app/core/display.h"
#include "app/core/workspace.h"

using namespace korvane;

namespace {

std::unique_ptr<Workspace> Filled() {
  auto ws = MakeWorkspace();
  uint32_t x = 2463534242u;
  for (int s = 1; s <= kSlotCount; ++s) {
    AddressSlot& t = ws->SlotTables(s);
    for (int n = 1; n <= kRegisters; ++n) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      t.HoldingRegTable[static_cast<size_t>(n)] = static_cast<int32_t>(x & 0xFFFF);
    }
    for (int w = 1; w <= kBitWords; ++w)
      t.CoilTable[static_cast<size_t>(w)] = static_cast<int32_t>(w * 40503 & 0xFFFF);
  }
  ws->View.StartReg = 1001;
  ws->View.RegLength = 100;
  return ws;
}

void BM_DisplayRegs(benchmark::State& state) {
  auto ws = Filled();
  ws->View.RegType = rtHoldingRegs;
  ws->View.DisplayType = static_cast<TDisplayType>(state.range(0));
  state.SetLabel(DisplayTypeName(ws->View.DisplayType));
  size_t filled = 0;
  for (auto _ : state) {
    GridView v = DisplayRegs(*ws);
    benchmark::DoNotOptimize(v);
    filled = 0;
    for (int c = 1; c <= kGridCells; ++c) filled += v.Cell[static_cast<size_t>(c)].has_value();
  }
  state.counters["cells"] = static_cast<double>(filled);
}

void BM_DisplayCoils(benchmark::State& state) {
  auto ws = Filled();
  ws->View.RegType = rtCoils;
  ws->View.DisplayType = dtDecimal;
  for (auto _ : state) {
    GridView v = DisplayRegs(*ws);
    benchmark::DoNotOptimize(v);
  }
}

} // namespace

BENCHMARK(BM_DisplayRegs)->Name("DisplayRegs")->DenseRange(kFirstDisplayType, kLastDisplayType);
BENCHMARK(BM_DisplayCoils)->Name("DisplayRegs/Coils");

BENCHMARK_MAIN();
