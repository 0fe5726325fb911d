// The command line: the parser's table, and the built program run headless on
// one end of a pseudo-terminal pair (the test holds the far end) as slave and
// as master, ended by a signal. Every wait is bounded.
#include "app/ui/command_line.h"
#include "modbus/core.h"
#include "modbus/line_decoder.h"
#include "support/files.h"
#include "support/recording_sender.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

using namespace korvane;

namespace {

// ---- Parser ----------------------------------------------------------------

struct ParseCase {
  std::vector<std::string> args;
  bool ok;
  std::string file;
  bool open, headless, debug;
  std::string save;  // empty: none
  std::string ports; // "N=DEVICE;" each
};

TEST(CommandLineParse, Table) {
  const ParseCase cases[] = {
      {{}, true, "", false, false, false, "", ""},
      {{"regs.txt", "--open", "--headless"}, true, "regs.txt", true, true, false, "", ""},
      {{"--save-on-exit", "out.txt", "--port", "1=/dev/pts/4", "--port", "99=/dev/ttyUSB0"},
       true,
       "",
       false,
       false,
       false,
       "out.txt",
       "1=/dev/pts/4;99=/dev/ttyUSB0;"},
      {{"/DEBUG", "a"}, true, "a", false, false, true, "", ""},
      {{"-debug"}, true, "", false, false, true, "", ""},
      {{"--", "-odd-name"}, true, "-odd-name", false, false, false, "", ""},
      {{"/home/u/regs"}, true, "/home/u/regs", false, false, false, "", ""},
      // Network ports.
      {{"--port", "2=tcp:10.0.0.7:4001", "--port", "3=tcp-listen:1502"},
       true,
       "",
       false,
       false,
       false,
       "",
       "2=tcp:10.0.0.7:4001;3=tcp-listen:1502;"},
      {{"--port", "1=tcp:127.0.0.1"}, false, "", false, false, false, "", ""},
      {{"--port", "1=tcp:host:0"}, false, "", false, false, false, "", ""},
      {{"--port", "1=tcp-listen:99999"}, false, "", false, false, false, "", ""},
      // Wrong lines: usage and exit status 2.
      {{"--bogus"}, false, "", false, false, false, "", ""},
      {{"-x"}, false, "", false, false, false, "", ""},
      {{"a", "b"}, false, "", false, false, false, "", ""},
      {{"--save-on-exit"}, false, "", false, false, false, "", ""},
      {{"--port"}, false, "", false, false, false, "", ""},
      {{"--port", "0=/dev/x"}, false, "", false, false, false, "", ""},
      {{"--port", "100=/dev/x"}, false, "", false, false, false, "", ""},
      {{"--port", "1="}, false, "", false, false, false, "", ""},
      {{"--port", "x1=/dev/x"}, false, "", false, false, false, "", ""},
      {{"--port", "/dev/x"}, false, "", false, false, false, "", ""},
  };
  for (const ParseCase& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    const ParseOutcome r = ParseCommandLine(c.args);
    EXPECT_EQ(r.Error.empty(), c.ok) << r.Error;
    if (!c.ok) continue;
    EXPECT_EQ(r.Line.File, c.file);
    EXPECT_EQ(r.Line.Open, c.open);
    EXPECT_EQ(r.Line.Headless, c.headless);
    EXPECT_EQ(r.Line.Debug, c.debug);
    EXPECT_EQ(r.Line.SaveOnExit.value_or(""), c.save);
    std::string ports;
    for (const auto& [n, dev] : r.Line.Ports) ports += std::to_string(n) + "=" + dev + ";";
    EXPECT_EQ(ports, c.ports);
  }
}

TEST(CommandLineParse, Rs485ListenAndListPorts) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    bool rs485;
    uint32_t before, after;
    bool list;
    bool listen = false;
  };
  const Case cases[] = {
      {{}, true, false, 0, 0, false},
      {{"--rs485"}, true, true, 0, 0, false},
      {{"--rs485=5,10"}, true, true, 5, 10, false},
      {{"--rs485=0,1000", "--open"}, true, true, 0, 1000, false},
      {{"--list-ports"}, true, false, 0, 0, true},
      {{"--list-ports", "--port", "3=/dev/ttyUSB0"}, true, false, 0, 0, true},
      {{"--listen"}, true, false, 0, 0, false, true},
      {{"--open", "--listen", "--rs485"}, true, true, 0, 0, false, true},
      {{"--rs485="}, false, false, 0, 0, false},
      {{"--rs485=5"}, false, false, 0, 0, false},
      {{"--rs485=5,"}, false, false, 0, 0, false},
      {{"--rs485=,5"}, false, false, 0, 0, false},
      {{"--rs485=1001,0"}, false, false, 0, 0, false},
      {{"--rs485=-1,0"}, false, false, 0, 0, false},
      {{"--rs485=1,2,3"}, false, false, 0, 0, false},
      {{"--rs485=99999999999,0"}, false, false, 0, 0, false},
      {{"--rs4850"}, false, false, 0, 0, false},
      {{"--listen=1"}, false, false, 0, 0, false},
      {{"--listen-only"}, false, false, 0, 0, false},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    const ParseOutcome r = ParseCommandLine(c.args);
    EXPECT_EQ(r.Error.empty(), c.ok) << r.Error;
    if (!c.ok) continue;
    EXPECT_EQ(r.Line.Rs485, c.rs485);
    EXPECT_EQ(r.Line.Rs485DelayBeforeMs, c.before);
    EXPECT_EQ(r.Line.Rs485DelayAfterMs, c.after);
    EXPECT_EQ(r.Line.ListPorts, c.list);
    EXPECT_EQ(r.Line.Listen, c.listen);
  }
}

