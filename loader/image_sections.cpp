#include "loader/image_sections.h"

#include "loader/container.h"

#include <cstring>
#include <vector>

namespace vel {

namespace {

uint16_t ReadLe16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

bool Fits(std::span<const uint8_t> bytes, uint64_t offset, uint64_t size) {
  return offset <= bytes.size() && size <= bytes.size() - offset;
}

} // namespace

SectionLookup FindPeSection(std::span<const uint8_t> image, std::string_view name) {
  SectionLookup r;
  if (name.size() > 8) return r.status = SectionLookup::NoSection, r;
  uint8_t wanted[8] = {};
  std::memcpy(wanted, name.data(), name.size());

  if (!Fits(image, 0, 0x40) || image[0] != 'M' || image[1] != 'Z') return r;
  const uint64_t pe = ReadLe32(&image[0x3C]);
  if (!Fits(image, pe, 24) || std::memcmp(&image[pe], "PE\0\0", 4) != 0) return r;
  const uint16_t count = ReadLe16(&image[pe + 4 + 2]);
  const uint16_t optional_size = ReadLe16(&image[pe + 4 + 16]);
  const uint64_t table = pe + 24 + optional_size;
  if (!Fits(image, table, uint64_t(count) * 40)) return r;

  r.status = SectionLookup::NoSection;
  for (uint16_t i = 0; i < count; ++i) {
    const uint8_t* s = &image[table + uint64_t(i) * 40];
    if (std::memcmp(s, wanted, 8) != 0) continue;
    const uint32_t raw_offset = ReadLe32(s + 20);
    if (raw_offset == 0) return r;
    r.status = SectionLookup::Found;
    r.offset = raw_offset;
    r.size = ReadLe32(s + 16);
    return r;
  }
  return r;
}

SectionLookup FindElfSection(const ReadAt& read, std::string_view name) {
  SectionLookup r;
  uint8_t eh[64];
  if (!read(0, eh, 16) ||
      std::memcmp(eh,
                  "\x7F"
                  "ELF",
                  4) != 0 ||
      eh[5] != 1 /* little-endian */)
    return r;
  const bool is64 = eh[4] == 2;
  if (!is64 && eh[4] != 1) return r;
  const size_t eh_size = is64 ? 64 : 52;
  if (!read(0, eh, eh_size)) return r;

  const uint64_t shoff = is64 ? ReadLe64(eh + 0x28) : ReadLe32(eh + 0x20);
  const uint16_t shentsize = ReadLe16(eh + (is64 ? 0x3A : 0x2E));
  uint64_t shnum = ReadLe16(eh + (is64 ? 0x3C : 0x30));
  uint32_t shstrndx = ReadLe16(eh + (is64 ? 0x3E : 0x32));
  const size_t min_entry = is64 ? 64 : 40;
  if (shoff == 0 || shentsize < min_entry) return r;

  struct Shdr {
    uint32_t name, type, link;
    uint64_t offset, size;
  };
  auto section = [&](uint64_t index, Shdr& out) {
    uint8_t sh[64];
    if (index > (UINT64_MAX - shoff) / shentsize) return false;
    if (!read(shoff + index * shentsize, sh, min_entry)) return false;
    out.name = ReadLe32(sh);
    out.type = ReadLe32(sh + 4);
    out.link = ReadLe32(sh + (is64 ? 0x28 : 0x18));
    out.offset = is64 ? ReadLe64(sh + 0x18) : ReadLe32(sh + 0x10);
    out.size = is64 ? ReadLe64(sh + 0x20) : ReadLe32(sh + 0x14);
    return true;
  };

  // Large tables keep their real count and string-table index in section 0.
  Shdr first;
  if (!section(0, first)) return r;
  if (shnum == 0) shnum = first.size;
  if (shstrndx == 0xFFFF) shstrndx = first.link;
  Shdr strtab;
  if (shstrndx >= shnum || !section(shstrndx, strtab)) return r;

  r.status = SectionLookup::NoSection;
  std::vector<char> candidate(name.size() + 1);
  for (uint64_t i = 0; i < shnum; ++i) {
    Shdr s;
    if (!section(i, s)) return r.status = SectionLookup::NoValidHeaders, r;
    // The name must be followed by its NUL inside the string table.
    if (s.name >= strtab.size || strtab.size - s.name < candidate.size()) continue;
    if (!read(strtab.offset + s.name, candidate.data(), candidate.size())) continue;
    if (std::memcmp(candidate.data(), name.data(), name.size()) != 0 || candidate.back() != '\0') continue;
    if (s.type == 8 /* NOBITS */ || s.offset == 0) return r;
    r.status = SectionLookup::Found;
    r.offset = s.offset;
    r.size = s.size;
    return r;
  }
  return r;
}

SectionLookup FindElfSection(std::span<const uint8_t> image, std::string_view name) {
  return FindElfSection(
      [image](uint64_t offset, void* buffer, size_t size) {
        if (!Fits(image, offset, size)) return false;
        std::memcpy(buffer, image.data() + offset, size);
        return true;
      },
      name);
}

} // namespace vel
