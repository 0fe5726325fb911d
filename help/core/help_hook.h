#pragma once
// Opening the help file: the help hook the main window creates, the context
// and topic calls with their result codes, the error messages and the
// diagnostic messages. No Qt here: messages go through HelpEnv().ShowMessage.
//
// Launch modes on Linux (the names are those of the Windows programs the
// modes stand for):
//   0  the first viewer found in PATH: kchmviewer, xchm, then xdg-open;
//   1  ("KeyHH.EXE") kchmviewer; result 2 when it is not in PATH;
//   2  ("HH.EXE") xchm; result 3 when it is not in PATH.
// Result 1 whenever no viewer at all was found by the start-up probe.
#include <cstdint>
#include <functional>
#include <string>

#include "help/core/debug_log.h"

namespace korvane {

// Result codes of HHHelpContext, ShowContext, ShowTopic and HelpTopic.
constexpr int kHelpShown = 0;
constexpr int kHelpNotInstalled = 1;
constexpr int kHelpKeyHHMissing = 2;
constexpr int kHelpHHMissing = 3;

// Help commands as the application's help handler receives them.
constexpr uint32_t HELP_CONTEXT = 0x0001;
constexpr uint32_t HELP_QUIT = 0x0002;
constexpr uint32_t HELP_INDEX = 0x0003; // also HELP_CONTENTS
constexpr uint32_t HELP_HELPONHELP = 0x0004;
constexpr uint32_t HELP_SETINDEX = 0x0005; // also HELP_SETCONTENTS
constexpr uint32_t HELP_CONTEXTPOPUP = 0x0008;
constexpr uint32_t HELP_FORCEFILE = 0x0009;
constexpr uint32_t HELP_CONTEXTMENU = 0x000a;
constexpr uint32_t HELP_FINDER = 0x000b;
constexpr uint32_t HELP_WM_HELP = 0x000c;
constexpr uint32_t HELP_SETPOPUP_POS = 0x000d;
constexpr uint32_t HELP_KEY = 0x0101;
constexpr uint32_t HELP_COMMAND = 0x0102;
constexpr uint32_t HELP_PARTIALKEY = 0x0105;
constexpr uint32_t HELP_MULTIKEY = 0x0201;
constexpr uint32_t HELP_SETWINPOS = 0x0203;

// "HELP_CONTEXT", ..., "HELP_INDEX or HELP_CONTENTS"; an unknown command
// gives its number in decimal.
std::string HelpCommandName(uint32_t command);

// The file, topic and window of a help request after cleaning: every "%20"
// becomes a blank and trailing blanks go; the topic uses '/' and starts
// with one (or is empty).
struct HelpTarget {
  std::string File;
  std::string Topic;
  std::string Window;
};
HelpTarget CleanHelpTarget(const std::string& file, const std::string& topic, const std::string& window);
// The help path of a target: file ["::" topic] [">" window], prefixed with
// "mk:@MSITStore:" for mode 1 and "ms-its:" for mode 2.
std::string HelpPathText(const HelpTarget& target, int mode);
// Both steps at once.
std::string HelpPath(const std::string& file, const std::string& topic, const std::string& window, int mode);

// Opens the target at a context number (its page from the help project's
// map) or at its topic. Results 0..3 as above.
int ShowContext(const HelpTarget& target, int contextId, int mode);
int ShowTopic(const HelpTarget& target, int mode);

int HHHelpContext(const std::string& helpFile, int contextId, const std::string& windowName, int mode);
int HHHelpContext(const std::string& helpFile, const std::string& topicPath, const std::string& windowName,
                  int mode);

// The message of a non-zero result code, and showing it (nothing for 0).
std::string HHErrorText(int code);
void HHShowError(int code);

// The Help menu command's own messages for a result code (empty for 0).
std::string HelpMenuMessage(int code);

// "[Error:<n>] <words>" for an errno value of a failed start.
std::string SystemErrorText(int error);

// One line into the diagnostic log when logging is on.
void DebugLog(const std::string& text);
template <class... A>
requires(sizeof...(A) > 0) void DebugLog(const char* format, A... args) {
  DebugLog(FormatText(format, args...));
}
// Shows the text to the user and logs it when logging is on.
void DebugMessage(const std::string& text);

struct HelpPoint {
  int X = 0;
  int Y = 0;
};

// The application's help handler: takes a help command and its data, sets
// `callHelp` to false when it handled the command, returns its result.
using AppHelpHandler = std::function<bool(uint32_t command, intptr_t data, bool& callHelp)>;
// The handler in force (empty: none). THookHelpSystem replaces it.
AppHelpHandler& ApplicationHelpHandler();

class THookHelpSystem {
public:
  // Saves the application's help handler and installs HelpHook in its place.
  THookHelpSystem(std::string helpFile, std::string windowName, int mode);
  // Puts the saved handler back; in mode 0 asks the viewers it started to close.
  ~THookHelpSystem();
  THookHelpSystem(const THookHelpSystem&) = delete;
  THookHelpSystem& operator=(const THookHelpSystem&) = delete;

  bool HelpHook(uint32_t command, intptr_t data, bool& callHelp);

  // What HELP_CONTEXT does, returning the result code (0 when a context
  // callback took it).
  int ShowHelpContext(int contextId);

  std::string HelpFile;
  std::string WindowName;
  int Mode;
  bool ChainHandler = false; // call the saved handler first
  HelpPoint PopupPos;        // set by HELP_SETPOPUP_POS
  std::function<void(int contextId)> OnHelpContext;
  std::function<void(int contextId, HelpPoint pos)> OnHelpContextPopup;
  bool Active() const { return active_; }

private:
  AppHelpHandler previous_;
  THookHelpSystem* previousHook_;
  bool active_ = false;
};

// The hook created last and still alive, or null.
THookHelpSystem* ProcessHelpHook();

// For the windows: F1 with a window's help context number. Goes through the
// process's hook (its file, window and mode, HHShowError on failure); without
// a hook, through "<_ModuleDir>/Korvane_Help.chm" in mode 0.
int ShowHelpContext(int contextId);
// For the Help menu: the topic call without any message; the caller shows
// HelpMenuMessage(result).
int HelpTopic(const std::string& path, const std::string& topic, const std::string& window, int mode);
// "<_ModuleDir>/Korvane_Help.chm".
std::string DefaultHelpFilePath();

} // namespace korvane
