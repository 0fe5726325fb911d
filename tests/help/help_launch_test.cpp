// Help paths, result codes, messages, the help hook and the viewer launch.
// Viewers are stand-in scripts in a PATH folder of the test's own; each
// writes its arguments to "<script>.args" and ends at once.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "help/core/help_hook.h"
#include "help/core/help_project.h"
#include "help/core/startup_probe.h"

namespace fs = std::filesystem;
using namespace korvane;

namespace {

std::vector<std::string> ReadLines(const std::string& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class HelpLaunchTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "korvane-help-XXXXXX").string();
    dir_ = ::mkdtemp(tmpl.data());
    bin_ = dir_ + "/bin";
    fs::create_directories(bin_);
    THelpEnvironment& env = HelpEnv();
    env.ShowMessage = [this](const std::string& title, const std::string& text) {
      titles_.push_back(title);
      messages_.push_back(text);
    };
    ProbeInputs in;
    in.Args = {"korvane", "/debug"};
    in.ModulePath = dir_ + "/korvane";
    in.TempDir = dir_;
    in.PathVar = bin_;
    RunStartupProbe(env, in); // log on: HHDebug.txt in dir_
    log_ = dir_ + "/HHDebug.txt";
    file_ = dir_ + "/Korvane_Help.chm";
  }
  void TearDown() override {
    THelpEnvironment& env = HelpEnv();
    env.ShowMessage = nullptr;
    env.LogFile.reset();
    env._hhInstalled = false;
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // A stand-in viewer; the probe must run again to see it.
  void AddViewer(const std::string& name, const std::string& body = {}) {
    const std::string path = bin_ + "/" + name;
    std::ofstream(path) << (body.empty() ? "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.args\"\n" : body);
    ::chmod(path.c_str(), 0755);
  }
  void Reprobe() {
    ProbeInputs in;
    in.Args = {"korvane", "/debug"};
    in.ModulePath = dir_ + "/korvane";
    in.TempDir = dir_;
    in.PathVar = bin_;
    in.ExeVersion = "1.48.0";
    RunStartupProbe(HelpEnv(), in);
  }
  // Waits for the viewer started last (it ends at once) and returns its arguments.
  std::vector<std::string> ArgsOf(const std::string& name) {
    const auto& running = HelpEnv().Launcher.Running();
    EXPECT_FALSE(running.empty());
    if (running.empty()) return {};
    int status = 0;
    EXPECT_EQ(::waitpid(running.back(), &status, 0), running.back());
    return ReadLines(bin_ + "/" + name + ".args");
  }
  bool LogHas(const std::string& line) const {
    for (const auto& l : ReadLines(log_))
      if (l.size() >= line.size() && l.compare(l.size() - line.size(), line.size(), line) == 0) return true;
    return false;
  }

  std::string dir_, bin_, log_, file_;
  std::vector<std::string> titles_, messages_;
};

} // namespace

