// korvane-bus figures: how many bytes per second one writer gets through the bus to the other
// nodes (3 nodes: 2 receivers; 8 nodes: 7), and how long one byte takes from a writer to a
// receiver. Starts the built korvane-bus itself; prints figures, asserts nothing.
//   bus_bench [--seconds S] [--block BYTES] [--samples N]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "install/child_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Options {
  double Seconds = 2.0;
  size_t Block = 4096;
  int Samples = 2000;
};

// The bus as a child process, with its nodes opened as a program opens a serial port.
class Bus {
public:
  explicit Bus(int nodes) : child_({KORVANE_BUS_PROGRAM, "--nodes", std::to_string(nodes)}, {}, "/dev/null") {
    const std::regex node(R"(node \d+: (/dev/pts/\d+))");
    for (;;) {
      const std::optional<std::string> line = child_.ReadLine(10s);
      if (!line) return;
      if (*line == "ready") break;
      std::smatch m;
      if (std::regex_match(*line, m, node))
        fds_.push_back(::open(m[1].str().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    }
    ok_ = static_cast<int>(fds_.size()) == nodes &&
          std::all_of(fds_.begin(), fds_.end(), [](int fd) { return fd >= 0; });
  }
  ~Bus() {
    for (int fd : fds_)
      if (fd >= 0) ::close(fd);
  }
  bool Ok() const { return ok_; }
  int Fd(size_t i) const { return fds_[i]; }
  size_t Nodes() const { return fds_.size(); }

  // Stops the bus; the total of the bytes it dropped.
  uint64_t Stop() {
    ::kill(child_.Pid(), SIGTERM);
    const std::string out = child_.ReadAll(10s);
    child_.Wait(10s);
    uint64_t dropped = 0;
    const std::regex counts(R"(dropped (\d+))");
    for (std::sregex_iterator it(out.begin(), out.end(), counts), end; it != end; ++it)
      dropped += std::stoull((*it)[1]);
    return dropped;
  }

private:
  korvane::testing::ChildProcess child_;
  std::vector<int> fds_;
  bool ok_ = false;
};

void Throughput(int nodes, const Options& o) {
  Bus bus(nodes);
  if (!bus.Ok()) {
    std::printf("%5d  korvane-bus did not start\n", nodes);
    return;
  }
  const size_t receivers = bus.Nodes() - 1;
  std::vector<uint64_t> got(receivers, 0);
  std::atomic<bool> writing{true};
  std::atomic<uint64_t> written{0};

  // One thread writes on node 1 as fast as the bus takes it; this one reads every receiver.
  const auto start = Clock::now();
  std::thread writer([&] {
    std::vector<char> block(o.Block);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
    const auto until = start + std::chrono::duration<double>(o.Seconds);
    while (Clock::now() < until) {
      pollfd p{bus.Fd(0), POLLOUT, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::write(bus.Fd(0), block.data(), block.size());
      if (n > 0) written += static_cast<uint64_t>(n);
    }
    writing = false;
  });
  std::vector<char> buffer(1 << 16);
  auto last = Clock::now();
  for (;;) {
    std::vector<pollfd> fds;
    for (size_t r = 0; r < receivers; ++r) fds.push_back({bus.Fd(r + 1), POLLIN, 0});
    const int ready = ::poll(fds.data(), fds.size(), 200);
    if (ready > 0) {
      for (size_t r = 0; r < receivers; ++r) {
        if ((fds[r].revents & POLLIN) == 0) continue;
        const ssize_t n = ::read(fds[r].fd, buffer.data(), buffer.size());
        if (n > 0) got[r] += static_cast<uint64_t>(n);
      }
      last = Clock::now();
    }
    const bool allIn = std::all_of(got.begin(), got.end(), [&](uint64_t g) { return g >= written; });
    if (!writing && (allIn || ready == 0)) break;
  }
  writer.join();
  const double seconds = std::chrono::duration<double>(last - start).count();
  const uint64_t least = *std::min_element(got.begin(), got.end());
  uint64_t total = 0;
  for (uint64_t g : got) total += g;
  const uint64_t dropped = bus.Stop();
  std::printf("%5d  %9zu  %12.1f  %17.1f  %18.1f  %7llu\n", nodes, receivers,
              static_cast<double>(written) / seconds / 1e6, static_cast<double>(least) / seconds / 1e6,
              static_cast<double>(total) / seconds / 1e6, static_cast<unsigned long long>(dropped));
}

void Latency(int nodes, const Options& o) {
  Bus bus(nodes);
  if (!bus.Ok()) {
    std::printf("%5d  korvane-bus did not start\n", nodes);
    return;
  }
  std::vector<double> us;
  char byte = 'x';
  for (int i = 0; i < o.Samples; ++i) {
    const auto t0 = Clock::now();
    if (::write(bus.Fd(0), &byte, 1) != 1) break;
    pollfd p{bus.Fd(1), POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) break;
    char in = 0;
    if (::read(bus.Fd(1), &in, 1) != 1) break;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    // The other receivers' copies are emptied so their terminals never fill.
    for (size_t r = 2; r < bus.Nodes(); ++r) {
      char drain[64];
      while (::read(bus.Fd(r), drain, sizeof drain) > 0) {
      }
    }
  }
  bus.Stop();
  if (us.empty()) {
    std::printf("%5d  no byte came through\n", nodes);
    return;
  }
  std::sort(us.begin(), us.end());
  const auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<size_t>(q * us.size()))]; };
  std::printf("%5d  %8zu  %9.1f  %9.1f  %9.1f\n", nodes, us.size(), at(0.5), at(0.99), us.back());
}

} // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) o.Seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--block") == 0) o.Block = static_cast<size_t>(std::atol(argv[i + 1]));
    if (std::strcmp(argv[i], "--samples") == 0) o.Samples = std::atoi(argv[i + 1]);
  }
  if (o.Seconds <= 0 || o.Block == 0 || o.Samples <= 0) {
    std::fprintf(stderr, "usage: bus_bench [--seconds S] [--block BYTES] [--samples N]\n");
    return 2;
  }
  std::printf("Throughput: node 1 writes %zu-byte blocks for %.1f s; MB/s (10^6 bytes per second)\n", o.Block,
              o.Seconds);
  std::printf("nodes  receivers  written MB/s  per receiver MB/s  all receivers MB/s  dropped\n");
  for (int nodes : {3, 8}) Throughput(nodes, o);
  std::printf("\nOne byte from node 1 to node 2, microseconds (%d samples)\n", o.Samples);
  std::printf("nodes   samples        p50        p99        max\n");
  for (int nodes : {3, 8}) Latency(nodes, o);
  return 0;
}
