#pragma once
// The process-wide help and diagnostics state, set once by the start-up probe
// before any window exists: where the program lives, whether logging is on,
// which help viewer is present, the log object and how messages reach the user.
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "help/core/debug_log.h"
#include "help/core/help_project.h"
#include "help/core/viewer_launcher.h"

namespace korvane {

// Shows a warning message to the user (title, text). The windows layer shows
// a message box; without one the text goes to standard error.
using HelpMessageFn = std::function<void(const std::string& title, const std::string& text)>;

struct THelpEnvironment {
  // Folders carry no trailing '/' (the root folder stays "/").
  std::string _ModulePath;       // full path of the running program file
  std::string _ModuleName;       // its file name alone
  std::string _ModuleDir;        // its folder
  std::string _RunDir;           // folder of argv[0] as started (_ModuleDir when argv[0] has no folder)
  bool _hhInstalled = false;     // a help viewer was found in PATH
  std::string _hhVerStr;         // its package version, where it can be read
  std::string _hhFriendlyVerStr; // "<program> <version>"
  // No browser engine takes part on Linux: these stay false and empty.
  bool _ieInstalled = false;
  std::string _ieVerStr;
  std::string _ieFriendlyVerStr;

  bool DebugOn = false;
  bool LogShowTime = true;
  bool LogWriteHeader = true;
  bool LogAppend = false;

  std::string LogFolder;
  std::vector<std::string> Args; // the command line, argv[0] first
  std::string AppTitle = "Korvane";

  std::unique_ptr<TDLogFile> LogFile; // null before the probe: nothing is logged
  ViewerLauncher Launcher;
  // Context number -> page, for viewers that cannot be given a context number.
  std::map<int, std::string> ContextPages = KorvaneHelpContextPages();
  HelpMessageFn ShowMessage; // empty: standard error
};

// The one environment of the process.
THelpEnvironment& HelpEnv();

// What the probe reads from the machine; tests fill in their own.
struct ProbeInputs {
  std::vector<std::string> Args; // argv, argv[0] first
  std::string ModulePath;        // empty: /proc/self/exe
  std::string TempDir;           // empty: $TMPDIR, else /tmp
  std::string PathVar;           // empty: the process's PATH
  std::string ExeVersion;        // shown in the log header
};

// Runs the probe into `env` and creates its log object "<LogFolder>/HHDebug.txt".
void RunStartupProbe(THelpEnvironment& env, const ProbeInputs& in);
// The same for the program's own start: argv, /proc/self/exe, environment.
void InitHelpSystem(int argc, char** argv);

// Pieces of the probe.
std::string StripTrailingSeparators(const std::string& folder);
std::string FolderOf(const std::string& path); // "" when there is no '/'
std::string FileNameOf(const std::string& path);
std::string ReadModulePath();  // /proc/self/exe, empty when unreadable
std::string TemporaryFolder(); // $TMPDIR when set and not empty, else /tmp
// `moduleDir` when "$_Temp_$.$$$" can be created there (it is deleted again),
// else `tempDir`. A leftover "$_Temp_$.$$$" stays, and a probe file of a
// unique name decides instead.
std::string ChooseLogFolder(const std::string& moduleDir, const std::string& tempDir);
// "debug.debug" in `moduleDir`, or an argument after argv[0] equal to "/debug"
// or "-debug" in any case.
bool DebugSwitchOn(const std::string& moduleDir, const std::vector<std::string>& args);

} // namespace korvane