TEST(HelpPathTest, BuildsPathsForEveryMode) {
  struct Case {
    const char* file;
    const char* topic;
    const char* window;
    int mode;
    const char* path;
  };
  const Case cases[] = {
      {"/opt/k/Korvane_Help.chm", "", "", 0, "/opt/k/Korvane_Help.chm"},
      {"/opt/k/Korvane_Help.chm", "main_window.html", "", 0, "/opt/k/Korvane_Help.chm::/main_window.html"},
      {"/opt/k/Korvane_Help.chm", "/main_window.html", "", 0, "/opt/k/Korvane_Help.chm::/main_window.html"},
      {"/opt/k/Korvane_Help.chm", "dir\\page.html", "", 0, "/opt/k/Korvane_Help.chm::/dir/page.html"},
      {"/opt/my%20help/K.chm  ", "a%20b.htm ", "main%20win ", 0, "/opt/my help/K.chm::/a b.htm>main win"},
      {"/opt/k/K.chm", "", "wnd", 0, "/opt/k/K.chm>wnd"},
      {"/opt/k/K.chm", "a.html", "wnd", 1, "mk:@MSITStore:/opt/k/K.chm::/a.html>wnd"},
      {"/opt/k/K.chm", "a.html", "", 2, "ms-its:/opt/k/K.chm::/a.html"},
      {"/opt/k/K.chm", "", "", 2, "ms-its:/opt/k/K.chm"},
      {"/opt/k/K.chm%20%20", "", "", 1, "mk:@MSITStore:/opt/k/K.chm"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(HelpPath(c.file, c.topic, c.window, c.mode), c.path)
        << c.file << " " << c.topic << " " << c.mode;
}

TEST(HelpPathTest, ErrorTextsAndMenuMessages) {
  EXPECT_EQ(HHErrorText(1), "MS Html Help is not installed on this PC.");
  EXPECT_EQ(HHErrorText(2), "System file KeyHH.EXE was not found in the Windows folder.");
  EXPECT_EQ(HHErrorText(3), "System file HH.EXE was not found in the Windows folder.");
  EXPECT_EQ(HHErrorText(7), "Unknown error returned by HHHelpContext");
  EXPECT_EQ(HelpMenuMessage(0), "");
  EXPECT_EQ(HelpMenuMessage(1), "HTML Help Does not appear to be installed");
  EXPECT_EQ(HelpMenuMessage(2), "Could not find the HTML Help Utility Key");
  EXPECT_EQ(HelpMenuMessage(3), "Could not find the HTML Help Utility");
  EXPECT_EQ(SystemErrorText(ENOENT), "[Error:2] File Not Found");
  EXPECT_EQ(SystemErrorText(EACCES), "[Error:13] Access Denied");
  EXPECT_EQ(SystemErrorText(EINVAL), "[Error:22] General Failure");
}

TEST_F(HelpLaunchTest, NoViewerGivesOneInEveryMode) {
  ASSERT_FALSE(HelpEnv()._hhInstalled);
  for (int mode : {0, 1, 2}) EXPECT_EQ(HHHelpContext(file_, 40, "", mode), 1) << mode;
  EXPECT_EQ(HelpTopic(file_, "", "", 0), 1);
  EXPECT_TRUE(messages_.empty()); // the calls themselves show nothing

  EXPECT_EQ(ShowHelpContext(40), 1); // no hook: the default file, mode 0, with the error shown
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "MS Html Help is not installed on this PC.");
  EXPECT_EQ(titles_[0], "Korvane");
  EXPECT_TRUE(HelpEnv().Launcher.Running().empty());
  EXPECT_TRUE(LogHas("HHHelpContext(\"" + dir_ + "/Korvane_Help.chm\", 40, \"\", 0)"));
  EXPECT_TRUE(LogHas("ShowContext(\"" + dir_ + "/Korvane_Help.chm\", 40)"));
  EXPECT_TRUE(LogHas("  returned - 1"));
  EXPECT_TRUE(LogHas("HHShowError(1), \"MS Html Help is not installed on this PC.\""));
}

TEST_F(HelpLaunchTest, ModeProgramMissingGivesTwoOrThreeWithItsMessage) {
  AddViewer("xdg-open");
  Reprobe();
  ASSERT_TRUE(HelpEnv()._hhInstalled);
  {
    THookHelpSystem hook(file_, "", 1);
    bool callHelp = true;
    EXPECT_TRUE(hook.HelpHook(HELP_CONTEXT, 40, callHelp));
    EXPECT_FALSE(callHelp);
    EXPECT_EQ(hook.ShowHelpContext(30), 2);
  }
  ASSERT_EQ(messages_.size(), 2u);
  EXPECT_EQ(messages_[0], "System file KeyHH.EXE was not found in the Windows folder.");
  EXPECT_TRUE(LogHas("HHShowError(2), \"System file KeyHH.EXE was not found in the Windows folder.\""));
  EXPECT_TRUE(LogHas("ShowContext(\"mk:@MSITStore:" + file_ + "\", 40)"));

  THookHelpSystem hook(file_, "", 2);
  EXPECT_EQ(hook.ShowHelpContext(20), 3);
  EXPECT_EQ(messages_.back(), "System file HH.EXE was not found in the Windows folder.");
  EXPECT_TRUE(HelpEnv().Launcher.Running().empty()); // nothing was started
}

TEST_F(HelpLaunchTest, ContextNumbersOpenTheirPagesWhereTheViewerTakesAPage) {
  AddViewer("kchmviewer");
  AddViewer("xchm");
  Reprobe();
  struct Case {
    int context;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {40, {"-showPage", "/main_window.html", file_}},
      {30, {"-showPage", "/configuration.html", file_}},
      {20, {"-showPage", "/comms_monitor.html", file_}},
      {25, {"-showPage", "/modbus_comms.html", file_}},
      {35, {"-showPage", "/line_analyzer.html", file_}},
      {999, {file_}}, // unknown number: the file's default page
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HHHelpContext(file_, c.context, "", 0), 0); // mode 0 prefers kchmviewer
    EXPECT_EQ(ArgsOf("kchmviewer"), c.args) << c.context;
  }
  EXPECT_EQ(HelpTopic(file_, "sub\\serial_linux.html", "", 1), 0);
  EXPECT_EQ(ArgsOf("kchmviewer"), (std::vector<std::string>{"-showPage", "/sub/serial_linux.html", file_}));

  // xchm takes no page: the file alone.
  EXPECT_EQ(HHHelpContext(file_, 40, "", 2), 0);
  EXPECT_EQ(ArgsOf("xchm"), std::vector<std::string>{file_});
  EXPECT_TRUE(messages_.empty());
}

