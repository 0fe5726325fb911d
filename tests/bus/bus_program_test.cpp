// The built korvane-bus over real pseudo-terminals: started and stopped by each test, every wait
// bounded by a deadline on a condition.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "install/child_process.h"
#include "support/files.h"

namespace {

namespace fs = std::filesystem;
using korvane::testing::ChildProcess;
using korvane::testing::RunProgram;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kStart = 10s;
constexpr auto kTraffic = 10s;

class TempDir {
public:
  TempDir() {
    char pattern[] = "/tmp/korvane_bus_XXXXXX";
    if (mkdtemp(pattern)) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const fs::path& Path() const { return path_; }

private:
  fs::path path_;
};

// One node's device as a program opens its serial port (nonblocking, so no wait is unbounded).
class Port {
public:
  explicit Port(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;
  ~Port() { Close(); }
  bool Ok() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

private:
  int fd_;
};

// Writes `data` on `writer` while every reader collects what arrives, until each reader holds
// `expect[i]` bytes or the deadline passes. Returns what each reader got.
std::vector<std::string> Exchange(int writer, const std::string& data, const std::vector<int>& readers,
                                  const std::vector<size_t>& expect,
                                  std::chrono::milliseconds limit = kTraffic) {
  const auto deadline = Clock::now() + limit;
  std::vector<std::string> got(readers.size());
  size_t sent = 0;
  auto done = [&] {
    for (size_t i = 0; i < readers.size(); ++i)
      if (got[i].size() < expect[i]) return false;
    return sent == data.size();
  };
  while (!done() && Clock::now() < deadline) {
    std::vector<pollfd> fds;
    for (int r : readers) fds.push_back({r, POLLIN, 0});
    if (writer >= 0 && sent < data.size()) fds.push_back({writer, POLLOUT, 0});
    if (poll(fds.data(), fds.size(), 50) < 0) break;
    for (size_t i = 0; i < readers.size(); ++i) {
      if ((fds[i].revents & POLLIN) == 0) continue;
      char buffer[65536];
      const ssize_t n = read(readers[i], buffer, sizeof buffer);
      if (n > 0) got[i].append(buffer, static_cast<size_t>(n));
    }
    if (fds.size() > readers.size() && (fds.back().revents & POLLOUT)) {
      const ssize_t n = write(writer, data.data() + sent, std::min<size_t>(data.size() - sent, 4096));
      if (n > 0) sent += static_cast<size_t>(n);
    }
  }
  return got;
}

// Equal byte strings; when not, the sizes and the first difference instead of both strings.
::testing::AssertionResult Same(const std::string& got, const std::string& expected) {
  if (got == expected) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << "got " << got.size() << " bytes, expected " << expected.size()
                                       << "; they differ from byte " << at;
}

std::string Payload(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + static_cast<size_t>(seed) * 17) & 0xFF);
  return s;
}

struct Counts {
  uint64_t Wrote = 0, Received = 0, Corrupted = 0, Dropped = 0;
};

// korvane-bus as a child: its node devices (and links) as it announced them.
class Bus {
public:
  explicit Bus(const std::vector<std::string>& options) {
    std::vector<std::string> argv = {KORVANE_BUS_EXE};
    argv.insert(argv.end(), options.begin(), options.end());
    child_ =
        std::make_unique<ChildProcess>(argv, std::vector<std::string>{}, (dir_.Path() / "bus.err").string());
    const std::regex node(R"(node (\d+): (/dev/pts/\d+)(?: link (.+))?)");
    for (;;) {
      const std::optional<std::string> line = child_->ReadLine(kStart);
      if (!line) return;
      if (*line == "ready") break;
      std::smatch m;
      if (!std::regex_match(*line, m, node) || std::stoul(m[1]) != Devices.size() + 1) return;
      Devices.push_back(m[2]);
      Links.push_back(m[3]);
    }
    ready_ = true;
  }

  bool Ready() const { return ready_; }
  std::string Err() const { return child_->Err(); }

