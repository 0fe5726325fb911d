// Helpers for the loader tests: a private folder, whole-file reads and writes, and running a
// program with a bounded wait.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace vel::test {

// A fresh folder below the system temporary folder, removed with everything in it.
class TempDir {
public:
  TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "vel-test-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
  std::filesystem::path path_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), std::streamsize(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

inline std::vector<std::string> FolderEntries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  return names;
}

struct RunResult {
  int exit_code = -1; // -1 when the program did not end by itself
  std::string err;    // its standard error
};

// Runs `argv` with extra environment settings; standard output and error go to files in `dir`.
// Waits at most a minute, then kills it (that counts as a failed run, not as a measurement).
inline RunResult Run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                     const std::filesystem::path& dir) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string s = *e;
    if (!env.count(s.substr(0, s.find('=')))) env_strings.push_back(s);
  }
  for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp, args;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (auto& s : argv_copy) args.push_back(s.data());
  args.push_back(nullptr);

  const std::string err_path = (dir / "run.stderr").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  RunResult result;
  if (rc != 0) return result;

  int status = 0;
  for (int i = 0; i < 6000; ++i) {
    const pid_t w = ::waitpid(pid, &status, WNOHANG);
    if (w == pid) {
      if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
      result.err = ReadFile(err_path);
      ::unlink(err_path.c_str());
      return result;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  ADD_FAILURE() << argv[0] << " did not end within a minute";
  return result;
}

} // namespace vel::test
