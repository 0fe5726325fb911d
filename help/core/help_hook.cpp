#include "help/core/help_hook.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <utility>

#include "help/core/startup_probe.h"

namespace korvane {

std::string HelpCommandName(uint32_t command) {
  switch (command) {
  case HELP_CONTEXT:
    return "HELP_CONTEXT";
  case HELP_QUIT:
    return "HELP_QUIT";
  case HELP_INDEX:
    return "HELP_INDEX or HELP_CONTENTS";
  case HELP_HELPONHELP:
    return "HELP_HELPONHELP";
  case HELP_SETINDEX:
    return "HELP_SETINDEX or HELP_SETCONTENTS";
  case HELP_CONTEXTPOPUP:
    return "HELP_CONTEXTPOPUP";
  case HELP_FORCEFILE:
    return "HELP_FORCEFILE";
  case HELP_KEY:
    return "HELP_KEY";
  case HELP_COMMAND:
    return "HELP_COMMAND";
  case HELP_PARTIALKEY:
    return "HELP_PARTIALKEY";
  case HELP_MULTIKEY:
    return "HELP_MULTIKEY";
  case HELP_SETWINPOS:
    return "HELP_SETWINPOS";
  case HELP_CONTEXTMENU:
    return "HELP_CONTEXTMENU";
  case HELP_FINDER:
    return "HELP_FINDER";
  case HELP_WM_HELP:
    return "HELP_WM_HELP";
  case HELP_SETPOPUP_POS:
    return "HELP_SETPOPUP_POS";
  default:
    return std::to_string(command);
  }
}

namespace {

std::string CleanPart(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 3, "%20") == 0) {
      out += ' ';
      i += 2;
    } else {
      out += text[i];
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

void ShowUserMessage(const std::string& text) {
  THelpEnvironment& env = HelpEnv();
  if (env.ShowMessage) {
    env.ShowMessage(env.AppTitle, text);
  } else {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
  }
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) out += (i > 0 ? " " : "") + parts[i];
  return out;
}

// Starts the viewer that `mode` names on `target.File` at `page`.
int LaunchViewer(const HelpTarget& target, const std::string& page, int mode) {
  THelpEnvironment& env = HelpEnv();
  if (!env._hhInstalled) return kHelpNotInstalled;
  std::optional<ViewerInfo> viewer;
  if (mode == 1) {
    viewer = env.Launcher.Find(ViewerKind::Kchmviewer);
    if (!viewer) return kHelpKeyHHMissing;
  } else if (mode == 2) {
    viewer = env.Launcher.Find(ViewerKind::Xchm);
    if (!viewer) return kHelpHHMissing;
  } else {
    // Present at start-up but gone since: the same answer as never present.
    viewer = env.Launcher.FirstViewer();
    if (!viewer) return kHelpNotInstalled;
  }
  const LaunchResult r = env.Launcher.Launch(*viewer, target.File, page);
  if (!r.Started) {
    // The failure is shown here, once; the result stays "shown" so that the
    // caller does not add a second, misleading message.
    DebugMessage(FormatText("Function ShellExecute(%s)\nReturned: %s",
                            (r.Program + ", " + Joined(r.Args)).c_str(), SystemErrorText(r.Error).c_str()));
  }
  return kHelpShown;
}

} // namespace

HelpTarget CleanHelpTarget(const std::string& file, const std::string& topic, const std::string& window) {
  HelpTarget t{CleanPart(file), CleanPart(topic), CleanPart(window)};
  if (!t.Topic.empty()) {
    for (char& c : t.Topic)
      if (c == '\\') c = '/';
    if (t.Topic[0] != '/') t.Topic.insert(t.Topic.begin(), '/');
  }
  return t;
}

std::string HelpPathText(const HelpTarget& target, int mode) {
  std::string path = target.File;
  if (!target.Topic.empty()) path += "::" + target.Topic;
  if (!target.Window.empty()) path += ">" + target.Window;
  if (mode == 2) return "ms-its:" + path;
  if (mode == 1) return "mk:@MSITStore:" + path;
  return path;
}

std::string HelpPath(const std::string& file, const std::string& topic, const std::string& window, int mode) {
  return HelpPathText(CleanHelpTarget(file, topic, window), mode);
}

int ShowContext(const HelpTarget& target, int contextId, int mode) {
  DebugLog("ShowContext(\"%s\", %d)", HelpPathText(target, mode).c_str(), contextId);
  const auto& pages = HelpEnv().ContextPages;
  const auto it = pages.find(contextId);
  // An unknown context number still opens the file, at its default page.
  const int result = LaunchViewer(target, it != pages.end() ? it->second : std::string(), mode);
  DebugLog("  returned - %d", result);
  return result;
}

int ShowTopic(const HelpTarget& target, int mode) {
  DebugLog("ShowTopic(\"%s\", %d)", HelpPathText(target, mode).c_str(), mode);
  const int result = LaunchViewer(target, target.Topic, mode);
  DebugLog("  returned - %d", result);
  return result;
}

int HHHelpContext(const std::string& helpFile, int contextId, const std::string& windowName, int mode) {
  DebugLog("HHHelpContext(\"%s\", %d, \"%s\", %d)", helpFile.c_str(), contextId, windowName.c_str(), mode);
  const int result = ShowContext(CleanHelpTarget(helpFile, "", windowName), contextId, mode);
  DebugLog("  returned - %d", result);
  return result;
}

int HHHelpContext(const std::string& helpFile, const std::string& topicPath, const std::string& windowName,
                  int mode) {
  DebugLog("HHHelpContext(\"%s\", %s, \"%s\", %d)", helpFile.c_str(), topicPath.c_str(), windowName.c_str(),
           mode);
  const int result = ShowTopic(CleanHelpTarget(helpFile, topicPath, windowName), mode);
  DebugLog("  returned - %d", result);
  return result;
}

