// Writing and reading a full workspace file: 87089 lines, every table filled
// with non-zero values. Target: each well under 50 ms.
#include "config/core/register_file.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

using namespace korvane;

namespace {

std::unique_ptr<Workspace> FullWorkspace() {
  auto ws = MakeWorkspace();
  uint32_t x = 12345;
  auto next = [&x] {
    x = x * 1664525u + 1013904223u;
    return static_cast<int32_t>((x >> 8) % 65535 + 1);
  };
  for (int s = 1; s <= kSlotCount; ++s) {
    AddressSlot& t = ws->SlotTables(s);
    for (int i = 1; i <= kBitWords; ++i) t.CoilTable[i] = next(), t.StatusTable[i] = next();
    for (int i = 1; i <= kRegisters; ++i) t.InputRegTable[i] = next(), t.HoldingRegTable[i] = next();
  }
  return ws;
}

std::string TempPath() {
  char tmpl[] = "/tmp/korvane-regfile-bench-XXXXXX";
  const int fd = ::mkstemp(tmpl);
  if (fd >= 0) ::close(fd);
  return tmpl;
}

// Content only, no file.
void BM_Text(benchmark::State& state) {
  auto ws = FullWorkspace();
  size_t bytes = 0;
  for (auto _ : state) {
    std::string text = RegisterFileText(*ws);
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}

// The whole save: content, new file, write, fsync, rename.
void BM_Save(benchmark::State& state) {
  auto ws = FullWorkspace();
  const std::string path = TempPath();
  for (auto _ : state) SaveRegisterFile(*ws, path);
  ::unlink(path.c_str());
}

// Parsing the content into a workspace (all or nothing), no file.
void BM_Read(benchmark::State& state) {
  auto src = FullWorkspace();
  const std::string text = RegisterFileText(*src);
  auto ws = MakeWorkspace();
  for (auto _ : state) {
    ReadRegisterText(*ws, text);
    benchmark::DoNotOptimize(ws->Store.Slot[5].HoldingRegTable[65535]);
  }
}

// The whole load from a file (page cache warm).
void BM_Load(benchmark::State& state) {
  auto src = FullWorkspace();
  const std::string path = TempPath();
  SaveRegisterFile(*src, path);
  auto ws = MakeWorkspace();
  for (auto _ : state) {
    LoadRegisterFile(*ws, path);
    benchmark::DoNotOptimize(ws->Store.Slot[5].HoldingRegTable[65535]);
  }
  ::unlink(path.c_str());
}

} // namespace

BENCHMARK(BM_Text)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Save)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