TEST_F(HelpLaunchTest, DesktopHandlerIsTheLastChoiceOfModeZero) {
  AddViewer("xdg-open");
  Reprobe();
  EXPECT_EQ(HelpTopic(file_, "", "", 0), 0);
  EXPECT_EQ(ArgsOf("xdg-open"), std::vector<std::string>{file_});
}

TEST_F(HelpLaunchTest, ViewerThatCannotStartShowsTheStartFailure) {
  AddViewer("kchmviewer", "not a program\n"); // executable bit, but no interpreter line
  Reprobe();
  EXPECT_EQ(HHHelpContext(file_, 40, "", 1), 0);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "Function ShellExecute(" + bin_ + "/kchmviewer, -showPage /main_window.html " +
                              file_ + ")\nReturned: [Error:8] Not A Windows Or MSDos Program");
  EXPECT_TRUE(HelpEnv().Launcher.Running().empty());
}

TEST_F(HelpLaunchTest, HookInstallsChainsHandlesThreeCommandsAndRestores) {
  int previousCalls = 0;
  ApplicationHelpHandler() = [&](uint32_t, intptr_t, bool&) {
    ++previousCalls;
    return false;
  };
  {
    THookHelpSystem hook(file_, "", 0);
    EXPECT_EQ(ProcessHelpHook(), &hook);
    EXPECT_TRUE(LogHas("THookHelpSystem.Create(\"" + file_ + "\",\"\", 0)"));
    std::vector<int> contexts;
    std::vector<std::pair<int, HelpPoint>> popups;
    hook.OnHelpContext = [&](int id) { contexts.push_back(id); };
    hook.OnHelpContextPopup = [&](int id, HelpPoint p) { popups.push_back({id, p}); };

    bool callHelp = true;
    // The installed handler is the hook; chaining is off.
    EXPECT_TRUE(ApplicationHelpHandler()(HELP_CONTEXT, 40, callHelp));
    EXPECT_FALSE(callHelp);
    EXPECT_EQ(contexts, std::vector<int>{40});
    EXPECT_EQ(previousCalls, 0);

    // x = -5, y = 300 in the two halves of the data.
    const intptr_t point = static_cast<intptr_t>((300u << 16) | 0xfffbu);
    callHelp = true;
    EXPECT_TRUE(hook.HelpHook(HELP_SETPOPUP_POS, point, callHelp));
    EXPECT_FALSE(callHelp);
    callHelp = true;
    hook.HelpHook(HELP_CONTEXTPOPUP, 25, callHelp);
    EXPECT_FALSE(callHelp);
    ASSERT_EQ(popups.size(), 1u);
    EXPECT_EQ(popups[0].first, 25);
    EXPECT_EQ(popups[0].second.X, -5);
    EXPECT_EQ(popups[0].second.Y, 300);

    callHelp = false;
    EXPECT_TRUE(hook.HelpHook(HELP_KEY, 0, callHelp));
    EXPECT_TRUE(callHelp); // handed on

    hook.ChainHandler = true;
    EXPECT_FALSE(hook.HelpHook(HELP_FINDER, 0, callHelp)); // the previous handler's result
    EXPECT_EQ(previousCalls, 1);
    EXPECT_TRUE(LogHas("THookHelpSystem.HelpHook(HELP_SETPOPUP_POS, " + std::to_string(point) + ")"));
  }
  EXPECT_EQ(ProcessHelpHook(), nullptr);
  EXPECT_TRUE(LogHas("THookHelpSystem.Destroy"));
  bool callHelp = true;
  EXPECT_FALSE(ApplicationHelpHandler()(HELP_CONTEXT, 40, callHelp)); // the old handler is back
  EXPECT_EQ(previousCalls, 2);
  ApplicationHelpHandler() = nullptr;
}

TEST(HelpProjectTest, MapAndAliasGiveContextPages) {
  const std::string project = "[OPTIONS]\nTitle=x\n"
                              "[ALIAS]\n"
                              "IDH_A = a.htm\n"
                              "IDH_B=sub\\b.htm\r\n"
                              "IDH_NONUMBER=c.htm\n"
                              "; comment=x.htm\n"
                              "[MAP]\n"
                              "#define IDH_A 40\n"
                              "#define IDH_B 0x1E\r\n"
                              "#define IDH_NOPAGE 7\n"
                              "#define IDH_BAD 12x\n"
                              "[FILES]\nIDH_X=ignored.htm\n";
  const std::map<int, std::string> expected = {{40, "/a.htm"}, {30, "/sub/b.htm"}};
  EXPECT_EQ(ParseHelpProjectMap(project), expected);

  const auto& pages = KorvaneHelpContextPages();
  const std::map<int, std::string> own = {{40, "/main_window.html"},
                                          {30, "/configuration.html"},
                                          {20, "/comms_monitor.html"},
                                          {25, "/modbus_comms.html"},
                                          {35, "/line_analyzer.html"}};
  EXPECT_EQ(pages, own);
}
