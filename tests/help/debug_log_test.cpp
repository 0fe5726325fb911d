// The diagnostic log's line format and header, and the start-up probe.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "help/core/debug_log.h"
#include "help/core/startup_probe.h"
#include "support/files.h"

namespace fs = std::filesystem;
using namespace korvane;

namespace {

class TempDir {
public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "korvane-help-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

std::vector<std::string> ReadLines(const std::string& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

using test::WriteFile;

constexpr std::time_t kFixedTime = 1700000000;

} // namespace

TEST(DebugLogTest, LineFormatMarkersTimePrefixAndNoExpansionWithoutArguments) {
  TempDir dir;
  const std::string file = dir / "HHDebug.txt";
  TDLogFile log(file, /*enabled=*/true, /*showTime=*/true, /*writeHeader=*/false, /*append=*/false, {},
                [] { return kFixedTime; });
  log.Log("-");
  log.Log("=");
  log.Log("!Header %d", 5);
  log.Log("plain line");
  log.Log("100% sure %d"); // no arguments: written as given
  log.Log("  returned - %d", 3);
  log.Log("-x"); // a marker that is not a whole rule line is still dropped

  const std::string time = LongTimeText(kFixedTime);
  ASSERT_FALSE(time.empty());
  const std::vector<std::string> expected = {
      std::string(79, '-'),
      std::string(79, '='),
      "Header 5",
      time + "   plain line",
      time + "   100% sure %d",
      time + "   " + "  returned - 3",
      "x",
  };
  EXPECT_EQ(ReadLines(file), expected);
}

TEST(DebugLogTest, WithoutShowTimeNoPrefix) {
  TempDir dir;
  TDLogFile log(dir / "l.txt", true, /*showTime=*/false, false, false);
  log.Log("plain");
  EXPECT_EQ(ReadLines(dir / "l.txt"), std::vector<std::string>{"plain"});
}

TEST(DebugLogTest, OldLogDeletedUnlessAppendAndNothingWrittenWhenOff) {
  TempDir dir;
  const std::string file = dir / "HHDebug.txt";

  WriteFile(file, "old\n");
  TDLogFile off(file, /*enabled=*/false, true, true, /*append=*/false);
  off.Log("ignored");
  EXPECT_FALSE(fs::exists(file)); // deleted even though logging is off

  WriteFile(file, "old\n");
  TDLogFile appending(file, true, false, /*writeHeader=*/false, /*append=*/true);
  appending.Log("new");
  EXPECT_EQ(ReadLines(file), (std::vector<std::string>{"old", "new"}));

  // A log that cannot be opened is dropped without any failure.
  TDLogFile nowhere(dir / "missing/HHDebug.txt", true, true, true, false);
  nowhere.Log("dropped");
  EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST(DebugLogTest, HeaderBlockShowsMachineAndProgramWithoutTimePrefix) {
  std::setlocale(LC_ALL, "C");
  TempDir dir;
  const std::string file = dir / "HHDebug.txt";
  LogHeaderInfo h;
  h.ExePath = "/opt/korvane/korvane";
  h.Params = {"plant.txt", "/debug"};
  h.ActualCmdLine = "korvane plant.txt /debug";
  h.HhInstalled = true;
  h.HhVerStr = "1.2";
  TDLogFile log(file, true, true, /*writeHeader=*/true, false, h, [] { return kFixedTime; });

  const auto lines = ReadLines(file);
  ASSERT_EQ(lines.size(), 27u);
  EXPECT_EQ(lines.front(), std::string(79, '='));
  EXPECT_EQ(lines.back(), std::string(79, '='));
  EXPECT_EQ(lines[1], "Log File:             " + file);
  EXPECT_EQ(lines[3].rfind("Operating System:      Linux ", 0), 0u) << lines[3];
  EXPECT_NE(lines[3].find(" (Build "), std::string::npos);
  EXPECT_EQ(lines[7], "DecimalSeparator:      .");
  EXPECT_EQ(lines[8], std::string(79, '-'));
  EXPECT_EQ(lines[9], "EXE Path =          /opt/korvane/korvane");
  EXPECT_EQ(lines[11], "Cmdline Param(s) =  plant.txt | /debug");
  EXPECT_EQ(lines[18], std::string(79, '-'));
  EXPECT_EQ(lines[19], "_hhInstalled =      True");
  EXPECT_EQ(lines[20], "_hhVerStr =         1.2");
  EXPECT_EQ(lines[23], "_ieInstalled =      False");
  const std::string time = LongTimeText(kFixedTime);
  for (const auto& line : lines) EXPECT_NE(line.rfind(time, 0), 0u) << line;
}

TEST(StartupProbeTest, DebugSwitchByArgumentInAnyCaseOrFile) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    bool on;
  };
  const Case cases[] = {
      {{"korvane"}, false},
      {{"korvane", "/debug"}, true},
      {{"korvane", "/DEBUG"}, true},
      {{"korvane", "plant.txt", "-Debug"}, true},
      {{"korvane", "debug"}, false},
      {{"korvane", "--debug"}, false},
      {{"korvane", "/debug2"}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(DebugSwitchOn(dir.path(), c.args), c.on) << c.args.back();

  WriteFile(dir / "debug.debug", "");
  EXPECT_TRUE(DebugSwitchOn(dir.path(), {"korvane"}));
}

TEST(StartupProbeTest, ModuleFoldersLogFolderAndLogFile) {
  TempDir dir;
  TempDir tmp;
  fs::create_directories(dir / "bin");
  THelpEnvironment env;
  ProbeInputs in;
  in.Args = {"./bin/korvane", "/Debug"};
  in.ModulePath = dir / "bin/korvane";
  in.TempDir = tmp.path();
  in.PathVar = dir.path(); // no viewer there
  RunStartupProbe(env, in);

  EXPECT_EQ(env._ModulePath, dir / "bin/korvane");
  EXPECT_EQ(env._ModuleName, "korvane");
  EXPECT_EQ(env._ModuleDir, dir / "bin");
  EXPECT_EQ(env._RunDir, "./bin");
  EXPECT_TRUE(env.DebugOn);
  EXPECT_FALSE(env._hhInstalled);
  EXPECT_EQ(env.LogFolder, dir / "bin");
  EXPECT_FALSE(fs::exists(dir / "bin/$_Temp_$.$$$"));
  ASSERT_TRUE(env.LogFile);
  EXPECT_EQ(env.LogFile->FileName(), dir / "bin/HHDebug.txt");
  EXPECT_TRUE(fs::exists(dir / "bin/HHDebug.txt")); // header written

  // A program folder where nothing can be created: the temporary folder.
  THelpEnvironment env2;
  in.ModulePath = dir / "gone/korvane";
  in.Args = {"korvane"};
  RunStartupProbe(env2, in);
  EXPECT_EQ(env2.LogFolder, tmp.path());
  EXPECT_EQ(env2._RunDir, dir / "gone");
  EXPECT_FALSE(env2.DebugOn);
  EXPECT_EQ(env2.LogFile->FileName(), tmp / "HHDebug.txt");
}

TEST(StartupProbeTest, FolderHelpers) {
  EXPECT_EQ(FolderOf("/usr/bin/korvane"), "/usr/bin");
  EXPECT_EQ(FolderOf("/korvane"), "/");
  EXPECT_EQ(FolderOf("korvane"), "");
  EXPECT_EQ(StripTrailingSeparators("/tmp//"), "/tmp");
  EXPECT_EQ(StripTrailingSeparators("/"), "/");
  EXPECT_EQ(FileNameOf("/usr/bin/korvane"), "korvane");
}
