// `cmake --install` of this build folder into a temporary prefix, and the Debian
// package: the installed program starts from there, finds its help file in
// share/korvane, and its --help/--version agree with the manual page.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/core/workspace.h"
#include "config/core/register_file.h"
#include "install/child_process.h"
#include "support/files.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using korvane::testing::ChildProcess;
using korvane::testing::RunProgram;
using namespace std::chrono_literals;

using test::ReadFile;

bool IsExecutableFile(const fs::path& p) {
  struct stat st {};
  return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR) != 0;
}

// The files every installation holds, relative to the prefix.
const std::vector<std::string> kInstalledFiles = {
    "bin/korvane",
    "bin/korvane-bus",
    "bin/vel-loader",
    "bin/vel-pack",
    "share/korvane/Korvane_Help.chm",
    "share/applications/korvane.desktop",
    "share/icons/hicolor/scalable/apps/korvane.svg",
    "share/man/man1/korvane.1.gz",
    "share/man/man1/korvane-bus.1.gz",
};

// The options a manual page source mentions: "\-\-open" is "--open"; "/debug" too.
std::set<std::string> OptionsIn(const std::string& text, bool roff) {
  std::string plain = text;
  if (roff) plain = std::regex_replace(plain, std::regex(R"(\\-)"), "-");
  std::set<std::string> found;
  const std::regex option(R"((^|[\s\[|(,])(--[a-z][a-z0-9-]*|[/-]debug)\b)");
  for (std::sregex_iterator it(plain.begin(), plain.end(), option), end; it != end; ++it)
    found.insert((*it)[2]);
  return found;
}

class InstallTree : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/korvane_install_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    work_ = pattern;
    prefix_ = work_ / "prefix";
    const auto r =
        RunProgram({KORVANE_CMAKE_COMMAND, "--install", KORVANE_BINARY_DIR, "--prefix", prefix_.string()},
                   (work_ / "install.err").string(), 120s);
    installed_ = r.ExitCode == 0;
    ASSERT_TRUE(installed_) << r.Out << r.Err;
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(work_, ec);
  }
  void SetUp() override { ASSERT_TRUE(installed_) << "cmake --install failed"; }

  static fs::path Program() { return prefix_ / "bin/korvane"; }
  static std::string ErrFile(const char* name) { return (work_ / name).string(); }

  static inline fs::path work_;
  static inline fs::path prefix_;
  static inline bool installed_ = false;
};

TEST_F(InstallTree, HoldsTheProgramsTheHelpFileTheMenuEntryAndTheSamples) {
  for (const std::string& f : kInstalledFiles) EXPECT_TRUE(fs::is_regular_file(prefix_ / f)) << f;
  for (const char* exe : {"bin/korvane", "bin/korvane-bus", "bin/vel-loader", "bin/vel-pack"})
    EXPECT_TRUE(IsExecutableFile(prefix_ / exe)) << exe;
  EXPECT_EQ(ReadFile(prefix_ / "share/korvane/Korvane_Help.chm").substr(0, 4), "ITSF");
  // The help file is not left beside the installed program: it is found in share/korvane.
  EXPECT_FALSE(fs::exists(prefix_ / "bin/Korvane_Help.chm"));

  // Every sample workspace of the source tree is installed, byte for byte.
  const fs::path samples = fs::path(KORVANE_SOURCE_DIR) / "samples";
  if (fs::is_directory(samples)) {
    for (const auto& e : fs::directory_iterator(samples)) {
      if (!e.is_regular_file()) continue;
      const fs::path target = prefix_ / "share/korvane/samples" / e.path().filename();
      EXPECT_TRUE(fs::is_regular_file(target)) << target;
      EXPECT_EQ(ReadFile(target), ReadFile(e.path())) << target;
    }
  }
}

