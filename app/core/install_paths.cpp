#include "app/core/install_paths.h"

#include <filesystem>
#include <system_error>

namespace korvane {

namespace fs = std::filesystem;

std::string HelpFilePathFor(const std::string& programDir,
                            const std::function<bool(const std::string&)>& exists) {
  std::string dir = programDir.empty() ? "." : programDir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  const std::string beside = (dir == "/" ? "" : dir) + "/" + kHelpFileName;
  if (exists(beside)) return beside;
  // lexically_normal keeps a relative folder relative and turns "/.." into "/".
  return (fs::path(dir) / ".." / "share" / "korvane" / kHelpFileName).lexically_normal().string();
}

std::string HelpFilePathFor(const std::string& programDir) {
  return HelpFilePathFor(programDir, [](const std::string& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
  });
}

} // namespace korvane
