#include "loader/command_line.h"

#include <cstdio>

namespace vel {

std::string TempFileName(uint32_t process_id) {
  char name[16];
  std::snprintf(name, sizeof name, "Vel-%04X.dll", unsigned((process_id >> 16) ^ (process_id & 0xFFFF)));
  return name;
}

std::u16string JoinWindowsCommandLine(const std::vector<std::u16string>& args) {
  std::u16string line;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::u16string& a = args[i];
    if (i > 0) line += u' ';
    if (!a.empty() && a.find_first_of(u" \t\"") == std::u16string::npos) {
      line += a;
      continue;
    }
    line += u'"';
    size_t backslashes = 0;
    for (char16_t c : a) {
      if (c == u'\\') {
        ++backslashes;
        continue;
      }
      // Backslashes are literal unless a double quote follows them.
      line.append(c == u'"' ? backslashes * 2 + 1 : backslashes, u'\\');
      backslashes = 0;
      line += c;
    }
    line.append(backslashes * 2, u'\\'); // before the closing quote
    line += u'"';
  }
  return line;
}

std::u16string_view SkipProgramName(std::u16string_view s) {
  size_t i = 0;
  while (i < s.size() && s[i] == u' ') ++i;
  if (i < s.size() && s[i] == u'"') {
    const size_t close = s.find(u'"', i + 1);
    i = close == std::u16string_view::npos ? s.size() : close + 1;
  } else {
    const size_t space = s.find(u' ', i);
    i = space == std::u16string_view::npos ? s.size() : space + 1;
  }
  while (i < s.size() && s[i] == u' ') ++i;
  return s.substr(i);
}

std::u16string BuildStubCommandLine(std::u16string_view version_arguments, std::u16string_view trailer,
                                    std::u16string_view own_arguments, std::u16string_view own_path) {
  std::u16string line;
  line.reserve(version_arguments.size() + trailer.size() + own_arguments.size() + own_path.size() + 64);
  line.append(version_arguments).append(u" ").append(trailer).append(u" ").append(own_arguments);
  line.append(u" /d:\"").append(own_path).append(u"\"");
  return line;
}

} // namespace vel