TEST_F(InstallTree, DesktopEntryStartsTheInstalledProgramWithItsIcon) {
  std::map<std::string, std::string> keys;
  std::istringstream in(ReadFile(prefix_ / "share/applications/korvane.desktop"));
  std::string line, group;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line.front() == '[') {
      group = line;
      continue;
    }
    const size_t eq = line.find('=');
    ASSERT_NE(eq, std::string::npos) << line;
    EXPECT_EQ(group, "[Desktop Entry]") << line;
    EXPECT_TRUE(keys.emplace(line.substr(0, eq), line.substr(eq + 1)).second) << "repeated key: " << line;
  }
  EXPECT_EQ(keys["Type"], "Application");
  EXPECT_EQ(keys["Name"], "Korvane");
  EXPECT_EQ(keys["Terminal"], "false");
  // Exec names the installed program (found in PATH) and passes at most one file.
  const std::string exec = keys["Exec"];
  EXPECT_TRUE(IsExecutableFile(prefix_ / "bin" / exec.substr(0, exec.find(' ')))) << exec;
  EXPECT_TRUE(exec == "korvane" || exec == "korvane %f") << exec;
  // The icon name is the installed icon's file name, and that file is an SVG picture.
  EXPECT_EQ(keys["Icon"], "korvane");
  const std::string svg = ReadFile(prefix_ / "share/icons/hicolor/scalable/apps/korvane.svg");
  EXPECT_NE(svg.find("<svg"), std::string::npos);
  EXPECT_NE(svg.find("viewBox="), std::string::npos);
  // A menu shows only entries with a main category.
  EXPECT_FALSE(keys["Categories"].empty());
  EXPECT_EQ(keys["Categories"].back(), ';');
}

TEST_F(InstallTree, VersionAndUsageAgreeWithTheManualPage) {
  const std::string page = ReadFile(fs::path(KORVANE_SOURCE_DIR) / "packaging/korvane.1");
  ASSERT_FALSE(page.empty());

  const auto version = RunProgram({Program().string(), "--version"}, ErrFile("version.err"), 30s);
  EXPECT_EQ(version.ExitCode, 0) << version.Err;
  EXPECT_EQ(version.Out, "korvane 1.48\n");
  EXPECT_NE(page.find("\"Korvane 1.48\""), std::string::npos) << "the page's header names the version";

  const auto usage = RunProgram({Program().string(), "--help"}, ErrFile("help.err"), 30s);
  EXPECT_EQ(usage.ExitCode, 0) << usage.Err;
  const std::set<std::string> inUsage = OptionsIn(usage.Out, false);
  const std::set<std::string> onPage = OptionsIn(page, true);
  for (const char* o : {"--open", "--headless", "--save-on-exit", "--trace", "--port", "--rs485",
                        "--list-ports", "/debug", "-debug", "--help", "--version"})
    EXPECT_TRUE(onPage.count(o)) << o << " missing from the manual page";
  EXPECT_EQ(inUsage, onPage) << "the options of --help and of korvane.1 differ";

  const auto wrong = RunProgram({Program().string(), "--no-such-option"}, ErrFile("wrong.err"), 30s);
  EXPECT_EQ(wrong.ExitCode, 2);
}

// The installed bus: its usage and its manual page name the same options, it makes its nodes
// and ends cleanly on SIGTERM, and a wrong option is refused.
TEST_F(InstallTree, BusUsageAgreesWithItsManualPageAndTheBusRuns) {
  const std::string page = ReadFile(fs::path(KORVANE_SOURCE_DIR) / "packaging/korvane-bus.1");
  ASSERT_FALSE(page.empty());
  const std::string bus = (prefix_ / "bin/korvane-bus").string();
  const auto usage = RunProgram({bus, "--help"}, ErrFile("bus-help.err"), 30s);
  EXPECT_EQ(usage.ExitCode, 0) << usage.Err;
  // The example at the end also shows other programs' options.
  const std::set<std::string> onPage = OptionsIn(page.substr(0, page.find(".SH EXAMPLE")), true);
  for (const char* o : {"--nodes", "--link", "--echo", "--corrupt", "--seed", "--help"})
    EXPECT_TRUE(onPage.count(o)) << o << " missing from the manual page";
  EXPECT_EQ(OptionsIn(usage.Out, false), onPage) << "the options of --help and of korvane-bus.1 differ";

  ChildProcess child({bus, "--nodes", "2"}, {}, ErrFile("bus.err"));
  ASSERT_TRUE(child.Started());
  for (const char* expected : {"node 1: /dev/pts/", "node 2: /dev/pts/", "ready"}) {
    const std::optional<std::string> line = child.ReadLine(30s);
    ASSERT_TRUE(line.has_value()) << "no line; stderr: " << child.Err();
    EXPECT_EQ(line->rfind(expected, 0), 0u) << *line;
  }
  ASSERT_EQ(kill(child.Pid(), SIGTERM), 0);
  const std::optional<int> st = child.Wait(30s);
  ASSERT_TRUE(st.has_value() && WIFEXITED(*st)) << "still running or killed after SIGTERM";
  EXPECT_EQ(WEXITSTATUS(*st), 0) << child.Err();

  EXPECT_EQ(RunProgram({bus, "--nodes", "99"}, ErrFile("bus-wrong.err"), 30s).ExitCode, 2);
}

