#pragma once
// The diagnostic log "HHDebug.txt": one line per call, the file opened,
// appended to and closed for every line so that a crash loses nothing that
// was already logged. Write failures are ignored: logging must never change
// what the program does. The file is created owner-only (0600) and opened
// without following a symbolic link; a name that is not the user's own
// regular file gets nothing, since the log may sit in the temporary folder.
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace korvane {

// printf-style formatting into a std::string (no length limit).
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The values shown in the header block of a new log.
struct LogHeaderInfo {
  std::string ExePath;
  std::string ExeVersion;
  std::vector<std::string> Params; // the arguments after the program name
  std::string ActualCmdLine;
  std::string RunDir, ModuleName, ModuleDir, ModulePath, ModuleVersion;
  bool HhInstalled = false;
  std::string HhVerStr, HhFriendlyVerStr;
  bool IeInstalled = false;
  std::string IeVerStr, IeFriendlyVerStr;
};

class TDLogFile {
public:
  using Clock = std::function<std::time_t()>;

  // Deletes an existing file unless `append`; writes the header block when
  // `enabled` and `writeHeader`. `clock` gives the time of the line prefix
  // (the wall clock when empty).
  TDLogFile(std::string fileName, bool enabled, bool showTime, bool writeHeader, bool append,
            const LogHeaderInfo& header = {}, Clock clock = {});

  const std::string& FileName() const { return fileName_; }
  bool Enabled() const { return enabled_; }

  // Writes `text` unchanged as one line (no % expansion) when enabled.
  void Log(const std::string& text) const;
  // Formats, then writes as above.
  template <class... A>
  requires(sizeof...(A) > 0) void Log(const char* format, A... args) const {
    if (enabled_) Log(FormatText(format, args...));
  }

  // The line as it goes into the file, without the line end: "-" and "="
  // grow to 80 characters; a leading "!", "-" or "=" is dropped and the line
  // gets no time; any other line gets the locale's long time + 3 blanks.
  std::string LineText(const std::string& text) const;

private:
  void WriteHeader(const LogHeaderInfo& h) const;

  std::string fileName_;
  bool enabled_;
  bool showTime_;
  Clock clock_;
};

// The locale's long time format ("%X") of `t`, local time.
std::string LongTimeText(std::time_t t);

// The machine lines of the header (operating system, locale, decimal separator).
std::string OperatingSystemText();
std::string DefaultLocaleText();
std::string LanguageText();
std::string TerritoryText();
std::string DecimalSeparatorText();

} // namespace korvane