std::string HHErrorText(int code) {
  switch (code) {
  case 1:
    return "MS Html Help is not installed on this PC.";
  case 2:
    return "System file KeyHH.EXE was not found in the Windows folder.";
  case 3:
    return "System file HH.EXE was not found in the Windows folder.";
  default:
    return "Unknown error returned by HHHelpContext";
  }
}

void HHShowError(int code) {
  if (code == kHelpShown) return;
  const std::string text = HHErrorText(code);
  ShowUserMessage(text);
  DebugLog("HHShowError(%d), \"%s\"", code, text.c_str());
}

std::string HelpMenuMessage(int code) {
  switch (code) {
  case 0:
    return {};
  case 1:
    return "HTML Help Does not appear to be installed";
  case 2:
    return "Could not find the HTML Help Utility Key";
  case 3:
    return "Could not find the HTML Help Utility";
  default:
    return HHErrorText(code);
  }
}

std::string SystemErrorText(int error) {
  const char* words = "General Failure";
  switch (error) {
  case ENOENT:
    words = "File Not Found";
    break;
  case ENOTDIR:
    words = "Path Not Found";
    break;
  case EACCES:
  case EPERM:
    words = "Access Denied";
    break;
  case ENOMEM:
    words = "Insufficient Memory";
    break;
  case EROFS:
    words = "Media Is Write Protected";
    break;
  case ENXIO:
  case ENODEV:
    words = "Device Not Ready";
    break;
  case ETXTBSY:
  case EBUSY:
    words = "File In Use";
    break;
  case ENOSPC:
  case EDQUOT:
    words = "Disk Full";
    break;
  case ENOEXEC:
    words = "Not A Windows Or MSDos Program";
    break;
  case EIO:
    words = "Corrupt File Or Disk";
    break;
  default:
    break;
  }
  return FormatText("[Error:%d] %s", error, words);
}

void DebugLog(const std::string& text) {
  const auto& log = HelpEnv().LogFile;
  if (log) log->Log(text);
}

void DebugMessage(const std::string& text) {
  ShowUserMessage(text);
  DebugLog(text);
}

AppHelpHandler& ApplicationHelpHandler() {
  static AppHelpHandler handler;
  return handler;
}

namespace {
THookHelpSystem*& CurrentHook() {
  static THookHelpSystem* hook = nullptr;
  return hook;
}
} // namespace

THookHelpSystem* ProcessHelpHook() { return CurrentHook(); }

THookHelpSystem::THookHelpSystem(std::string helpFile, std::string windowName, int mode)
    : HelpFile(std::move(helpFile)), WindowName(std::move(windowName)), Mode(mode) {
  previous_ = ApplicationHelpHandler();
  ApplicationHelpHandler() = [this](uint32_t command, intptr_t data, bool& callHelp) {
    return HelpHook(command, data, callHelp);
  };
  previousHook_ = CurrentHook();
  CurrentHook() = this;
  active_ = true;
  DebugLog("THookHelpSystem.Create(\"%s\",\"%s\", %d)", HelpFile.c_str(), WindowName.c_str(), Mode);
}

THookHelpSystem::~THookHelpSystem() {
  if (Mode == 0) HelpEnv().Launcher.CloseAll();
  ApplicationHelpHandler() = previous_;
  if (CurrentHook() == this) CurrentHook() = previousHook_;
  active_ = false;
  DebugLog("THookHelpSystem.Destroy");
}

int THookHelpSystem::ShowHelpContext(int contextId) {
  if (OnHelpContext) {
    OnHelpContext(contextId);
    return kHelpShown;
  }
  const int result = HHHelpContext(HelpFile, contextId, WindowName, Mode);
  HHShowError(result);
  return result;
}

bool THookHelpSystem::HelpHook(uint32_t command, intptr_t data, bool& callHelp) {
  DebugLog("THookHelpSystem.HelpHook(%s, %ld)", HelpCommandName(command).c_str(), static_cast<long>(data));
  bool result = true;
  if (ChainHandler && previous_) result = previous_(command, data, callHelp);
  switch (command) {
  case HELP_CONTEXT:
    ShowHelpContext(static_cast<int>(data));
    callHelp = false;
    break;
  case HELP_CONTEXTPOPUP:
    if (OnHelpContextPopup) {
      OnHelpContextPopup(static_cast<int>(data), PopupPos);
    } else {
      ShowHelpContext(static_cast<int>(data));
    }
    callHelp = false;
    break;
  case HELP_SETPOPUP_POS: {
    // The point travels as two signed 16-bit halves: x low, y high.
    const auto bits = static_cast<uint32_t>(data);
    PopupPos.X = static_cast<int16_t>(bits & 0xffffu);
    PopupPos.Y = static_cast<int16_t>(bits >> 16);
    callHelp = false;
    break;
  }
  default:
    callHelp = true;
    break;
  }
  return result;
}

std::string DefaultHelpFilePath() {
  const std::string& dir = HelpEnv()._ModuleDir;
  return (dir == "/" ? "" : dir) + "/Korvane_Help.chm";
}

int ShowHelpContext(int contextId) {
  if (THookHelpSystem* hook = ProcessHelpHook()) return hook->ShowHelpContext(contextId);
  const int result = HHHelpContext(DefaultHelpFilePath(), contextId, "", 0);
  HHShowError(result);
  return result;
}

int HelpTopic(const std::string& path, const std::string& topic, const std::string& window, int mode) {
  return HHHelpContext(path, topic, window, mode);
}

} // namespace korvane
