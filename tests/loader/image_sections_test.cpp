#include "loader/image_sections.h"
#include "loader/pack/container_writer.h"
#include "loader/posix_files.h"
#include "loader_test_support.h"

#include <cstring>

namespace vel {
namespace {

struct PeSection {
  std::string name; // up to 8 bytes, NUL-padded
  uint32_t raw_size, raw_offset;
};

// A minimal PE image: DOS header, PE signature at 0x80, file header, an optional header of
// `optional_size` bytes, then the section table.
std::vector<uint8_t> PeImage(const std::vector<PeSection>& sections, uint16_t optional_size = 0xE0) {
  std::vector<uint8_t> img(0x80 + 24 + optional_size + 40 * sections.size() + 16, 0);
  img[0] = 'M';
  img[1] = 'Z';
  WriteLe32(&img[0x3C], 0x80);
  std::memcpy(&img[0x80], "PE\0\0", 4);
  img[0x80 + 6] = uint8_t(sections.size());
  img[0x80 + 20] = uint8_t(optional_size);
  img[0x80 + 21] = uint8_t(optional_size >> 8);
  size_t at = 0x80 + 24 + optional_size;
  for (const PeSection& s : sections) {
    std::memcpy(&img[at], s.name.data(), std::min<size_t>(8, s.name.size()));
    WriteLe32(&img[at + 16], s.raw_size);
    WriteLe32(&img[at + 20], s.raw_offset);
    at += 40;
  }
  return img;
}

TEST(FindPeSection, ComparesAllEightNameBytes) {
  const auto img = PeImage({{".text", 0x1000, 0x400},
                            {".velstu", 0x10, 0x1400}, // shorter name, must not match
                            {".velstub", 0x2345, 0x1600},
                            {".velarch", 0x99, 0x3A00},
                            {".textbss", 0x10, 0x3C00}});
  const struct {
    const char* name;
    SectionLookup::Status status;
    uint64_t offset, size;
  } cases[] = {
      {".velstub", SectionLookup::Found, 0x1600, 0x2345}, {".velarch", SectionLookup::Found, 0x3A00, 0x99},
      {".text", SectionLookup::Found, 0x400, 0x1000},     {".velst", SectionLookup::NoSection, 0, 0},
      {".textbs", SectionLookup::NoSection, 0, 0},        {".velstubX", SectionLookup::NoSection, 0, 0},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    const SectionLookup r = FindPeSection(img, k.name);
    EXPECT_EQ(r.status, k.status);
    if (k.status == SectionLookup::Found) {
      EXPECT_EQ(r.offset, k.offset);
      EXPECT_EQ(r.size, k.size);
    }
  }
}

TEST(FindPeSection, BrokenHeadersAndMissingRawData) {
  const auto good = PeImage({{".velstub", 0x10, 0x200}});
  ASSERT_EQ(FindPeSection(good, ".velstub").status, SectionLookup::Found);
  const struct {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> damage;
    SectionLookup::Status status;
  } cases[] = {
      {"no MZ", [](auto& i) { i[1] = 'X'; }, SectionLookup::NoValidHeaders},
      {"no PE signature", [](auto& i) { i[0x81] = 'X'; }, SectionLookup::NoValidHeaders},
      {"PE offset past the end", [](auto& i) { WriteLe32(&i[0x3C], 0xFFFFFFF0); },
       SectionLookup::NoValidHeaders},
      {"section table past the end", [](auto& i) { i[0x80 + 6] = 200; }, SectionLookup::NoValidHeaders},
      {"truncated image", [](auto& i) { i.resize(0x30); }, SectionLookup::NoValidHeaders},
      {"raw data offset 0", [](auto& i) { WriteLe32(&i[0x80 + 24 + 0xE0 + 20], 0); },
       SectionLookup::NoSection},
      {"no sections", [](auto& i) { i[0x80 + 6] = 0; }, SectionLookup::NoSection},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    auto img = good;
    k.damage(img);
    EXPECT_EQ(FindPeSection(img, ".velstub").status, k.status);
  }
}

// ELF: the packed loader itself, with the sections objcopy added.
TEST(FindElfSection, FindsTheSectionsThePackerAdded) {
  test::TempDir dir;
  const std::string stub_data = "stub container bytes", arch_data = std::string(5000, 'a');
  test::WriteFile(dir / "s", stub_data);
  test::WriteFile(dir / "a", arch_data);
  const std::string exe = dir / "setup";
  ASSERT_EQ(
      pack::AddSections(VEL_OBJCOPY, VEL_LOADER_EXE, exe, {{".velstub", dir / "s"}, {".velarch", dir / "a"}}),
      "");
  const std::string image = test::ReadFile(exe);
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(image.data()), image.size());

  for (const auto& [name, data] : {std::pair{".velstub", stub_data}, std::pair{".velarch", arch_data}}) {
    SCOPED_TRACE(name);
    const SectionLookup r = FindElfSection(bytes, name);
    ASSERT_EQ(r.status, SectionLookup::Found);
    ASSERT_EQ(r.size, data.size());
    EXPECT_EQ(image.substr(size_t(r.offset), size_t(r.size)), data);
    EXPECT_EQ(ReadFileSection(exe, name), data);
  }
  EXPECT_EQ(FindElfSection(bytes, ".velst").status, SectionLookup::NoSection);
  EXPECT_EQ(FindElfSection(bytes, ".velstubs").status, SectionLookup::NoSection);
  // .bss occupies no file space.
  EXPECT_EQ(FindElfSection(bytes, ".bss").status, SectionLookup::NoSection);
  EXPECT_EQ(FindFileSection(VEL_LOADER_EXE, ".velstub").status, SectionLookup::NoSection);

  EXPECT_EQ(FindElfSection(bytes.first(200), ".velstub").status, SectionLookup::NoValidHeaders);
  std::string not_elf = image;
  not_elf[1] = 'X';
  EXPECT_EQ(
      FindElfSection(std::span(reinterpret_cast<const uint8_t*>(not_elf.data()), not_elf.size()), ".velstub")
          .status,
      SectionLookup::NoValidHeaders);
  EXPECT_EQ(FindFileSection(dir / "missing", ".velstub").status, SectionLookup::NoValidHeaders);
}

} // namespace
} // namespace vel
