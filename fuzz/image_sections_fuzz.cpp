// Fuzz target for the section lookups of the setup loader (ELF and PE).
//
// Input: one byte n, then n % 12 bytes of section name, then the image.
// Both lookups run on the image; the ELF lookup also through a read callback
// that answers only inside the image. Checks: the two ELF lookups agree, a
// found section is the named one (the name is at the place the tables say,
// followed by its NUL for ELF, padded with NULs for PE) and has a raw-data
// offset other than 0, and a name longer than eight bytes is never found in
// a PE image.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "fuzz_support.h"
#include "loader/container.h"
#include "loader/image_sections.h"

namespace {

using namespace vel;

uint16_t Le16(std::span<const uint8_t> b, uint64_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

// The PE section whose name field holds `name`, checked by hand.
void CheckPe(std::span<const uint8_t> img, std::string_view name, const SectionLookup& r) {
  if (r.status != SectionLookup::Found) return;
  KORVANE_FUZZ_CHECK(name.size() <= 8 && r.offset != 0);
  const uint64_t pe = ReadLe32(&img[0x3C]);
  const uint16_t count = Le16(img, pe + 6);
  const uint64_t table = pe + 24 + Le16(img, pe + 20);
  bool seen = false;
  for (uint16_t i = 0; i < count && !seen; ++i) {
    const uint8_t* s = &img[table + uint64_t(i) * 40];
    uint8_t padded[8] = {};
    std::memcpy(padded, name.data(), name.size());
    seen = std::memcmp(s, padded, 8) == 0;
    if (seen) KORVANE_FUZZ_CHECK(ReadLe32(s + 20) == r.offset && ReadLe32(s + 16) == r.size);
  }
  KORVANE_FUZZ_CHECK(seen);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t name_len = std::min<size_t>(data[0] % 12, size - 1);
  const std::string_view name(reinterpret_cast<const char*>(data) + 1, name_len);
  const std::span<const uint8_t> img(data + 1 + name_len, size - 1 - name_len);

  const SectionLookup pe = FindPeSection(img, name);
  CheckPe(img, name, pe);

  const SectionLookup elf = FindElfSection(img, name);
  uint64_t reads = 0;
  const SectionLookup elf2 = FindElfSection(
      [&](uint64_t offset, void* buffer, size_t n) {
        ++reads;
        if (offset > img.size() || n > img.size() - offset) return false;
        std::memcpy(buffer, img.data() + offset, n);
        return true;
      },
      name);
  KORVANE_FUZZ_CHECK(elf.status == elf2.status && elf.offset == elf2.offset && elf.size == elf2.size);
  if (elf.status == SectionLookup::Found) KORVANE_FUZZ_CHECK(elf.offset != 0);
  // Every step reads a header of its own: never more reads than the image
  // has bytes (plus the fixed first ones), whatever the counts say.
  KORVANE_FUZZ_CHECK(reads <= img.size() + 8);
  return 0;
}
