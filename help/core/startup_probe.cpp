#include "help/core/startup_probe.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace korvane {

THelpEnvironment& HelpEnv() {
  static THelpEnvironment env;
  return env;
}

std::string StripTrailingSeparators(const std::string& folder) {
  std::string out = folder;
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  if (slash == 0) return "/";
  return StripTrailingSeparators(path.substr(0, slash));
}

std::string FileNameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ReadModulePath() {
  std::string buf(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  buf.resize(static_cast<size_t>(n));
  return buf;
}

std::string TemporaryFolder() {
  const char* t = std::getenv("TMPDIR");
  if (t != nullptr && *t != '\0') return StripTrailingSeparators(t);
  return "/tmp";
}

std::string ChooseLogFolder(const std::string& moduleDir, const std::string& tempDir) {
  if (!moduleDir.empty()) {
    const std::string probe = (moduleDir == "/" ? "" : moduleDir) + "/$_Temp_$.$$$";
    int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      ::unlink(probe.c_str());
      return moduleDir;
    }
    if (errno == EEXIST) {
      // A probe file left behind (a crash between creating and deleting it)
      // says nothing about the folder: it stays, and a probe of a name of
      // its own decides.
      std::string unique = probe + ".XXXXXX";
      fd = ::mkostemp(unique.data(), O_CLOEXEC);
      if (fd >= 0) {
        ::close(fd);
        ::unlink(unique.c_str());
        return moduleDir;
      }
    }
  }
  return tempDir;
}

bool DebugSwitchOn(const std::string& moduleDir, const std::vector<std::string>& args) {
  struct stat st {};
  if (!moduleDir.empty() && ::stat((moduleDir + "/debug.debug").c_str(), &st) == 0) return true;
  for (size_t i = 1; i < args.size(); ++i) {
    if (strcasecmp(args[i].c_str(), "/debug") == 0 || strcasecmp(args[i].c_str(), "-debug") == 0) return true;
  }
  return false;
}

void RunStartupProbe(THelpEnvironment& env, const ProbeInputs& in) {
  env.Args = in.Args;
  env._ModulePath = in.ModulePath.empty() ? ReadModulePath() : in.ModulePath;
  if (env._ModulePath.empty() && !in.Args.empty()) env._ModulePath = in.Args[0];
  env._ModuleName = FileNameOf(env._ModulePath);
  env._ModuleDir = FolderOf(env._ModulePath);
  const std::string argv0 = in.Args.empty() ? std::string() : in.Args[0];
  env._RunDir = FolderOf(argv0).empty() ? env._ModuleDir : FolderOf(argv0);

  env.LogFolder = ChooseLogFolder(env._ModuleDir, in.TempDir.empty() ? TemporaryFolder() : in.TempDir);
  env.DebugOn = DebugSwitchOn(env._ModuleDir, in.Args);

  if (!in.PathVar.empty()) env.Launcher.PathVar = in.PathVar;
  env._hhInstalled = false;
  env._hhVerStr.clear();
  env._hhFriendlyVerStr.clear();
  if (const auto viewer = env.Launcher.FirstViewer()) {
    env._hhInstalled = true;
    env._hhVerStr = env.Launcher.Version(*viewer);
    env._hhFriendlyVerStr = viewer->Program + (env._hhVerStr.empty() ? "" : " " + env._hhVerStr);
  }

  LogHeaderInfo h;
  h.ExePath = env._ModulePath;
  h.ExeVersion = in.ExeVersion;
  if (in.Args.size() > 1) h.Params.assign(in.Args.begin() + 1, in.Args.end());
  for (size_t i = 0; i < in.Args.size(); ++i) h.ActualCmdLine += (i > 0 ? " " : "") + in.Args[i];
  h.RunDir = env._RunDir;
  h.ModuleName = env._ModuleName;
  h.ModuleDir = env._ModuleDir;
  h.ModulePath = env._ModulePath;
  h.ModuleVersion = in.ExeVersion;
  h.HhInstalled = env._hhInstalled;
  h.HhVerStr = env._hhVerStr;
  h.HhFriendlyVerStr = env._hhFriendlyVerStr;
  h.IeInstalled = env._ieInstalled;
  h.IeVerStr = env._ieVerStr;
  h.IeFriendlyVerStr = env._ieFriendlyVerStr;
  const std::string folder = env.LogFolder == "/" ? "" : env.LogFolder;
  env.LogFile = std::make_unique<TDLogFile>(folder + "/HHDebug.txt", env.DebugOn, env.LogShowTime,
                                            env.LogWriteHeader, env.LogAppend, h);
}

void InitHelpSystem(int argc, char** argv) {
  ProbeInputs in;
  for (int i = 0; i < argc; ++i) in.Args.emplace_back(argv[i]);
#ifdef KORVANE_VERSION
  in.ExeVersion = KORVANE_VERSION;
#endif
  RunStartupProbe(HelpEnv(), in);
}

} // namespace korvane
