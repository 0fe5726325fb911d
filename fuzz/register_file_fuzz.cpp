// Fuzz target for the register file reader.
//
// Input: one byte seeding the piece sizes, then the file content.
// The file is read twice into two equal workspaces: as one piece and in pieces
// of random sizes (1..4096 bytes). Both must fail with the same message or
// both must give the same workspace; a failed read must leave nothing behind
// (the reader is all or nothing).
//
// A file supplies each table as a prefix of at most one element per byte of
// the file, so only the first `size` elements of each table are compared and
// put back between runs; one input in 64 compares the whole store.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/core/int_conv.h"
#include "app/core/workspace.h"
#include "config/core/register_file.h"
#include "fuzz_support.h"

namespace {

using namespace korvane;

// The error text of a failed read, or nullopt after a good one.
std::optional<std::string> Read(Workspace& ws, std::string_view text, uint32_t seed, bool whole) {
  RegisterFileReader reader(ws);
  try {
    if (whole) {
      reader.Feed(text);
    } else {
      fuzz::Rng rng(seed);
      while (!text.empty()) {
        const size_t n = std::min(rng.Size(4096), text.size());
        reader.Feed(text.substr(0, n));
        text.remove_prefix(n);
      }
    }
    reader.Finish();
  } catch (const ConversionError& e) {
    return std::string("conversion: ") + e.what();
  }
  reader.Commit();
  return std::nullopt;
}

// Everything but the store.
void CopySettings(const Workspace& from, Workspace& to) {
  to.Settings = from.Settings;
  to.Devices = from.Devices;
  to.View = from.View;
}

bool SameSettings(const Workspace& a, const Workspace& b) {
  return a.Settings == b.Settings && a.Devices == b.Devices && a.View == b.View;
}

// Calls f(table a, table b, elements) for the four tables of each slot.
template <typename A, typename B, typename F> void EachTable(A& a, B& b, F f) {
  for (int s = 1; s <= kSlotCount; ++s) {
    auto& x = a.SlotTables(s);
    auto& y = b.SlotTables(s);
    f(x.CoilTable.data(), y.CoilTable.data(), x.CoilTable.size());
    f(x.StatusTable.data(), y.StatusTable.data(), x.StatusTable.size());
    f(x.InputRegTable.data(), y.InputRegTable.data(), x.InputRegTable.size());
    f(x.HoldingRegTable.data(), y.HoldingRegTable.data(), x.HoldingRegTable.size());
  }
}

// Elements 0..reach of every table are the same in both workspaces.
void CheckSameTables(const Workspace& a, const Workspace& b, size_t reach) {
  EachTable(a, b, [&](const int32_t* x, const int32_t* y, size_t n) {
    KORVANE_FUZZ_CHECK(std::memcmp(x, y, std::min(n, reach + 1) * sizeof(int32_t)) == 0);
  });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // 2.7 MB each: built once. `fresh` is never changed; the other two are put
  // back to it after every input.
  static const std::unique_ptr<Workspace> fresh = MakeWorkspace();
  static std::unique_ptr<Workspace> whole = MakeWorkspace(), pieces = MakeWorkspace();
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  // Elements 0..reach of a table can differ from the fresh one.
  const size_t reach = size;
  const bool full_check = data[0] % 64 == 0;

  // A marker a commit overwrites.
  whole->View.CurrentPage = pieces->View.CurrentPage = 7;
  const auto a = Read(*whole, text, data[0], true);
  const auto b = Read(*pieces, text, data[0], false);
  KORVANE_FUZZ_CHECK(a == b);
  if (a) {
    // Nothing was committed: the marker left above is still there.
    KORVANE_FUZZ_CHECK(whole->View.CurrentPage == 7 && pieces->View.CurrentPage == 7);
    whole->View.CurrentPage = pieces->View.CurrentPage = fresh->View.CurrentPage;
    KORVANE_FUZZ_CHECK(SameSettings(*whole, *fresh) && SameSettings(*pieces, *fresh));
    CheckSameTables(*whole, *fresh, reach);
    CheckSameTables(*pieces, *fresh, reach);
  } else {
    KORVANE_FUZZ_CHECK(whole->View.CurrentPage == 1);
    KORVANE_FUZZ_CHECK(SameSettings(*whole, *pieces));
    CheckSameTables(*whole, *pieces, reach);
  }

  // Back to the fresh state, touching only what a file of this size can reach.
  CopySettings(*fresh, *whole);
  CopySettings(*fresh, *pieces);
  EachTable(*whole, *pieces, [&](int32_t* x, int32_t* y, size_t n) {
    std::fill_n(x, std::min(n, reach + 1), 0);
    std::fill_n(y, std::min(n, reach + 1), 0);
  });
  if (full_check) {
    // Nothing was written beyond the reach.
    KORVANE_FUZZ_CHECK(std::memcmp(&whole->Store, &fresh->Store, sizeof(RegisterStore)) == 0);
    KORVANE_FUZZ_CHECK(std::memcmp(&pieces->Store, &fresh->Store, sizeof(RegisterStore)) == 0);
  }
  return 0;
}