// The installed program runs a master workspace headless, reports its first poll, ends
// cleanly on SIGTERM, and its diagnostic log shows the help file it found.
TEST_F(InstallTree, StartsHeadlessFromThePrefixAndFindsItsHelpFile) {
  auto ws = MakeWorkspace();
  ws->SetDefaults();
  ws->Settings.IsMaster = roMaster;
  ws->Settings.PollTime = 1;
  const fs::path file = work_ / "master.kvw";
  const fs::path out = work_ / "saved.kvw";
  SaveRegisterFile(*ws, file.string());

  ChildProcess child(
      {Program().string(), "--headless", file.string(), "--save-on-exit", out.string(), "-debug"},
      {"KORVANE_COM1="}, ErrFile("headless.err"));
  ASSERT_TRUE(child.Started());
  const std::optional<std::string> first = child.ReadLine(30s);
  ASSERT_TRUE(first.has_value()) << "no status line; stderr: " << child.Err();
  EXPECT_NE(first->find("Poll 1"), std::string::npos) << *first;
  ASSERT_EQ(kill(child.Pid(), SIGTERM), 0);
  const std::optional<int> st = child.Wait(30s);
  ASSERT_TRUE(st.has_value()) << "still running 30 s after SIGTERM";
  ASSERT_TRUE(WIFEXITED(*st)) << "ended by signal " << WTERMSIG(*st);
  EXPECT_EQ(WEXITSTATUS(*st), 0) << child.Err();
  EXPECT_EQ(ReadFile(out).substr(0, 6), "MASTER");

  // The log lies beside the program (its folder is writable here).
  const std::string log = ReadFile(prefix_ / "bin/HHDebug.txt");
  ASSERT_FALSE(log.empty()) << "no diagnostic log in " << (prefix_ / "bin");
  const std::string help = (prefix_ / "share/korvane/Korvane_Help.chm").string();
  EXPECT_NE(log.find("THookHelpSystem.Create(\"" + help + "\""), std::string::npos) << log;
}

// The package holds the same files under /usr and declares what it needs at run time.
TEST_F(InstallTree, DebianPackageListsTheFilesAndRuntimeDependencies) {
  if (access("/usr/bin/dpkg-deb", X_OK) != 0) GTEST_SKIP() << "dpkg-deb is not installed";
  const fs::path pkgDir = work_ / "package";
  const auto pack =
      RunProgram({KORVANE_CPACK_COMMAND, "-G", "DEB", "--config",
                  std::string(KORVANE_BINARY_DIR) + "/CPackConfig.cmake", "-B", pkgDir.string()},
                 ErrFile("cpack.err"), 150s);
  ASSERT_EQ(pack.ExitCode, 0) << pack.Out << pack.Err;
  fs::path deb;
  for (const auto& e : fs::directory_iterator(pkgDir))
    if (e.path().extension() == ".deb") deb = e.path();
  ASSERT_FALSE(deb.empty());
  EXPECT_EQ(deb.filename().string().rfind("korvane_1.48.0_", 0), 0u) << deb;

  const auto list = RunProgram({"dpkg-deb", "-c", deb.string()}, ErrFile("list.err"), 30s);
  ASSERT_EQ(list.ExitCode, 0) << list.Err;
  for (const std::string& f : kInstalledFiles)
    EXPECT_NE(list.Out.find(" ./usr/" + f + "\n"), std::string::npos) << f << "\n" << list.Out;
  EXPECT_NE(list.Out.find("-rwxr-xr-x root/root"), std::string::npos);

  const auto depends = RunProgram({"dpkg-deb", "-f", deb.string(), "Depends"}, ErrFile("depends.err"), 30s);
  ASSERT_EQ(depends.ExitCode, 0) << depends.Err;
  for (const char* p : {"libqt6widgets6", "libqt6gui6", "libqt6core6", "libqt6svg6", "liblzma5"})
    EXPECT_TRUE(std::regex_search(depends.Out, std::regex(std::string("(^|, )") + p + "( |,|\n|$)")))
        << p << " not in " << depends.Out;
}

} // namespace
} // namespace korvane
