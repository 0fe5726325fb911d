#pragma once
// Where the program finds the files shipped with it. In the build tree they sit
// beside the executable; once installed the executable is in <prefix>/bin and
// they are in <prefix>/share/korvane.
#include <functional>
#include <string>

namespace korvane {

inline constexpr const char* kHelpFileName = "Korvane_Help.chm";

// The help file for a program living in `programDir` (with or without a
// trailing '/'): "<programDir>/Korvane_Help.chm" when `exists` says that file
// is there, else "<programDir>/../share/korvane/Korvane_Help.chm" with the
// ".." resolved lexically. The second path is returned even when it is
// missing too, so the viewer's error names the installed place.
std::string HelpFilePathFor(const std::string& programDir,
                            const std::function<bool(const std::string&)>& exists);
// The same, asking the file system.
std::string HelpFilePathFor(const std::string& programDir);

} // namespace korvane