TEST(CommandLineParse, Trace) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    std::string trace; // empty: none
  };
  const Case cases[] = {
      {{}, true, ""},
      {{"--trace", "line.csv"}, true, "line.csv"},
      {{"regs.txt", "--trace", "/dev/stderr", "--headless"}, true, "/dev/stderr"},
      {{"--trace", "a.csv", "--trace", "b.csv"}, true, "b.csv"},
      {{"--trace", "--open"}, true, "--open"}, // the word after --trace is its file
      {{"--trace"}, false, ""},
      {{"--trace", ""}, false, ""},
      {{"--trace=line.csv"}, false, ""},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    const ParseOutcome r = ParseCommandLine(c.args);
    EXPECT_EQ(r.Error.empty(), c.ok) << r.Error;
    if (!c.ok) continue;
    EXPECT_EQ(r.Line.Trace.value_or(""), c.trace);
    EXPECT_FALSE(r.Line.Open) << "a file name is not an option";
  }
}

// ---- The built program -------------------------------------------------------

constexpr int kWaitMs = 10000;

using frame::Bytes;
using test::ReadFile;
using test::WithCrc;

// Upper-case hexadecimal without spaces, as the trace writes frames.
std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (const char c : bytes) {
    s += digits[static_cast<uint8_t>(c) >> 4];
    s += digits[static_cast<uint8_t>(c) & 15];
  }
  return s;
}

// Reads from `fd` until `done(text)` or `ms` pass without any byte, or end of file.
std::string ReadUntil(int fd, const std::function<bool(const std::string&)>& done, int ms = kWaitMs) {
  std::string out;
  while (!done(out)) {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    char buf[512];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// The built korvane, started with its output in pipes.
class Program {
public:
  // `env` replaces the environment when not empty; `runner` (a full path and
  // its arguments, setpriv say) starts the program when not empty.
  Program(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
          const std::vector<std::string>& runner = {}) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      std::vector<std::string> all = runner;
      all.push_back(KORVANE_BINARY_DIR "/korvane");
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv, envp;
      for (auto& a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      std::vector<std::string> envCopy = env;
      for (auto& e : envCopy) envp.push_back(e.data());
      envp.push_back(nullptr);
      if (env.empty())
        ::execv(argv[0], argv.data());
      else
        ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Program() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }
  bool Started() const { return pid_ > 0; }
  void Signal(int sig) { ::kill(pid_, sig); }
  // Reads standard output until a line holding `text` arrived.
  bool OutputShows(const std::string& text) {
    stdout_ +=
        ReadUntil(out_, [&](const std::string& s) { return (stdout_ + s).find(text) != std::string::npos; });
    return stdout_.find(text) != std::string::npos;
  }
  // Reads standard error until `text` arrived.
  bool ErrorShows(const std::string& text) {
    stderr_ +=
        ReadUntil(err_, [&](const std::string& s) { return (stderr_ + s).find(text) != std::string::npos; });
    return stderr_.find(text) != std::string::npos;
  }
  // Waits for the end (both pipes closed, bounded), then the exit status; -1 when it did not end.
  int Finish() {
    stdout_ += ReadUntil(out_, [](const std::string&) { return false; });
    stderr_ += ReadUntil(err_, [](const std::string&) { return false; });
    // The pipes close as it ends; its end is then awaited through a pidfd.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      while (::poll(&p, 1, kWaitMs) < 0 && errno == EINTR) {
      }
      ::close(pidfd);
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return -1; // the destructor kills it
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& Stdout() const { return stdout_; }
  const std::string& Stderr() const { return stderr_; }

private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int out_ = -1, err_ = -1;
  std::string stdout_, stderr_;
};

// A pseudo-terminal pair: the program opens `path`; the test holds the far
// end, and keeps the near end open too, so the line never hangs up between
// the program's opens.
class Line {
public:
  Line() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0)
      return;
    path_ = name;
    near_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (near_ >= 0 && ::tcgetattr(near_, &t) == 0) {
      ::cfmakeraw(&t);
      ::tcsetattr(near_, TCSANOW, &t);
    }
  }
  ~Line() {
    if (near_ >= 0) ::close(near_);
    if (master_ >= 0) ::close(master_);
  }
  bool Ok() const { return master_ >= 0 && near_ >= 0; }
  const std::string& Path() const { return path_; }
  std::string Read(size_t n, int ms = kWaitMs) {
    return ReadUntil(
        master_, [n](const std::string& s) { return s.size() >= n; }, ms);
  }
  bool Write(const std::string& bytes) {
    return ::write(master_, bytes.data(), bytes.size()) == ssize_t(bytes.size());
  }
  // The far end goes away: the line hangs up.
  void CloseFarEnd() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

private:
  int master_ = -1, near_ = -1;
  std::string path_;
};