  // The devices the bus process itself has open (its /proc/PID/fd entries).
  std::vector<std::string> OpenDevices() const {
    std::vector<std::string> open;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(child_->Pid()) + "/fd", ec)) {
      const fs::path target = fs::read_symlink(e.path(), ec);
      if (!ec && target.string().rfind("/dev/pts/", 0) == 0) open.push_back(target.string());
    }
    return open;
  }

  // Sends `sig`, waits for the end and reads the counts it printed. False when it did not end
  // with status 0 or printed no count for some node.
  bool Stop(int sig = SIGTERM) {
    if (kill(child_->Pid(), sig) != 0) return false;
    Output = child_->ReadAll(kStart);
    const std::optional<int> st = child_->Wait(kStart);
    if (!st || !WIFEXITED(*st) || WEXITSTATUS(*st) != 0) return false;
    const std::regex line(R"(node (\d+): wrote (\d+), received (\d+), corrupted (\d+), dropped (\d+))");
    Final.assign(Devices.size(), {});
    size_t seen = 0;
    for (std::sregex_iterator it(Output.begin(), Output.end(), line), end; it != end; ++it) {
      const size_t k = std::stoul((*it)[1]);
      if (k < 1 || k > Final.size()) return false;
      Final[k - 1] = {std::stoull((*it)[2]), std::stoull((*it)[3]), std::stoull((*it)[4]),
                      std::stoull((*it)[5])};
      ++seen;
    }
    return seen == Devices.size();
  }

  std::vector<std::string> Devices;
  std::vector<std::string> Links;
  std::vector<Counts> Final;
  std::string Output;

private:
  TempDir dir_;
  std::unique_ptr<ChildProcess> child_;
  bool ready_ = false;
};

#define ASSERT_BUS_READY(bus) ASSERT_TRUE((bus).Ready()) << "korvane-bus did not get ready: " << (bus).Err()

std::vector<std::unique_ptr<Port>> OpenAll(const std::vector<std::string>& devices) {
  std::vector<std::unique_ptr<Port>> ports;
  for (const std::string& d : devices) ports.push_back(std::make_unique<Port>(d));
  return ports;
}

TEST(BusProgram, EachNodesBytesReachEveryOtherNodeInOrderAndNotTheWriter) {
  for (int nodes : {2, 3, 8}) {
    SCOPED_TRACE("nodes " + std::to_string(nodes));
    Bus bus({"--nodes", std::to_string(nodes)});
    ASSERT_BUS_READY(bus);
    ASSERT_EQ(bus.Devices.size(), static_cast<size_t>(nodes));
    auto ports = OpenAll(bus.Devices);
    for (auto& p : ports) ASSERT_TRUE(p->Ok());

    // Each node writes in turn, node 1 a second time at the end: every receiver holds the others'
    // payloads in the order written, and a writer's own bytes never come back before the next.
    std::vector<std::string> expected(static_cast<size_t>(nodes));
    std::vector<std::string> received(static_cast<size_t>(nodes));
    std::vector<int> order;
    for (int k = 0; k < nodes; ++k) order.push_back(k);
    order.push_back(0);
    uint64_t total = 0;
    for (size_t round = 0; round < order.size(); ++round) {
      const int from = order[round];
      const std::string payload = Payload(round + 1 == order.size() ? 7 : 3000, from + 1);
      std::vector<int> readers;
      std::vector<size_t> expect;
      for (int k = 0; k < nodes; ++k) {
        if (k == from) continue;
        expected[static_cast<size_t>(k)] += payload;
        readers.push_back(ports[static_cast<size_t>(k)]->Fd());
        expect.push_back(payload.size());
      }
      const std::vector<std::string> got =
          Exchange(ports[static_cast<size_t>(from)]->Fd(), payload, readers, expect);
      for (size_t i = 0, k = 0; k < static_cast<size_t>(nodes); ++k)
        if (static_cast<int>(k) != from) received[k] += got[i++];
      total += payload.size();
    }
    for (int k = 0; k < nodes; ++k)
      EXPECT_TRUE(Same(received[static_cast<size_t>(k)], expected[static_cast<size_t>(k)]))
          << "node " << k + 1;
    ASSERT_TRUE(bus.Stop()) << bus.Output << bus.Err();
    for (int k = 0; k < nodes; ++k) {
      const Counts& c = bus.Final[static_cast<size_t>(k)];
      EXPECT_EQ(c.Received, expected[static_cast<size_t>(k)].size()) << "node " << k + 1;
      EXPECT_EQ(c.Wrote, total - expected[static_cast<size_t>(k)].size()) << "node " << k + 1;
      EXPECT_EQ(c.Dropped + c.Corrupted, 0u) << "node " << k + 1;
    }
  }
}

