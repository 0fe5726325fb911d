// Serial transport figures over a pseudo-terminal pair: how long a byte
// written at the far end takes to reach OnReceive, and how fast a stream
// passes the reader. Prints figures; asserts nothing.
#include "serial/serial_port.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>
#include <vector>

using namespace korvane;
using Clock = std::chrono::steady_clock;

namespace {

struct Pty {
  int master = -1;
  std::string slave;
  Pty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0)
      return;
    slave = name;
  }
  ~Pty() {
    if (master >= 0) ::close(master);
  }
};

struct Arrivals {
  std::mutex mutex;
  std::condition_variable cv;
  size_t bytes = 0;
  size_t chunks = 0;

  bool WaitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return bytes >= n; });
  }
};

void Run(uint32_t delay_ms) {
  Pty pty;
  if (pty.slave.empty()) {
    std::printf("no pseudo-terminal available\n");
    return;
  }
  PortMap ports("/nonexistent", "/nonexistent");
  ports.SetPortOverride(1, pty.slave);
  DirectInvoker invoker;
  TSerialPort port(invoker, DefaultCommBackend(), ports);
  port.SetPort(spCOM1);
  port.SetDelay(delay_ms);
  Arrivals arrivals;
  port.OnReceive = [&](TSerialPort&, const std::string& chunk) {
    std::lock_guard<std::mutex> lock(arrivals.mutex);
    arrivals.bytes += chunk.size();
    ++arrivals.chunks;
    arrivals.cv.notify_all();
  };
  port.Open();

  // Latency: one byte at a time, at uneven moments within the poll period.
  std::vector<double> us;
  size_t expected = 0;
  for (int i = 0; i < 200; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(1000 + (i * 7919) % 20000));
    const auto start = Clock::now();
    if (::write(pty.master, "x", 1) != 1) break;
    if (!arrivals.WaitFor(++expected)) break;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(us.begin(), us.end());
  if (!us.empty())
    std::printf(
        "Delay %3u ms: write-to-OnReceive latency over %zu bytes: median %.0f us, p90 %.0f us, max %.0f us\n",
        delay_ms, us.size(), us[us.size() / 2], us[us.size() * 9 / 10], us.back());

  // Throughput: 1 MiB written as fast as the far end takes it.
  const size_t total = 1u << 20;
  const std::string block(4096, 'y');
  {
    std::lock_guard<std::mutex> lock(arrivals.mutex);
    arrivals.bytes = 0;
    arrivals.chunks = 0;
  }
  const auto start = Clock::now();
  for (size_t sent = 0; sent < total;) {
    const ssize_t n = ::write(pty.master, block.data(), block.size());
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  const bool all = arrivals.WaitFor(total);
  const double s = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("Delay %3u ms: 1 MiB stream %s in %.3f s (%.1f MB/s) in %zu chunks\n", delay_ms,
              all ? "delivered" : "NOT delivered", s, total / s / 1e6, arrivals.chunks);
  port.Close();
}

} // namespace

int main() {
  for (uint32_t delay : {50u, 10u}) Run(delay);
  return 0;
}