class HeadlessRun : public ::testing::Test {
protected:
  void SetUp() override {
    struct stat st {};
    ASSERT_EQ(::stat(KORVANE_BINARY_DIR "/korvane", &st), 0) << "build the korvane target first";
    if (!line.Ok()) GTEST_SKIP() << "no pseudo-terminal can be made here";
    char tmpl[] = "/tmp/korvane-cmdline-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override {
    if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
  }

  Line line, line2;
  std::string dir;
};

} // namespace

TEST(CommandLineProgram, HelpVersionUsageAndNoDisplay) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> env;
    int status;
    std::string inStdout, inStderr;
  };
  const Case cases[] = {
      {{"--version"}, {}, 0, "korvane 1.48\n", ""},
      {{"--help"}, {}, 0, "Usage: korvane [FILE]", ""},
      {{"--help"}, {}, 0, "  --rs485[=BEFORE_MS,AFTER_MS]\n", ""},
      {{"--help"}, {}, 0, "  --list-ports ", ""},
      {{"--help"}, {}, 0, "  --listen ", ""},
      {{"--help"}, {}, 0, "[--trace FILE]", ""},
      {{"--help"}, {}, 0, "\n  --trace FILE ", ""},
      {{"--trace"}, {}, 2, "", "--trace needs a file name"},
      {{"--rs485=5"}, {}, 2, "", "--rs485= needs BEFORE_MS,AFTER_MS"},
      {{"--frobnicate"}, {}, 2, "", "Usage: korvane [FILE]"},
      {{"a", "b"}, {}, 2, "", "Usage: korvane [FILE]"},
      // No display and no --headless: said so, non-zero.
      {{}, {"PATH=/usr/bin:/bin", "HOME=/tmp"}, 1, "", "no display"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(no display)" : c.args[0]);
    Program p(c.args, c.env);
    ASSERT_TRUE(p.Started());
    EXPECT_EQ(p.Finish(), c.status);
    EXPECT_NE(p.Stdout().find(c.inStdout), std::string::npos) << p.Stdout();
    EXPECT_NE(p.Stderr().find(c.inStderr), std::string::npos) << p.Stderr();
  }
}