// Two nodes writing at once: each receiver gets both streams, each in its own order, and all
// receivers get the same mix.
TEST(BusProgram, WritersAtOnceReachEveryReceiverInTheSameOrder) {
  Bus bus({"--nodes", "4"});
  ASSERT_BUS_READY(bus);
  auto ports = OpenAll(bus.Devices);
  std::string low, high; // node 1 writes bytes below 0x80, node 2 bytes from 0x80
  for (size_t i = 0; i < 20000; ++i) {
    low += static_cast<char>(i % 128);
    high += static_cast<char>(128 + (i * 7) % 128);
  }
  // Node 2's bytes go first, as one write, so they wait in the bus while node 1 writes too.
  ASSERT_EQ(write(ports[1]->Fd(), high.data(), 2048), 2048);
  const std::string rest = high.substr(2048);
  const auto deadline = Clock::now() + kTraffic;
  std::vector<std::string> got(4);
  size_t sentLow = 0, sentHigh = 0;
  while ((got[2].size() < 40000 || got[3].size() < 40000 || got[0].size() < 20000 || got[1].size() < 20000) &&
         Clock::now() < deadline) {
    std::vector<pollfd> fds;
    for (auto& p : ports) fds.push_back({p->Fd(), POLLIN, 0});
    if (poll(fds.data(), fds.size(), 50) < 0) break;
    for (size_t i = 0; i < 4; ++i) {
      if ((fds[i].revents & POLLIN) == 0) continue;
      char buffer[65536];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) got[i].append(buffer, static_cast<size_t>(n));
    }
    if (sentLow < low.size()) {
      const ssize_t n =
          write(ports[0]->Fd(), low.data() + sentLow, std::min<size_t>(low.size() - sentLow, 1000));
      if (n > 0) sentLow += static_cast<size_t>(n);
    }
    if (sentHigh < rest.size()) {
      const ssize_t n =
          write(ports[1]->Fd(), rest.data() + sentHigh, std::min<size_t>(rest.size() - sentHigh, 1000));
      if (n > 0) sentHigh += static_cast<size_t>(n);
    }
  }
  EXPECT_TRUE(Same(got[0], high));
  EXPECT_TRUE(Same(got[1], low));
  EXPECT_EQ(got[2].size(), 40000u);
  EXPECT_TRUE(Same(got[3], got[2]));
  std::string lows, highs;
  for (char c : got[2]) (static_cast<unsigned char>(c) < 128 ? lows : highs) += c;
  EXPECT_TRUE(Same(lows, low));
  EXPECT_TRUE(Same(highs, high));
  // The mix really interleaves: node 1's bytes do not all come before or after node 2's.
  EXPECT_LT(got[2].find(high.substr(0, 16)), got[2].rfind(low.substr(low.size() - 16)));
  ASSERT_TRUE(bus.Stop()) << bus.Output << bus.Err();
}

TEST(BusProgram, EchoReturnsTheBytesToTheWriterToo) {
  Bus bus({"--nodes", "3", "--echo"});
  ASSERT_BUS_READY(bus);
  auto ports = OpenAll(bus.Devices);
  const std::string payload = Payload(5000, 3);
  const auto got = Exchange(ports[1]->Fd(), payload, {ports[0]->Fd(), ports[1]->Fd(), ports[2]->Fd()},
                            {payload.size(), payload.size(), payload.size()});
  for (size_t k = 0; k < 3; ++k) EXPECT_TRUE(Same(got[k], payload)) << "node " << k + 1;
  ASSERT_TRUE(bus.Stop()) << bus.Output << bus.Err();
  EXPECT_EQ(bus.Final[1].Wrote, payload.size());
  for (const Counts& c : bus.Final) EXPECT_EQ(c.Received, payload.size());
}

// What the receivers of a run with --corrupt get, and the bus's count of corrupted bytes.
struct NoisyRun {
  std::string Node2, Node3;
  uint64_t Corrupted = 0;
  bool Ok = false;
};

NoisyRun RunNoisy(const std::string& seed, const std::string& payload) {
  NoisyRun run;
  Bus bus({"--corrupt", "0.5", "--seed", seed});
  if (!bus.Ready()) return run;
  auto ports = OpenAll(bus.Devices);
  const auto got =
      Exchange(ports[0]->Fd(), payload, {ports[1]->Fd(), ports[2]->Fd()}, {payload.size(), payload.size()});
  run.Node2 = got[0];
  run.Node3 = got[1];
  run.Ok = bus.Stop();
  if (run.Ok) run.Corrupted = bus.Final[0].Corrupted;
  return run;
}

