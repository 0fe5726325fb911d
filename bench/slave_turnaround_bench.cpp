// Slave turnaround on a pseudo-terminal: one client, three servers.
//
//   slave_turnaround_bench [--requests N] [--warmup N] [--only korvane|libmodbus|pymodbus]
//
// For each server the client makes a fresh pty pair itself (openpty, nothing in
// between), starts the server on the far end's device path, waits until it
// answers, notes its resident memory (VmRSS) while idle, sends --warmup
// requests (function 3, default 2000, not counted: the scheduler settles where
// client, server and the terminal's kernel worker run), then sends N
// back-to-back requests for unit 1 (function 3 reading 10 registers, then
// function 16 writing 10), each after the reply to the one before, and prints
// round-trip p50/p99 and requests per second. Servers:
//   korvane    the program headless as slave: FILE --headless --open --port 1=DEV
//              (FILE: a register file for slave mode in RTU or ASCII framing)
//   libmodbus  libmodbus_rtu_server DEV (modbus_receive / modbus_reply; RTU only)
//   pymodbus   pymodbus_serial_server.py DEV rtu|ascii (StartAsyncSerialServer)
// A pty ignores the line rate: every server is set to 115200 8N1 anyway.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/core/workspace.h"
#include "config/core/register_file.h"
#include "modbus/core.h"
#include "modbus/frame_rules.h"

extern char** environ;

namespace {

using namespace korvane;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Pty {
  int master = -1, slave = -1;
  std::string path;
  bool Open() {
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return false;
    path = name;
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t); // no echo even before the server sets its own mode
    ::tcsetattr(slave, TCSANOW, &t);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    return true;
  }
  ~Pty() {
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
  }
};

class Server {
public:
  bool Start(const std::vector<std::string>& argv, const std::string& log) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    const int rc = posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) pid_ = -1;
    return rc == 0;
  }
  bool Running() { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
  pid_t Pid() const { return pid_; }
  // SIGTERM, then SIGKILL if it has not ended within five seconds.
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 500; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return void(pid_ = -1);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  ~Server() { Stop(); }

private:
  pid_t pid_ = -1;
};

long VmRssKb(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long kb = -1;
  while (f >> key) {
    if (key == "VmRSS:") {
      f >> kb;
      break;
    }
    std::getline(f, key);
  }
  return kb;
}

std::string Encode(const std::string& body, bool ascii) {
  if (ascii) return ConvertToASCII(body);
  std::string f = body;
  frame::AppendCrc(f);
  return f;
}

std::string ReadRequest() { return frame::Bytes({1, 3, 0, 0, 0, 10}); }
std::string WriteRequest() {
  std::string f = frame::Bytes({1, 16, 0, 0, 0, 10, 20});
  for (int i = 0; i < 10; ++i) frame::PutWord(f, 3 * i + 7);
  return f;
}

// Whole reply length on the line.
size_t ReplySize(int function, bool ascii) {
  const size_t body = function == 3 ? 3 + 20 : 6;
  return ascii ? 1 + 2 * (body + 1) + 2 : body + 2;
}

bool ReplyOk(const std::string& r, int function, bool ascii) {
  std::string bytes;
  if (ascii) {
    if (r.size() < 5 || r[0] != ':' || r.compare(r.size() - 2, 2, "\r\n") != 0) return false;
    for (size_t i = 1; i + 3 < r.size(); i += 2)
      bytes.push_back(static_cast<char>(TCore::GetAsciiValue(r[i]) * 16 + TCore::GetAsciiValue(r[i + 1])));
    if (bytes.empty() || Lrc(bytes, bytes.size() - 1) != static_cast<uint8_t>(bytes.back())) return false;
  } else {
    if (r.size() < 4) return false;
    const int32_t c = TCore::CRC16(r, static_cast<int32_t>(r.size() - 2));
    if (static_cast<uint8_t>(r[r.size() - 2]) != c / 256 || static_cast<uint8_t>(r[r.size() - 1]) != c % 256)
      return false;
    bytes = r;
  }
  return bytes.size() >= 2 && bytes[0] == 1 && bytes[1] == function;
}

