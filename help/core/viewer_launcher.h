#pragma once
// Starting a help viewer on Linux. The compiled help file is shown by one of
// Debian's CHM viewers (kchmviewer, xchm) or by the desktop's handler for the
// file (xdg-open). Programs are looked up in a PATH string held by the
// launcher, so tests can point it at a folder of their own. A viewer is
// started and forgotten: nothing here waits for it; finished viewers are
// reaped with waitpid(WNOHANG) on the next launch or by Reap().
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace korvane {

enum class ViewerKind { Kchmviewer, Xchm, DesktopOpen };

struct ViewerInfo {
  ViewerKind Kind = ViewerKind::DesktopOpen;
  std::string Program; // "kchmviewer", "xchm" or "xdg-open"
  std::string Path;    // full path found in PATH
};

struct LaunchResult {
  bool Started = false;
  pid_t Pid = -1;
  int Error = 0; // errno of a failed start
  std::string Program;
  std::vector<std::string> Args; // without the program itself
};

// The program name of a viewer kind and the Debian package that ships it.
const char* ViewerProgram(ViewerKind kind);
const char* ViewerPackage(ViewerKind kind);

// Full path of an executable regular file `name` in the ':'-separated
// `pathVar`; empty when not found. An empty PATH entry means the current folder.
std::string FindProgram(const std::string& name, const std::string& pathVar);

// The Version field of an installed package in a dpkg status file; empty when
// the file or the package is missing.
std::string DpkgPackageVersion(const std::string& statusFile, const std::string& package);

// Arguments that open `file` at `page` ("/name.htm" inside the file; empty for
// the default page). Only kchmviewer can be told a page: xchm takes a file and
// a context number only, and xdg-open a file.
std::vector<std::string> ViewerArguments(ViewerKind kind, const std::string& file, const std::string& page);

class ViewerLauncher {
public:
  // PATH of the process (or "/usr/bin:/bin" when unset).
  ViewerLauncher();
  ~ViewerLauncher();
  ViewerLauncher(const ViewerLauncher&) = delete;
  ViewerLauncher& operator=(const ViewerLauncher&) = delete;

  std::string PathVar;
  std::string DpkgStatusFile = "/var/lib/dpkg/status";

  std::optional<ViewerInfo> Find(ViewerKind kind) const;
  // The viewer for launch mode 0: the first of kchmviewer, xchm, xdg-open.
  std::optional<ViewerInfo> FirstViewer() const;
  // The package version of the viewer, or empty.
  std::string Version(const ViewerInfo& viewer) const;

  // Starts `viewer` on `file` at `page`, stdin from /dev/null, signal mask and
  // dispositions reset. Never waits for the viewer.
  LaunchResult Launch(const ViewerInfo& viewer, const std::string& file, const std::string& page);

  // Asks the viewers still running to end (SIGTERM), without waiting.
  void CloseAll();

  // Collects viewers that have ended, without waiting; returns how many remain.
  size_t Reap();
  const std::vector<pid_t>& Running() const { return children_; }

private:
  std::vector<pid_t> children_;
};

// Starts `program` (a full path) with `args` (argv[0] is added) without
// waiting for it. Returns the child's pid, or -1 with *error set to the errno.
pid_t SpawnDetached(const std::string& program, const std::vector<std::string>& args, int* error);

} // namespace korvane
