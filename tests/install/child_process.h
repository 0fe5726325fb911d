#pragma once
// A program started by a test: its standard output read line by line through a
// pipe, its standard error kept in a file, every wait bounded. A child still
// running when the object goes is killed and reaped, so no test leaves one behind.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace korvane::testing {

class ChildProcess {
public:
  // Starts argv[0] (looked up in PATH when it has no '/') with the extra
  // environment entries "NAME=VALUE" and "NAME=" (removes NAME).
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               const std::string& errFile)
      : errFile_(errFile) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (err >= 0) dup2(err, 2);
      for (const std::string& e : env) {
        const size_t eq = e.find('=');
        const std::string name = e.substr(0, eq);
        if (eq + 1 == e.size()) {
          unsetenv(name.c_str());
        } else {
          setenv(name.c_str(), e.substr(eq + 1).c_str(), 1);
        }
      }
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    if (pid_ < 0) {
      close(out_);
      out_ = -1;
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      int st = 0;
      waitpid(pid_, &st, 0);
    }
    if (out_ >= 0) close(out_);
  }

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  // The next line of standard output (without its line feed), or nothing when
  // the output ends or `timeout` passes first.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      if (!Fill(deadline)) return std::nullopt;
    }
  }

  // All standard output until it ends, bounded by `timeout`.
  std::string ReadAll(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Fill(deadline)) {
    }
    return std::exchange(buffer_, {});
  }

  // The wait status once the child has ended, or nothing after `timeout`.
  std::optional<int> Wait(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      int st = 0;
      const pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        status_ = st;
        return status_;
      }
      if (r < 0 || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  // Standard error as written so far.
  std::string Err() const {
    std::ifstream in(errFile_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

private:
  // Adds what arrives before `deadline` to the buffer; false at the end of the
  // output or at the deadline.
  bool Fill(std::chrono::steady_clock::time_point deadline) {
    if (out_ < 0) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[4096];
    const ssize_t n = read(out_, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }

  std::string errFile_;
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  std::optional<int> status_;
};

// Runs a program to its end (bounded): exit code (-1 when it did not end normally
// in time), standard output and standard error.
struct RunResult {
  int ExitCode = -1;
  std::string Out;
  std::string Err;
};

inline RunResult RunProgram(const std::vector<std::string>& argv, const std::string& errFile,
                            std::chrono::milliseconds timeout, const std::vector<std::string>& env = {}) {
  ChildProcess child(argv, env, errFile);
  RunResult r;
  if (!child.Started()) return r;
  r.Out = child.ReadAll(timeout);
  const std::optional<int> st = child.Wait(timeout);
  if (st && WIFEXITED(*st)) r.ExitCode = WEXITSTATUS(*st);
  r.Err = child.Err();
  return r;
}

} // namespace korvane::testing
