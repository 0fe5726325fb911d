#include "help/core/viewer_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

extern char** environ;

namespace korvane {

const char* ViewerProgram(ViewerKind kind) {
  switch (kind) {
  case ViewerKind::Kchmviewer:
    return "kchmviewer";
  case ViewerKind::Xchm:
    return "xchm";
  case ViewerKind::DesktopOpen:
    return "xdg-open";
  }
  return "";
}

const char* ViewerPackage(ViewerKind kind) {
  switch (kind) {
  case ViewerKind::Kchmviewer:
    return "kchmviewer";
  case ViewerKind::Xchm:
    return "xchm";
  case ViewerKind::DesktopOpen:
    return "xdg-utils";
  }
  return "";
}

std::string FindProgram(const std::string& name, const std::string& pathVar) {
  if (name.empty() || name.find('/') != std::string::npos) return {};
  size_t start = 0;
  while (start <= pathVar.size()) {
    size_t end = pathVar.find(':', start);
    if (end == std::string::npos) end = pathVar.size();
    std::string dir = pathVar.substr(start, end - start);
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return {};
}

std::string DpkgPackageVersion(const std::string& statusFile, const std::string& package) {
  std::ifstream in(statusFile);
  if (!in) return {};
  const std::string wanted = "Package: " + package;
  bool inStanza = false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) {
      inStanza = false;
    } else if (line.rfind("Package: ", 0) == 0) {
      inStanza = line == wanted;
    } else if (inStanza && line.rfind("Version: ", 0) == 0) {
      return line.substr(9);
    }
  }
  return {};
}

std::vector<std::string> ViewerArguments(ViewerKind kind, const std::string& file, const std::string& page) {
  if (kind == ViewerKind::Kchmviewer && !page.empty()) return {"-showPage", page, file};
  return {file};
}

pid_t SpawnDetached(const std::string& program, const std::vector<std::string>& args, int* error) {
  std::vector<std::string> argvStore;
  argvStore.reserve(args.size() + 1);
  const size_t slash = program.rfind('/');
  argvStore.push_back(slash == std::string::npos ? program : program.substr(slash + 1));
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // The reader thread and Qt may block or catch signals; the viewer starts clean.
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    if (error != nullptr) *error = rc;
    return -1;
  }
  if (error != nullptr) *error = 0;
  return pid;
}

ViewerLauncher::ViewerLauncher() {
  const char* path = std::getenv("PATH");
  PathVar = path != nullptr ? path : "/usr/bin:/bin";
}

ViewerLauncher::~ViewerLauncher() { Reap(); }

std::optional<ViewerInfo> ViewerLauncher::Find(ViewerKind kind) const {
  std::string path = FindProgram(ViewerProgram(kind), PathVar);
  if (path.empty()) return std::nullopt;
  return ViewerInfo{kind, ViewerProgram(kind), std::move(path)};
}

std::optional<ViewerInfo> ViewerLauncher::FirstViewer() const {
  for (ViewerKind k : {ViewerKind::Kchmviewer, ViewerKind::Xchm, ViewerKind::DesktopOpen}) {
    if (auto v = Find(k)) return v;
  }
  return std::nullopt;
}

std::string ViewerLauncher::Version(const ViewerInfo& viewer) const {
  return DpkgPackageVersion(DpkgStatusFile, ViewerPackage(viewer.Kind));
}

LaunchResult ViewerLauncher::Launch(const ViewerInfo& viewer, const std::string& file,
                                    const std::string& page) {
  Reap();
  LaunchResult r;
  r.Program = viewer.Path;
  r.Args = ViewerArguments(viewer.Kind, file, page);
  r.Pid = SpawnDetached(viewer.Path, r.Args, &r.Error);
  r.Started = r.Pid > 0;
  if (r.Started) children_.push_back(r.Pid);
  return r;
}

void ViewerLauncher::CloseAll() {
  // Only children not yet collected are signalled: their pids cannot have been
  // reused by another process.
  Reap();
  for (pid_t pid : children_) ::kill(pid, SIGTERM);
}

size_t ViewerLauncher::Reap() {
  std::vector<pid_t> still;
  for (pid_t pid : children_) {
    int status = 0;
    const pid_t got = ::waitpid(pid, &status, WNOHANG);
    // 0: still running. -1 (ECHILD): someone else collected it; forget it.
    if (got == 0) still.push_back(pid);
  }
  children_.swap(still);
  return children_.size();
}

} // namespace korvane