TEST(BusProgram, CorruptFlipsOneBitInAboutHalfTheBytesTheSameForEveryReceiverAndRun) {
  const std::string payload = Payload(4000, 1);
  const NoisyRun first = RunNoisy("7", payload);
  ASSERT_TRUE(first.Ok);
  ASSERT_EQ(first.Node2.size(), payload.size());
  EXPECT_TRUE(Same(first.Node3, first.Node2));
  size_t changed = 0;
  for (size_t i = 0; i < payload.size(); ++i) {
    const auto diff = static_cast<uint8_t>(payload[i] ^ first.Node2[i]);
    EXPECT_LE(std::popcount(diff), 1) << "byte " << i;
    changed += diff != 0;
  }
  EXPECT_GT(changed, 1800u);
  EXPECT_LT(changed, 2200u);
  EXPECT_EQ(first.Corrupted, changed);

  const NoisyRun again = RunNoisy("7", payload);
  ASSERT_TRUE(again.Ok);
  EXPECT_TRUE(Same(again.Node2, first.Node2)) << "the same seed must give the same bytes";
  EXPECT_TRUE(Same(again.Node3, first.Node2));

  const NoisyRun other = RunNoisy("8", payload);
  ASSERT_TRUE(other.Ok);
  ASSERT_EQ(other.Node2.size(), payload.size());
  EXPECT_FALSE(other.Node2 == first.Node2) << "another seed must give other bytes";
}

TEST(BusProgram, ANodeClosedAndReopenedKeepsTheLineAndStartsEmpty) {
  Bus bus({"--nodes", "3"});
  ASSERT_BUS_READY(bus);
  auto ports = OpenAll(bus.Devices);
  ports[1]->Close();

  // The bus holds every slave side itself, so no node hangs up when its program closes it.
  const std::vector<std::string> held = bus.OpenDevices();
  for (const std::string& d : bus.Devices)
    EXPECT_NE(std::find(held.begin(), held.end(), d), held.end()) << d << " is not held by the bus";

  // The line goes on while node 2 is closed.
  const std::string whileClosed = Payload(3000, 9);
  auto got = Exchange(ports[0]->Fd(), whileClosed, {ports[2]->Fd()}, {whileClosed.size()});
  EXPECT_TRUE(Same(got[0], whileClosed));

  // Reopened, node 2 gets what is written from now on, not what it missed, and can write.
  Port again(bus.Devices[1]);
  ASSERT_TRUE(again.Ok());
  got = Exchange(ports[0]->Fd(), "after", {again.Fd(), ports[2]->Fd()}, {5, 5});
  EXPECT_TRUE(Same(got[0], "after"));
  EXPECT_TRUE(Same(got[1], "after"));
  // Still raw both ways: every byte value passes unchanged (no echo, no line editing, no CR/LF
  // translation).
  std::string all(256, '\0');
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<char>(i);
  got = Exchange(again.Fd(), all, {ports[0]->Fd(), ports[2]->Fd()}, {256, 256});
  EXPECT_TRUE(Same(got[0], all));
  EXPECT_TRUE(Same(got[1], all));
  got = Exchange(ports[2]->Fd(), all, {again.Fd(), ports[0]->Fd()}, {256, 256});
  EXPECT_TRUE(Same(got[0], all));
  EXPECT_TRUE(Same(got[1], all));

  // Closed and reopened several times while another node writes.
  for (int i = 0; i < 5; ++i) {
    again.Close();
    Port once(bus.Devices[1]);
    ASSERT_TRUE(once.Ok());
    const std::string word = "round" + std::to_string(i);
    got = Exchange(ports[2]->Fd(), word, {once.Fd(), ports[0]->Fd()}, {word.size(), word.size()});
    EXPECT_TRUE(Same(got[0], word));
    EXPECT_TRUE(Same(got[1], word));
  }
  ASSERT_TRUE(bus.Stop()) << bus.Output << bus.Err();
}

// Node 2 never opened, or open but never read: the other nodes get every byte all the same.
TEST(BusProgram, BytesForANodeThatDoesNotTakeThemAreDroppedWithoutStoppingTheBus) {
  for (bool opened : {false, true}) {
    SCOPED_TRACE(opened ? "node 2 open, not read" : "node 2 never opened");
    Bus bus({"--nodes", "3"});
    ASSERT_BUS_READY(bus);
    Port first(bus.Devices[0]);
    Port third(bus.Devices[2]);
    std::optional<Port> second;
    if (opened) second.emplace(bus.Devices[1]);
    const std::string payload = Payload(1024 * 1024, 5);
    const auto got = Exchange(first.Fd(), payload, {third.Fd()}, {payload.size()}, 30s);
    EXPECT_TRUE(Same(got[0], payload)) << "node 3";
    ASSERT_TRUE(bus.Stop()) << bus.Output << bus.Err();
    const Counts& idle = bus.Final[1];
    EXPECT_EQ(idle.Received + idle.Dropped, payload.size());
    if (opened) {
      // What its terminal and the bus's queue held was handed over; the rest was dropped.
      EXPECT_GT(idle.Received, 0u);
      EXPECT_LT(idle.Received, payload.size() / 2);
    } else {
      EXPECT_EQ(idle.Dropped, payload.size());
    }
    EXPECT_EQ(bus.Final[2].Dropped, 0u);
    EXPECT_EQ(bus.Final[2].Received, payload.size());
  }
}

