// The help file is found beside the program (build tree) or in ../share/korvane (installed).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "app/core/install_paths.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

TEST(HelpFilePathFor, PrefersTheProgramFolderElseTheShareFolder) {
  struct Case {
    const char* programDir;
    std::set<std::string> present;
    const char* expected;
  };
  const Case cases[] = {
      // Build tree: the help file is compiled next to the program.
      {"/w/build", {"/w/build/Korvane_Help.chm"}, "/w/build/Korvane_Help.chm"},
      // Installed: bin/ has no help file, share/korvane/ has.
      {"/usr/bin", {"/usr/share/korvane/Korvane_Help.chm"}, "/usr/share/korvane/Korvane_Help.chm"},
      // Both: the program folder wins.
      {"/opt/k/bin",
       {"/opt/k/bin/Korvane_Help.chm", "/opt/k/share/korvane/Korvane_Help.chm"},
       "/opt/k/bin/Korvane_Help.chm"},
      // Neither: the installed place, so a viewer's error names where it belongs.
      {"/opt/k/bin", {}, "/opt/k/share/korvane/Korvane_Help.chm"},
      // A trailing separator changes nothing.
      {"/usr/bin/", {"/usr/bin/Korvane_Help.chm"}, "/usr/bin/Korvane_Help.chm"},
      {"/usr/bin//", {}, "/usr/share/korvane/Korvane_Help.chm"},
      // The root folder neither doubles the separator nor climbs above itself.
      {"/", {"/Korvane_Help.chm"}, "/Korvane_Help.chm"},
      {"/", {}, "/share/korvane/Korvane_Help.chm"},
      // A relative folder stays relative.
      {"bin", {}, "share/korvane/Korvane_Help.chm"},
  };
  for (const Case& c : cases) {
    std::set<std::string> asked;
    const std::string got = HelpFilePathFor(c.programDir, [&](const std::string& p) {
      asked.insert(p);
      return c.present.count(p) > 0;
    });
    EXPECT_EQ(got, c.expected) << "program folder " << c.programDir;
    EXPECT_EQ(asked.size(), 1u) << "only the program folder's file is looked for";
  }
}

// The same rule against a real folder tree, as an installation lays it out.
TEST(HelpFilePathFor, FindsRealFilesAndIgnoresAFolderOfThatName) {
  char pattern[] = "/tmp/korvane_helppath_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path root = pattern;
  fs::create_directories(root / "bin");
  fs::create_directories(root / "share/korvane");
  std::ofstream(root / "share/korvane/Korvane_Help.chm") << "ITSF";
  const std::string bin = (root / "bin").string();
  const std::string installed = (root / "share/korvane/Korvane_Help.chm").string();

  EXPECT_EQ(HelpFilePathFor(bin), installed);
  // A folder that merely has the file's name is not the help file.
  fs::create_directories(root / "bin/Korvane_Help.chm");
  EXPECT_EQ(HelpFilePathFor(bin), installed);
  fs::remove(root / "bin/Korvane_Help.chm");
  std::ofstream(root / "bin/Korvane_Help.chm") << "ITSF";
  EXPECT_EQ(HelpFilePathFor(bin), bin + "/Korvane_Help.chm");

  fs::remove_all(root);
}

} // namespace
} // namespace korvane
