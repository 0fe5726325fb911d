// The compiled help file next to the program: it exists, carries the pages of
// the five context numbers, and chmcmd put the numbers into it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "help/core/help_project.h"

namespace fs = std::filesystem;

namespace {

std::string BuildDir() {
  const char* d = std::getenv("KORVANE_BINARY_DIR");
  if (d != nullptr && *d != '\0') return d;
  return KORVANE_BUILD_DIR;
}

// Runs a command and returns its standard output.
std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

bool HasLine(const std::string& text, const std::string& line) {
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);)
    if (l == line) return true;
  return false;
}

} // namespace

TEST(HelpChmTest, CompiledFileHoldsTheContextPages) {
  const std::string chm = BuildDir() + "/Korvane_Help.chm";
  ASSERT_TRUE(fs::is_regular_file(chm)) << chm;
  const std::string listing = RunCommand("chmls -p -n list '" + chm + "' 2>/dev/null");

  const auto& pages = korvane::KorvaneHelpContextPages();
  ASSERT_EQ(pages.size(), 5u);
  for (int context : {40, 30, 20, 25, 35}) {
    ASSERT_EQ(pages.count(context), 1u) << context;
    EXPECT_TRUE(HasLine(listing, pages.at(context))) << context << " " << pages.at(context) << "\n"
                                                     << listing;
  }
  EXPECT_TRUE(HasLine(listing, "/getting_started.html"));
  EXPECT_TRUE(HasLine(listing, "/serial_linux.html"));
}

TEST(HelpChmTest, CompiledFileCarriesTheFiveContextNumbers) {
  // chmls writes "<name>.h" with "#define <symbol> <number>" lines next to the
  // file it reads: give it a copy in a folder of our own.
  std::string tmpl = (fs::temp_directory_path() / "korvane-chm-XXXXXX").string();
  const std::string dir = ::mkdtemp(tmpl.data());
  fs::copy_file(BuildDir() + "/Korvane_Help.chm", dir + "/k.chm");
  RunCommand("cd '" + dir + "' && chmls extractalias k.chm >/dev/null 2>&1");
  std::set<int> numbers;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() != ".h") continue;
    std::ifstream in(entry.path());
    for (std::string word, name; in >> word;) {
      int n = 0;
      if (word == "#define" && in >> name >> n) numbers.insert(n);
    }
  }
  fs::remove_all(dir);
  EXPECT_EQ(numbers, (std::set<int>{20, 25, 30, 35, 40}));
}