TEST(BusProgram, StopSignalsPrintTheCountsAndRemoveTheLinks) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(sig));
    TempDir dir;
    const std::string prefix = (dir.Path() / "line").string();
    // A link left behind by an earlier run is replaced.
    ASSERT_EQ(symlink("/nonexistent", (prefix + "2").c_str()), 0);
    Bus bus({"--nodes", "3", "--link", prefix});
    ASSERT_BUS_READY(bus);
    for (size_t k = 0; k < 3; ++k) {
      const std::string link = prefix + std::to_string(k + 1);
      EXPECT_EQ(bus.Links[k], link);
      std::error_code ec;
      EXPECT_EQ(fs::read_symlink(link, ec).string(), bus.Devices[k]);
    }
    Port one(prefix + "1"), two(prefix + "2"), three(prefix + "3");
    ASSERT_TRUE(one.Ok() && two.Ok() && three.Ok());
    auto got = Exchange(one.Fd(), "0123456789", {two.Fd(), three.Fd()}, {10, 10});
    EXPECT_TRUE(Same(got[0], "0123456789"));
    got = Exchange(three.Fd(), "abc", {one.Fd(), two.Fd()}, {3, 3});
    EXPECT_TRUE(Same(got[1], "abc"));

    ASSERT_TRUE(bus.Stop(sig)) << bus.Output << bus.Err();
    EXPECT_NE(bus.Output.find("node 1: wrote 10, received 3, corrupted 0, dropped 0\n"), std::string::npos)
        << bus.Output;
    EXPECT_NE(bus.Output.find("node 2: wrote 0, received 13, corrupted 0, dropped 0\n"), std::string::npos)
        << bus.Output;
    EXPECT_NE(bus.Output.find("node 3: wrote 3, received 10, corrupted 0, dropped 0\n"), std::string::npos)
        << bus.Output;
    for (size_t k = 1; k <= 3; ++k) {
      struct stat st {};
      EXPECT_NE(lstat((prefix + std::to_string(k)).c_str(), &st), 0) << "link " << k << " left behind";
    }
  }
}

TEST(BusProgram, RefusesToReplaceAFileThatIsNotALink) {
  TempDir dir;
  const std::string prefix = (dir.Path() / "tty").string();
  korvane::test::WriteFile(prefix + "2", "keep me");
  const auto r = RunProgram({KORVANE_BUS_EXE, "--link", prefix}, (dir.Path() / "err").string(), kStart);
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Err.find(prefix + "2"), std::string::npos) << r.Err;
  EXPECT_EQ(r.Out.find("ready"), std::string::npos);
  EXPECT_EQ(korvane::test::ReadFile(prefix + "2"), "keep me");
  struct stat st {};
  EXPECT_NE(lstat((prefix + "1").c_str(), &st), 0) << "the first link was left behind";
}

TEST(BusProgram, WrongOptionsPrintTheUsageAndExit2) {
  TempDir dir;
  const std::string err = (dir.Path() / "err").string();
  const std::vector<std::vector<std::string>> wrong = {
      {"--nodes", "1"}, {"--nodes", "33"}, {"--corrupt", "2"}, {"--seed"},
      {"--bogus"},      {"extra"},         {"--echo=yes"}};
  for (const auto& args : wrong) {
    std::vector<std::string> argv = {KORVANE_BUS_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = RunProgram(argv, err, kStart);
    EXPECT_EQ(r.ExitCode, 2) << args[0];
    EXPECT_NE(r.Err.find("Usage: korvane-bus"), std::string::npos) << args[0] << ": " << r.Err;
    EXPECT_EQ(r.Out, "") << args[0];
  }
  const auto help = RunProgram({KORVANE_BUS_EXE, "--help"}, err, kStart);
  EXPECT_EQ(help.ExitCode, 0);
  EXPECT_EQ(help.Out.rfind("Usage: korvane-bus", 0), 0u) << help.Out;
}

} // namespace
