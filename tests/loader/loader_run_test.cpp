// The built loader, packed with real containers, run as a program.
#include "loader/container.h"
#include "loader/pack/container_writer.h"
#include "loader_test_support.h"

#include <regex>

namespace vel {
namespace {

class LoaderRun : public testing::Test {
protected:
  // The folder the loader takes as its temporary folder: it must be empty after every run.
  test::TempDir work, temp;

  std::map<std::string, std::string> Env(const std::string& result = "0") {
    return {{"TMPDIR", temp.path().string()},
            {"VEL_STUB_RECORD", work / "record"},
            {"VEL_STUB_RESULT", result},
            {"LC_ALL", "C.UTF-8"}};
  }

  // Packs with the packer program.
  std::string PackWithTool(const std::vector<std::string>& extra, const std::string& stub = VEL_SAMPLE_STUB) {
    const std::string out = work / "setup";
    std::vector<std::string> argv = {VEL_PACK_EXE, "--loader", VEL_LOADER_EXE, "--stub",   stub,
                                     "--out",      out,        "--objcopy",    VEL_OBJCOPY};
    argv.insert(argv.end(), extra.begin(), extra.end());
    const auto r = test::Run(argv, {}, work.path());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return out;
  }

  // Places a hand-made stub container into a copy of the loader.
  std::string PackContainer(const std::string& container) {
    test::WriteFile(work / "stub.c", container);
    const std::string out = work / "setup";
    EXPECT_EQ(pack::AddSections(VEL_OBJCOPY, VEL_LOADER_EXE, out, {{".velstub", work / "stub.c"}}), "");
    return out;
  }

  static std::string StubContainer(uint32_t flags = 0) {
    pack::PackEntry other, stub;
    other.id = 1;
    other.data = std::string(100000, 'x');
    stub.id = kStubEntryId;
    stub.file_path = VEL_SAMPLE_STUB;
    stub.attributes = kAttrReadOnly | kAttrSystem;
    pack::ContainerOptions options;
    options.flags = flags;
    std::string c;
    EXPECT_EQ(pack::WriteContainer({other, stub}, options, c), "");
    return c;
  }

  std::string Recorded() { return test::ReadFile(work / "record"); }
  void ExpectTempFolderEmpty() { EXPECT_EQ(test::FolderEntries(temp.path()), std::vector<std::string>{}); }
};

TEST_F(LoaderRun, CallsTheStubWithTheBuiltCommandLineAndEndsWithItsResult) {
  const std::string exe =
      PackWithTool({"--arguments", "/lang:de", "--trailer", "Grüße ✓", "--archive", VEL_LOADER_EXE});
  const auto r = test::Run({exe, "/S", "a b", "say \"hi\""}, Env("42"), work.path());
  EXPECT_EQ(r.exit_code, 42) << r.err;
  EXPECT_EQ(r.err, "");
  // The stub's second argument is 0.
  EXPECT_EQ(Recorded(), "/lang:de Grüße ✓ /S \"a b\" \"say \\\"hi\\\"\" /d:\"" + exe + "\"\n0");
  ExpectTempFolderEmpty();
}

TEST_F(LoaderRun, EmptyArgumentsAndNoTrailerLeaveTwoSpaces) {
  const std::string exe = PackWithTool({});
  const auto r = test::Run({exe, "/S"}, Env("0"), work.path());
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Recorded(), "  /S /d:\"" + exe + "\"\n0");
  ExpectTempFolderEmpty();
}

TEST_F(LoaderRun, ExitStatusFollowsTheStubResult) {
  const std::string exe = PackContainer(StubContainer());
  // A result that does not fit 8 bits must still read as a failure.
  for (const auto& [result, status] : {std::pair{"0", 0}, std::pair{"7", 7}, std::pair{"255", 255},
                                       std::pair{"256", 255}, std::pair{"1602", 255}}) {
    SCOPED_TRACE(result);
    const auto r = test::Run({exe}, Env(result), work.path());
    EXPECT_EQ(r.exit_code, status) << r.err;
    ExpectTempFolderEmpty();
  }
}

TEST_F(LoaderRun, EightBitTrailerFollowsTheLocale) {
  const struct {
    const char* locale;
    std::string trailer;
    std::string text;
  } cases[] = {
      {"C",
       "<|Gr\xFC\xDF"
       "e|>",
       "Grüße"},
      {"C",
       "\xEF\xBB\xBF<|Gr\xC3\xBC\xC3\x9F"
       "e|>",
       "Grüße"},
      {"C", "<|Gr\xC3\xBC|>", "Gr\xC3\x83\xC2\xBC"}, // UTF-8 bytes without the mark: one character each
      {"C.UTF-8", "<|Gr\xC3\xBC|>", "Grü"},
  };
  const std::string plain = PackContainer(StubContainer());
  const std::string image = test::ReadFile(plain);
  for (const auto& k : cases) {
    SCOPED_TRACE(k.locale + (" " + k.text));
    test::WriteFile(plain, image + k.trailer);
    auto env = Env();
    env["LC_ALL"] = k.locale;
    const auto r = test::Run({plain}, env, work.path());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(Recorded(), " " + k.text + "  /d:\"" + plain + "\"\n0");
  }
}

std::string Set32(std::string c, size_t at, uint32_t v) {
  WriteLe32(reinterpret_cast<uint8_t*>(&c[at]), v);
  return c;
}

TEST_F(LoaderRun, DamagedContainersEndWith249AndLeaveNoFile) {
  const std::string good = StubContainer(0);
  std::string bad_magic = good, bad_check = good, bad_props = good, corrupt = good;
  bad_magic[17] = 'Z';
  bad_check[66] ^= 0x40;
  bad_props[72] = char(230);
  corrupt[77] = char(0x80);
  const struct {
    const char* name;
    std::string container;
    uint32_t result;
  } cases[] = {
      {"magic", bad_magic, kResultBadData},
      {"check block, flag bit 0 clear", bad_check, kResultBadData},
      {"check block, flag bit 0 set", Set32(bad_check, 24, 1), kResultCheckFailed},
      {"properties", bad_props, kResultBadProperties},
      {"truncated", good.substr(0, good.size() - 1000), kResultEndedEarly},
      {"corrupt stream", corrupt, kResultCorrupt},
  };
  const std::regex message(
      "VEL Loader: Error ([0-9]+) while extracting VEL\\.DLL to (.*)/Vel-[0-9A-F]{4}\\.dll\n");
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string exe = PackContainer(k.container);
    const auto r = test::Run({exe}, Env(), work.path());
    EXPECT_EQ(r.exit_code, 249);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.err, m, message)) << r.err;
    EXPECT_EQ(m[1].str(), std::to_string(k.result));
    EXPECT_EQ(m[2].str(), temp.path().string());
    ExpectTempFolderEmpty();
  }
}

