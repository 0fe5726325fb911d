// Finding a named section in an executable image, by its section header table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

namespace vel {

struct SectionLookup {
  enum Status { Found, NoValidHeaders, NoSection } status = NoValidHeaders;
  uint64_t offset = 0; // file offset of the section's raw data
  uint64_t size = 0;
};

// PE image: "MZ", the PE signature at the offset the DOS header names, then the section table.
// All eight bytes of each section name are compared with `name` padded with NULs, so a longer
// name never matches a shorter one. A section whose raw-data offset is 0 counts as absent.
SectionLookup FindPeSection(std::span<const uint8_t> image, std::string_view name);

// Reads `size` bytes at `offset` into `buffer`; false when they are not all there.
using ReadAt = std::function<bool(uint64_t offset, void* buffer, size_t size)>;

// ELF image (32 or 64 bit, little-endian), read through `read`: the section header table and the
// section-name string table. A section of type NOBITS or with offset 0 counts as absent.
SectionLookup FindElfSection(const ReadAt& read, std::string_view name);

// FindElfSection over bytes in memory.
SectionLookup FindElfSection(std::span<const uint8_t> image, std::string_view name);

} // namespace vel
