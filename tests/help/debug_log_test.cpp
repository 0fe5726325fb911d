// The diagnostic log's line format and header, and the start-up probe.
#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
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

std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
  return names;
}

// Runs `fn` in a child process that is killed after ten seconds; its exit
// code, or -1 when it did not end by itself.
int InChild(const std::function<int()>& fn) {
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::alarm(10);
    ::_exit(fn());
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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

// The log may land in a folder that others can write (the temporary folder):
// it is created owner-only, and a name set up there by someone else - a
// symbolic link, another user's file, a pipe - gets nothing written to it.
TEST(DebugLogTest, LogIsOwnerOnlyAndNeverWritesThroughANameSetUpByOthers) {
  TempDir dir;
  const std::string file = dir / "HHDebug.txt";
  const mode_t oldMask = ::umask(0);
  {
    TDLogFile log(file, true, false, false, /*append=*/false);
    log.Log("mine");
  }
  ::umask(oldMask);
  struct stat st {};
  ASSERT_EQ(::lstat(file.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(ReadLines(file), std::vector<std::string>{"mine"});

  const struct {
    const char* name;
    std::function<void(const std::string& path)> plant;
  } cases[] = {
      {"link to an existing file", [&](const std::string& p) { fs::create_symlink(dir / "victim", p); }},
      {"dangling link", [&](const std::string& p) { fs::create_symlink(dir / "created", p); }},
      {"another user's file",
       [&](const std::string& p) {
         WriteFile(p, "theirs\n");
         if (::chown(p.c_str(), 65534, 65534) != 0) ADD_FAILURE() << "chown failed";
       }},
      {"named pipe", [&](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0666), 0); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) == "another user's file" && ::geteuid() != 0) continue; // cannot give a file away
    std::error_code ec;
    fs::remove(file, ec);
    WriteFile(dir / "victim", "keep\n");
    c.plant(file);
    const fs::file_status planted = fs::symlink_status(file);
    const std::string before = fs::is_regular_file(planted) ? test::ReadFile(file) : "";
    // Appending keeps the planted name, so the open itself is what is tried;
    // a child bounds the time a pipe without a reader could block it.
    const int rc = InChild([&] {
      TDLogFile log(file, true, false, false, /*append=*/true);
      log.Log("secret");
      return 0;
    });
    EXPECT_EQ(rc, 0) << "writing the log did not end";
    EXPECT_EQ(test::ReadFile(dir / "victim"), "keep\n");
    EXPECT_FALSE(fs::exists(dir / "created"));
    EXPECT_EQ(fs::symlink_status(file).type(), planted.type());
    if (fs::is_regular_file(planted)) {
      EXPECT_EQ(test::ReadFile(file), before);
    }
  }
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

// A probe file left behind (by a crash, say) does not make a writable program
// folder count as unwritable, and is left as it is; a folder the user may not
// write still sends the log to the temporary folder.
TEST(StartupProbeTest, LeftoverProbeFileDoesNotHideAWritableProgramFolder) {
  TempDir dir;
  TempDir tmp;
  const std::string leftover = dir / "$_Temp_$.$$$";
  WriteFile(leftover, "left\n");
  EXPECT_EQ(ChooseLogFolder(dir.path(), tmp.path()), dir.path());
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"$_Temp_$.$$$"}); // no probe of its own left
  EXPECT_EQ(test::ReadFile(leftover), "left\n");

  if (::geteuid() != 0) return; // the rest needs a folder of another owner
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(tmp.path().c_str(), 0777), 0);
  const int rc = InChild([&] {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) return 2;
    return ChooseLogFolder(dir.path(), tmp.path()) == tmp.path() ? 0 : 1;
  });
  EXPECT_EQ(rc, 0)
      << "an unwritable program folder with a leftover probe file did not choose the temporary folder";
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"$_Temp_$.$$$"});
}

TEST(StartupProbeTest, FolderHelpers) {
  EXPECT_EQ(FolderOf("/usr/bin/korvane"), "/usr/bin");
  EXPECT_EQ(FolderOf("/korvane"), "/");
  EXPECT_EQ(FolderOf("korvane"), "");
  EXPECT_EQ(StripTrailingSeparators("/tmp//"), "/tmp");
  EXPECT_EQ(StripTrailingSeparators("/"), "/");
  EXPECT_EQ(FileNameOf("/usr/bin/korvane"), "korvane");
}