TEST_F(LoaderRun, LoadAndEntryPointFailures) {
  // A library without the entry point, and bytes that are no library at all.
  test::WriteFile(work / "not-a-library", std::string(5000, 'z'));
  const struct {
    const char* stub;
    std::string message;
  } cases[] = {
      {"/lib/x86_64-linux-gnu/liblzma.so.5",
       "VEL Loader: Error 2 while retrieving VelRunInstaller\\(\\) entry point from "},
      {nullptr, "VEL Loader: Error [0-9]+ while loading VEL\\.DLL "},
  };
  for (const auto& k : cases) {
    const std::string stub = k.stub ? k.stub : work / "not-a-library";
    SCOPED_TRACE(stub);
    if (::access(stub.c_str(), R_OK) != 0) continue;
    const std::string exe = PackWithTool({}, stub);
    const auto r = test::Run({exe}, Env(), work.path());
    EXPECT_EQ(r.exit_code, 249);
    EXPECT_TRUE(std::regex_search(
        r.err, std::regex("^" + k.message + temp.path().string() + "/Vel-[0-9A-F]{4}\\.dll\n")))
        << r.err;
    ExpectTempFolderEmpty();
  }
}

TEST_F(LoaderRun, MissingSectionAndUnusableTemporaryFolder) {
  auto r = test::Run({VEL_LOADER_EXE}, Env(), work.path());
  EXPECT_EQ(r.exit_code, 254);
  EXPECT_EQ(r.err, "VEL Loader: Executable has no .velstub section\n");

  const std::string exe = PackContainer(StubContainer());
  auto env = Env();
  env["TMPDIR"] = "/" + std::string(1100, 'd');
  r = test::Run({exe}, env, work.path());
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_EQ(r.err, "VEL Loader: GetTempPath() failed => 36\n");

  // A folder that does not exist: the file cannot be created (ENOENT).
  env["TMPDIR"] = work / "no-such-folder";
  r = test::Run({exe}, env, work.path());
  EXPECT_EQ(r.exit_code, 249);
  EXPECT_TRUE(std::regex_match(r.err, std::regex("VEL Loader: Error 2 while extracting VEL\\.DLL to .*\n")))
      << r.err;
}

} // namespace
} // namespace vel