// Reads until `size` bytes have come or `timeout_ms` passed; returns what came.
std::string ReadReply(int fd, size_t size, int timeout_ms) {
  std::string got;
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  char buf[512];
  while (got.size() < size) {
    const int left =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, left) <= 0) continue;
    const ssize_t n = ::read(fd, buf, std::min(sizeof buf, size - got.size()));
    if (n > 0) got.append(buf, static_cast<size_t>(n));
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
  }
  return got;
}

// Drops what waits until the line has been quiet for `quiet_ms`.
void Drain(int fd, int quiet_ms) {
  char buf[512];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, quiet_ms) <= 0) return;
    if (::read(fd, buf, sizeof buf) <= 0) return;
  }
}

bool WriteAll(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
    } else if (n < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

// Probes with a read request until a good reply comes (at most 20 s).
bool WaitReady(int fd, bool ascii, Server& server) {
  const std::string probe = Encode(ReadRequest(), ascii);
  const auto end = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < end && server.Running()) {
    Drain(fd, 20);
    WriteAll(fd, probe);
    const std::string r = ReadReply(fd, ReplySize(3, ascii), 300);
    if (ReplyOk(r, 3, ascii)) {
      Drain(fd, 200);
      return true;
    }
  }
  return false;
}

struct Row {
  std::string server, framing;
  int function = 0;
  double p50 = 0, p99 = 0, mean = 0, rate = 0;
  int ok = 0, lost = 0;
  long rss_kb = -1;
};

Row Measure(int fd, int function, bool ascii, int n) {
  const std::string request = Encode(function == 3 ? ReadRequest() : WriteRequest(), ascii);
  const size_t size = ReplySize(function, ascii);
  std::vector<double> ms;
  ms.reserve(static_cast<size_t>(n));
  Row row;
  row.function = function;
  const auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    const auto t0 = Clock::now();
    if (!WriteAll(fd, request)) break;
    const std::string r = ReadReply(fd, size, 1000);
    const auto t1 = Clock::now();
    if (r.size() == size && ReplyOk(r, function, ascii)) {
      ms.push_back(Ms(t1 - t0));
    } else {
      ++row.lost;
      Drain(fd, 100);
    }
  }
  const double total = Ms(Clock::now() - start);
  row.ok = static_cast<int>(ms.size());
  if (!ms.empty()) {
    std::vector<double> s = ms;
    std::sort(s.begin(), s.end());
    row.p50 = s[s.size() / 2];
    row.p99 = s[std::min(s.size() - 1, s.size() * 99 / 100)];
    double sum = 0;
    for (double v : s) sum += v;
    row.mean = sum / static_cast<double>(s.size());
    row.rate = 1000.0 * static_cast<double>(ms.size()) / total;
  }
  return row;
}

std::string KorvaneFile(const std::filesystem::path& dir, bool ascii) {
  auto ws = MakeWorkspace();
  ws->Settings.IsMaster = roSlave;
  ws->Settings.RtuMode = FrameModeOf(!ascii);
  ws->Settings.CommPort = 1;
  ws->Settings.BaudRate = 115200;
  for (int i = 1; i <= 100; ++i) ws->SlotTables(1).HoldingRegTable[static_cast<size_t>(i)] = i - 1;
  const std::string path = (dir / (ascii ? "slave-ascii.txt" : "slave-rtu.txt")).string();
  SaveRegisterFile(*ws, path);
  return path;
}

} // namespace