TEST_F(HeadlessRun, SlaveAnswersAndSavesItsStoreOnSigterm) {
  const std::string out = dir + "/out.txt";
  Program p({"--headless", "--port", "1=" + line.Path(), "--open", "--save-on-exit", out});
  ASSERT_TRUE(p.Started());
  ASSERT_EQ(line.Read(9), "Open Port");

  // Write holding register 2 := 0x1234 (function 6); the reply echoes the request.
  const std::string write = WithCrc(Bytes({0x01, 0x06, 0x00, 0x01, 0x12, 0x34}));
  ASSERT_TRUE(line.Write(write));
  EXPECT_EQ(line.Read(write.size()), write);
  // Read it back (function 3, two registers).
  ASSERT_TRUE(line.Write(WithCrc(Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02}))));
  EXPECT_EQ(line.Read(9), WithCrc(Bytes({0x01, 0x03, 0x04, 0x00, 0x00, 0x12, 0x34})));

  p.Signal(SIGTERM);
  EXPECT_EQ(p.Finish(), 0) << p.Stderr();
  const std::string saved = ReadFile(out);
  ASSERT_EQ(saved.rfind("SLAVE\r\nRTU\r\n1\r\n9600\r\n", 0), 0u) << saved.substr(0, 40);
  // The first holding-register line of slot 1 carries the written value.
  const size_t hold = saved.find(";HOLDREG\r\n");
  ASSERT_NE(hold, std::string::npos);
  EXPECT_EQ(saved.substr(hold + 10, 16), "       0    4660");
}

TEST_F(HeadlessRun, MasterFromAFilePollsAndPrintsTheStatus) {
  const std::string file = dir + "/master.txt";
  std::ofstream(file, std::ios::binary) << "MASTER\r\nRTU\r\n2\r\n9600\r\n8\r\nN\r\n1\r\n1\r\n";
  Program p({file, "--headless", "--open", "--port", "2=" + line.Path()});
  ASSERT_TRUE(p.Started());
  ASSERT_EQ(line.Read(9), "Open Port");

  // The poll timer (1 s, from the file) reads holding registers from address 1.
  const std::string request = line.Read(8);
  ASSERT_EQ(request.size(), 8u);
  ASSERT_EQ(request.substr(0, 4), Bytes({0x01, 0x03, 0x00, 0x00}));
  ASSERT_EQ(request, WithCrc(request.substr(0, 6)));
  const int count = static_cast<uint8_t>(request[4]) * 256 + static_cast<uint8_t>(request[5]);
  ASSERT_GT(count, 0);
  std::string reply = Bytes({0x01, 0x03, count * 2});
  for (int i = 0; i < count; ++i) reply += Bytes({0x00, i + 1});
  ASSERT_TRUE(line.Write(WithCrc(reply)));
  EXPECT_TRUE(p.OutputShows("Poll 1 Data OK\n")) << p.Stdout();

  p.Signal(SIGINT);
  EXPECT_EQ(p.Finish(), 0) << p.Stderr();
}

// A listening master opens its line writing nothing, its poll timer says so
// instead of sending, and a request for its slave address gets no answer.
TEST_F(HeadlessRun, AListeningMasterWritesNothing) {
  const std::string file = dir + "/master.txt";
  std::ofstream(file, std::ios::binary) << "MASTER\r\nRTU\r\n2\r\n9600\r\n8\r\nN\r\n1\r\n1\r\n";
  Program p({file, "--headless", "--open", "--listen", "--port", "2=" + line.Path()});
  ASSERT_TRUE(p.Started());
  // The poll timer (1 s, from the file) has fired once this is printed; the
  // port was opened before.
  const std::string said = "Listen only: nothing is sent\n";
  ASSERT_TRUE(p.OutputShows(said)) << p.Stdout();
  ASSERT_TRUE(line.Write(WithCrc(Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02}))));
  // One tick later the request has long been handled.
  EXPECT_TRUE(p.OutputShows(said + said)) << p.Stdout();
  EXPECT_EQ(line.Read(1, 100), "");
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Finish(), 0) << p.Stderr();
}

