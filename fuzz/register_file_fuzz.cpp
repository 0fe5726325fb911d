// Fuzz target for the register file reader.
//
// Input: one byte seeding the piece sizes, then the file content.
// The file is read twice from the same starting workspace: as one piece and
// in pieces of random sizes (1..4096 bytes). Both must fail with the same
// message or both must give the same workspace; a failed read must leave
// nothing behind (the reader is all or nothing).
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
std::optional<std::string> Read(const Workspace& base, Workspace& out, std::string_view text, uint32_t seed,
                                bool whole) {
  RegisterFileReader reader(base);
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
  reader.Commit(out);
  return std::nullopt;
}

bool SamePages(const Workspace& a, const Workspace& b) {
  for (int p = 1; p <= kPageCount; ++p) {
    const Page& x = a.PageTable[static_cast<size_t>(p)];
    const Page& y = b.PageTable[static_cast<size_t>(p)];
    if (x.PageStart != y.PageStart || x.PageLength != y.PageLength || x.PageRegType != y.PageRegType ||
        x.PageDisplayType != y.PageDisplayType)
      return false;
  }
  return true;
}

bool Same(const Workspace& a, const Workspace& b) {
  return a.IsMaster == b.IsMaster && a.RtuMode == b.RtuMode && a.CommPort == b.CommPort &&
         a.BaudRate == b.BaudRate && a.DataBits == b.DataBits && a.Parity == b.Parity &&
         a.StopBits == b.StopBits && a.PollTime == b.PollTime && a.SlotAddress == b.SlotAddress &&
         a.DeviceAddress == b.DeviceAddress && a.ActiveSlot == b.ActiveSlot && a.StartReg == b.StartReg &&
         a.RegLength == b.RegLength && a.RegType == b.RegType && a.DisplayType == b.DisplayType &&
         a.CurrentPage == b.CurrentPage && SamePages(a, b) &&
         std::memcmp(&a.Store, &b.Store, sizeof(RegisterStore)) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // 2.7 MB each: built once. `base` is never changed.
  static const std::unique_ptr<Workspace> base = MakeWorkspace();
  static std::unique_ptr<Workspace> whole = MakeWorkspace(), pieces = MakeWorkspace();
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

  // Each target starts as the base would be after a read of nothing.
  whole->CurrentPage = pieces->CurrentPage = 7;
  const auto a = Read(*base, *whole, text, data[0], true);
  const auto b = Read(*base, *pieces, text, data[0], false);
  KORVANE_FUZZ_CHECK(a == b);
  if (a) {
    // Nothing was committed: the marker left above is still there.
    KORVANE_FUZZ_CHECK(whole->CurrentPage == 7 && pieces->CurrentPage == 7);
  } else {
    KORVANE_FUZZ_CHECK(whole->CurrentPage == 1);
    KORVANE_FUZZ_CHECK(Same(*whole, *pieces));
  }
  return 0;
}
