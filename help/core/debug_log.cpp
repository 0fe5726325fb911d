#include "help/core/debug_log.h"

#include <fcntl.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

namespace korvane {

std::string FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), format, again);
    out.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return out;
}

std::string LongTimeText(std::time_t t) {
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return {};
  char buf[128];
  const size_t n = std::strftime(buf, sizeof buf, "%X", &local);
  return std::string(buf, n);
}

namespace {

std::string DateTimeText(std::time_t t) {
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return {};
  char buf[160];
  const size_t n = std::strftime(buf, sizeof buf, "%x %X", &local);
  return std::string(buf, n);
}

const char* YesNo(bool b) { return b ? "True" : "False"; }

std::string Joined(const std::vector<std::string>& parts, const char* sep) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += sep;
    out += parts[i];
  }
  return out;
}

std::string Langinfo(nl_item item) {
  const char* v = nl_langinfo(item);
  return v != nullptr ? v : "";
}

// "en_US.UTF-8" -> language "en", territory "US".
std::pair<std::string, std::string> SplitLocaleName(const std::string& name) {
  std::string base = name.substr(0, name.find_first_of(".@"));
  const size_t us = base.find('_');
  if (us == std::string::npos) return {base, ""};
  return {base.substr(0, us), base.substr(us + 1)};
}

std::string CurrentLocaleName() {
  const char* name = std::setlocale(LC_CTYPE, nullptr);
  return name != nullptr ? name : "C";
}

} // namespace

std::string OperatingSystemText() {
  utsname u{};
  if (uname(&u) != 0) return "unknown";
  // Same shape as "<family> <version> (Build <build>) <service pack>".
  return FormatText("%s %s (Build %s) %s", u.sysname, u.release, u.version, u.machine);
}

std::string DefaultLocaleText() {
  return FormatText("%s (%s)", CurrentLocaleName().c_str(), Langinfo(CODESET).c_str());
}

std::string LanguageText() {
  const auto parts = SplitLocaleName(CurrentLocaleName());
  return FormatText("%s (%s)", parts.first.c_str(), Langinfo(_NL_IDENTIFICATION_LANGUAGE).c_str());
}

std::string TerritoryText() {
  const auto parts = SplitLocaleName(CurrentLocaleName());
  return FormatText("%s (%s)", parts.second.c_str(), Langinfo(_NL_IDENTIFICATION_TERRITORY).c_str());
}

std::string DecimalSeparatorText() {
  const lconv* lc = std::localeconv();
  return (lc != nullptr && lc->decimal_point != nullptr) ? lc->decimal_point : ".";
}

TDLogFile::TDLogFile(std::string fileName, bool enabled, bool showTime, bool writeHeader, bool append,
                     const LogHeaderInfo& header, Clock clock)
    : fileName_(std::move(fileName)), enabled_(enabled), showTime_(showTime), clock_(std::move(clock)) {
  if (!clock_) clock_ = [] { return std::time(nullptr); };
  // An old log goes even when logging is off, so a stale file never passes
  // for the current run's.
  if (!append) std::remove(fileName_.c_str());
  if (enabled_ && writeHeader) WriteHeader(header);
}

std::string TDLogFile::LineText(const std::string& text) const {
  std::string line = text;
  if (line == "-" || line == "=") line = std::string(80, line[0]);
  if (!line.empty() && (line[0] == '!' || line[0] == '-' || line[0] == '=')) return line.substr(1);
  if (showTime_) return LongTimeText(clock_()) + "   " + line;
  return line;
}

void TDLogFile::Log(const std::string& text) const {
  if (!enabled_) return;
  const std::string line = LineText(text) + "\n";
  // The log can land in the temporary folder, where anyone may put a name
  // first: a symbolic link is not followed, a new log is readable by its owner
  // alone, and a pipe, a device or a file that is not the user's own (or has a
  // second name) gets nothing. Not blocking keeps a pipe without a reader from
  // holding the program.
  const int fd = ::open(fileName_.c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && st.st_nlink == 1) {
    std::string_view rest = line;
    while (!rest.empty()) {
      const ssize_t n = ::write(fd, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      rest.remove_prefix(static_cast<size_t>(n));
    }
  }
  ::close(fd);
}

void TDLogFile::WriteHeader(const LogHeaderInfo& h) const {
  Log("=");
  Log("!Log File:             %s", fileName_.c_str());
  Log("!Date:                 %s", DateTimeText(clock_()).c_str());
  Log("!Operating System:      %s", OperatingSystemText().c_str());
  Log("!SysLocale.DefaultLCID: %s", DefaultLocaleText().c_str());
  Log("!SysLocale.PriLangID:   %s", LanguageText().c_str());
  Log("!SysLocale.SubLangID:   %s", TerritoryText().c_str());
  Log("!DecimalSeparator:      %s", DecimalSeparatorText().c_str());
  Log("-");
  Log("!EXE Path =          %s", h.ExePath.c_str());
  Log("!EXE Version =       %s", h.ExeVersion.c_str());
  Log("!Cmdline Param(s) =  %s", Joined(h.Params, " | ").c_str());
  Log("!Actual CmdLine =  %s", h.ActualCmdLine.c_str());
  Log("!_RunDir =           %s", h.RunDir.c_str());
  Log("!_ModuleName =       %s", h.ModuleName.c_str());
  Log("!_ModuleDir =        %s", h.ModuleDir.c_str());
  Log("!_ModulePath =        %s", h.ModulePath.c_str());
  Log("!Module Version =       %s", h.ModuleVersion.c_str());
  Log("-");
  Log("!_hhInstalled =      %s", YesNo(h.HhInstalled));
  Log("!_hhVerStr =         %s", h.HhVerStr.c_str());
  Log("!_hhFriendlyVerStr = %s", h.HhFriendlyVerStr.c_str());
  Log("-");
  Log("!_ieInstalled =      %s", YesNo(h.IeInstalled));
  Log("!_ieVerStr =         %s", h.IeVerStr.c_str());
  Log("!_ieFriendlyVerStr = %s", h.IeFriendlyVerStr.c_str());
  Log("=");
}

} // namespace korvane