// A listening slave takes the values another device returns to another
// master into its table, says the exchange, answers nothing, traces both
// frames as received and saves the values: a bus sniffer.
TEST_F(HeadlessRun, AListenerKeepsTheValuesItSawTracesThemAndSavesThem) {
  const std::string out = dir + "/seen.txt";
  const std::string trace = dir + "/line.csv";
  Program p({"--headless", "--listen", "--port", "1=" + line.Path(), "--open", "--save-on-exit", out,
             "--trace", trace});
  ASSERT_TRUE(p.Started());
  // Another master reads two registers of device 1 (Korvane's slot 1); the device answers.
  const std::string request = WithCrc(Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x02}));
  const std::string reply = WithCrc(Bytes({0x01, 0x03, 0x04, 0x00, 0x07, 0x12, 0x34}));
  ASSERT_TRUE(line.Write(request));
  ASSERT_TRUE(line.Write(reply));
  // A pseudo-terminal cannot time the line: no reply time.
  EXPECT_TRUE(p.OutputShows("Seen: device 1 Read Holding Registers 1-2\n")) << p.Stdout();
  EXPECT_EQ(line.Read(1, 100), "");
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Finish(), 0) << p.Stderr();
  const std::string saved = ReadFile(out);
  const size_t hold = saved.find(";HOLDREG\r\n");
  ASSERT_NE(hold, std::string::npos);
  EXPECT_EQ(saved.substr(hold + 10, 16), "       7    4660");
  // Both frames, each as it came from the line.
  std::istringstream csv(ReadFile(trace));
  std::string header, row;
  std::vector<std::string> rows;
  ASSERT_TRUE(std::getline(csv, header));
  while (std::getline(csv, row)) rows.push_back(row);
  ASSERT_EQ(rows.size(), 2u) << ReadFile(trace);
  const std::string expected[] = {",rx,1,3,8,ok,,\"Read Holding Registers 1-2\"," + Hex(request),
                                  ",rx,1,3,9,ok,", "\"Reply: 2 registers\"," + Hex(reply)};
  EXPECT_NE(rows[0].find(expected[0]), std::string::npos) << rows[0];
  EXPECT_NE(rows[1].find(expected[1]), std::string::npos) << rows[1];
  EXPECT_NE(rows[1].find(expected[2]), std::string::npos) << rows[1];
}

TEST_F(HeadlessRun, APortThatCannotOpenEndsAHeadlessRun) {
  // A fresh workspace uses COM1; it names a device that does not exist.
  Program p({"--headless", "--open", "--port", "1=" + dir + "/no-such-device"});
  ASSERT_TRUE(p.Started());
  EXPECT_EQ(p.Finish(), 1);
  EXPECT_NE(p.Stderr().find("Cannot connect to COM1."), std::string::npos) << p.Stderr();
}

TEST_F(HeadlessRun, ListPortsNamesTheMappedDevicesAndEnds) {
  // No display and no --headless needed: the list is printed before any window.
  Program p({"--list-ports", "--port", "7=" + line.Path()}, {"PATH=/usr/bin:/bin", "HOME=/tmp"});
  ASSERT_TRUE(p.Started());
  EXPECT_EQ(p.Finish(), 0) << p.Stderr();
  EXPECT_NE(p.Stdout().find("COM7  " + line.Path() + "\n"), std::string::npos) << p.Stdout();
}

TEST_F(HeadlessRun, Rs485OnAPseudoTerminalEndsTheRunWithItsReason) {
  Program p({"--headless", "--open", "--rs485=2,3", "--port", "1=" + line.Path()});
  ASSERT_TRUE(p.Started());
  EXPECT_EQ(p.Finish(), 1);
  EXPECT_NE(p.Stderr().find("Cannot connect to COM1.\n" + line.Path() + ": this device has no RS-485 mode"),
            std::string::npos)
      << p.Stderr();
  // Without the option the same line opens.
  Program q({"--headless", "--open", "--port", "1=" + line.Path()});
  ASSERT_TRUE(q.Started());
  EXPECT_EQ(line.Read(9), "Open Port");
  q.Signal(SIGTERM);
  EXPECT_EQ(q.Finish(), 0) << q.Stderr();
}