int main(int argc, char** argv) {
  int requests = 500;
  int warmup = 2000;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--requests" && i + 1 < argc) {
      requests = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--warmup" && i + 1 < argc) {
      warmup = std::max(0, std::atoi(argv[++i]));
    } else if (a == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--requests N] [--warmup N] [--only korvane|libmodbus|pymodbus]\n",
                   argv[0]);
      return 2;
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
  char tmpl[] = "/tmp/korvane-turnaround-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return 1;
  const std::filesystem::path dir = tmpl;

  struct Case {
    std::string server;
    bool ascii;
  };
  const std::vector<Case> cases = {
      {"korvane", false}, {"libmodbus", false}, {"pymodbus", false}, {"korvane", true}, {"pymodbus", true}};
  std::vector<Row> rows;
  bool failed = false;
  for (const Case& c : cases) {
    if (!only.empty() && only != c.server) continue;
    Pty pty;
    if (!pty.Open()) {
      std::perror("openpty");
      return 1;
    }
    std::vector<std::string> args;
    if (c.server == "korvane")
      args = {KORVANE_PROGRAM, KorvaneFile(dir, c.ascii), "--headless", "--open", "--port", "1=" + pty.path};
    else if (c.server == "libmodbus")
      args = {LIBMODBUS_SERVER, pty.path};
    else
      args = {"/usr/bin/python3", PYMODBUS_SERVER, pty.path, c.ascii ? "ascii" : "rtu"};
    const std::string log = (dir / (c.server + (c.ascii ? "-ascii" : "-rtu") + ".log")).string();
    Server server;
    const char* framing = c.ascii ? "ASCII" : "RTU";
    if (!server.Start(args, log) || !WaitReady(pty.master, c.ascii, server)) {
      std::fprintf(stderr, "%s (%s) did not answer; its output is in %s\n", c.server.c_str(), framing,
                   log.c_str());
      failed = true;
      continue;
    }
    const long rss = VmRssKb(server.Pid());
    for (int function : {3, 16}) {
      if (function == 3 && warmup > 0) Measure(pty.master, 3, c.ascii, warmup);
      Row r = Measure(pty.master, function, c.ascii, requests);
      r.server = c.server;
      r.framing = framing;
      r.rss_kb = rss;
      rows.push_back(r);
    }
    server.Stop();
  }

  std::printf("Slave turnaround on a pseudo-terminal, %d requests per row (function 3: read 10 registers;\n"
              "function 16: write 10 registers), each sent after the reply to the one before; %d requests\n"
              "before the first row of each server are not counted.\n\n",
              requests, warmup);
  std::printf(
      "| server    | framing | function | p50 ms | p99 ms | mean ms | requests/s | lost | idle VmRSS kB |\n");
  std::printf(
      "|-----------|---------|----------|-------:|-------:|--------:|-----------:|-----:|--------------:|\n");
  for (const Row& r : rows)
    std::printf("| %-9s | %-7s | %8d | %6.3f | %6.3f | %7.3f | %10.0f | %4d | %13ld |\n", r.server.c_str(),
                r.framing.c_str(), r.function, r.p50, r.p99, r.mean, r.rate, r.lost, r.rss_kb);

  auto find = [&rows](const std::string& s, const std::string& f, int fn) -> const Row* {
    for (const Row& r : rows)
      if (r.server == s && r.framing == f && r.function == fn && r.ok > 0) return &r;
    return nullptr;
  };
  std::printf("\nRatios Korvane / peer (p50 and p99: below 1 is faster; requests/s: above 1 is faster)\n\n");
  std::printf("| peer      | framing | function | p50   | p99   | requests/s |\n");
  std::printf("|-----------|---------|----------|------:|------:|-----------:|\n");
  for (const char* peer : {"libmodbus", "pymodbus"})
    for (const char* f : {"RTU", "ASCII"})
      for (int fn : {3, 16}) {
        const Row* k = find("korvane", f, fn);
        const Row* p = find(peer, f, fn);
        if (k == nullptr || p == nullptr) continue;
        std::printf("| %-9s | %-7s | %8d | %5.2f | %5.2f | %10.2f |\n", peer, f, fn, k->p50 / p->p50,
                    k->p99 / p->p99, k->rate / p->rate);
      }
  std::error_code ec;
  if (!failed) std::filesystem::remove_all(dir, ec);
  return failed ? 1 : 0;
}