TEST_F(HeadlessRun, TheSecondLineOfAFailedOpenSaysWhy) {
  // A plain file is no terminal: the driver refuses its settings.
  const std::string plain = dir + "/plain-file";
  std::ofstream(plain) << "";
  // The line, locked by another program.
  const int held = ::open(line.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  struct Case {
    std::string device;
    std::string reason;
    bool unprivileged; // run as a user outside the terminal's group
  };
  std::vector<Case> cases = {
      {dir + "/no-such-device", dir + "/no-such-device: no such device", false},
      {plain, plain + ": the driver refused the line settings", false},
      {line.Path(), line.Path() + ": in use by another program", false},
  };
  // A pseudo-terminal belongs to its maker, writable by nobody else: the same
  // as a serial port to a user outside the dialout group.
  const std::string other = line2.Ok() ? line2.Path() : "";
  if (::geteuid() == 0 && line2.Ok())
    cases.push_back(
        {other, other + ": permission denied; add your user to the dialout group (then log in again)", true});
  else
    std::printf("permission case skipped: needs root to start the program as another user\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    std::vector<std::string> env, runner;
    if (c.unprivileged) {
      const std::string runtime = dir + "/runtime";
      ::mkdir(runtime.c_str(), 0700);
      ASSERT_EQ(::chown(runtime.c_str(), 65534, 65534), 0);
      ::chmod(dir.c_str(), 0755);
      env = {"PATH=/usr/bin:/bin", "HOME=" + runtime, "XDG_RUNTIME_DIR=" + runtime, "TMPDIR=" + runtime};
      runner = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    Program p({"--headless", "--open", "--port", "1=" + c.device}, env, runner);
    ASSERT_TRUE(p.Started());
    EXPECT_EQ(p.Finish(), 1);
    EXPECT_NE(p.Stderr().find("Cannot connect to COM1.\n" + c.reason + "\n"), std::string::npos)
        << p.Stderr();
  }
  ::close(held);
}

TEST_F(HeadlessRun, ADeviceThatGoesAwayIsSaidOnce) {
  Program p({"--headless", "--port", "1=" + line.Path(), "--open"});
  ASSERT_TRUE(p.Started());
  ASSERT_EQ(line.Read(9), "Open Port");
  line.CloseFarEnd();
  const std::string said = "COM1 has gone away; the port is closed.\n";
  EXPECT_TRUE(p.ErrorShows(said)) << p.Stderr();
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Finish(), 0) << p.Stderr();
  const std::string& err = p.Stderr();
  EXPECT_EQ(err.find(said), err.rfind(said)) << "said once: " << err;
}

TEST_F(HeadlessRun, TheTraceOnStandardErrorHasTheRequestAndTheSlavesReply) {
  Program p({"--headless", "--port", "1=" + line.Path(), "--open", "--trace", "/dev/stderr"});
  ASSERT_TRUE(p.Started());
  ASSERT_EQ(line.Read(9), "Open Port");
  const std::string write = WithCrc(Bytes({0x01, 0x06, 0x00, 0x01, 0x12, 0x34}));
  ASSERT_TRUE(line.Write(write));
  EXPECT_EQ(line.Read(write.size()), write);
  // time_us,dir,device,function,bytes,check,response_us,... : the request as
  // read, the reply as written and paired with it.
  EXPECT_TRUE(p.ErrorShows(",tx,1,6,8,ok,")) << p.Stderr();
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Finish(), 0) << p.Stderr();
  const std::string& err = p.Stderr();
  const size_t header = err.find(std::string(line::kCsvHeader) + "\n");
  const size_t rx = err.find(",rx,1,6,8,ok,,");
  const size_t tx = err.find(",tx,1,6,8,ok,");
  ASSERT_NE(header, std::string::npos) << err;
  ASSERT_NE(rx, std::string::npos) << err;
  EXPECT_LT(header, rx);
  EXPECT_LT(rx, tx) << "the request before its reply";
  EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(err[tx + 13]))) << "the reply's response time: " << err;
}

TEST_F(HeadlessRun, AFifoReaderThatGoesAwayStopsTheTraceNotTheProgram) {
  const std::string fifo = dir + "/trace.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  Program p({"--headless", "--port", "1=" + line.Path(), "--open", "--trace", fifo});
  ASSERT_TRUE(p.Started());
  ASSERT_EQ(line.Read(9), "Open Port");
  const std::string got =
      ReadUntil(reader, [](const std::string& s) { return s.find(",tx,") != std::string::npos; });
  EXPECT_EQ(got.rfind(std::string(line::kCsvHeader) + "\n", 0), 0u) << got;
  ::close(reader);

  // Each request is answered; the first line written after the reader left
  // ends the trace, once.
  const std::string read = WithCrc(Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x01}));
  const std::string reply = WithCrc(Bytes({0x01, 0x03, 0x02, 0x00, 0x00}));
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(line.Write(read));
    EXPECT_EQ(line.Read(reply.size()), reply) << i;
  }
  EXPECT_TRUE(p.ErrorShows("the trace has stopped\n")) << p.Stderr();
  p.Signal(SIGTERM);
  EXPECT_EQ(p.Finish(), 0) << p.Stderr();
  const std::string& err = p.Stderr();
  EXPECT_EQ(err.find("the trace has stopped"), err.rfind("the trace has stopped")) << err;
}

TEST_F(HeadlessRun, ATraceThatCannotBeOpenedEndsAHeadlessRun) {
  const std::string path = dir + "/no-such-folder/trace.csv";
  Program p({"--headless", "--port", "1=" + line.Path(), "--open", "--trace", path});
  ASSERT_TRUE(p.Started());
  EXPECT_EQ(p.Finish(), 1);
  EXPECT_NE(p.Stderr().find("Cannot write the trace file " + path + ".\nNo such file or directory\n"),
            std::string::npos)
      << p.Stderr();
}
