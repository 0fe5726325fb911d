// Network backend of the serial platform layer: RTU or ASCII bytes over a TCP
// link to a serial device server, or from a master that connects to us.
//
// Threads: the reader thread alone changes a link's sockets (it connects,
// accepts, notices the loss and closes); it does so under the link's mutex,
// which the owner thread holds while it writes, so a socket is never closed
// under a write. Open runs on the owner thread before the reader exists.
#include "serial/platform/tcp_backend.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace korvane {

namespace {

constexpr char kClientPrefix[] = "tcp:";
constexpr char kListenPrefix[] = "tcp-listen:";

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool ParsePort(const std::string& text, bool allow_zero, uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value > 65535 || (value == 0 && !allow_zero)) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

bool HostTextOk(const std::string& host) {
  if (host.empty()) return false;
  return std::all_of(host.begin(), host.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f && c != '[' && c != ']' && c != '/';
  });
}

// "HOST:PORT" or "[IPV6]:PORT".
bool SplitHostPort(const std::string& text, std::string& host, std::string& port) {
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    return HostTextOk(host);
  }
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  host = text.substr(0, colon);
  port = text.substr(colon + 1);
  // An IPv6 address must be bracketed, or its last group would read as the port.
  return HostTextOk(host) && host.find(':') == std::string::npos;
}

uint64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void SleepMs(uint32_t ms) {
  if (ms == 0) return;
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

int PollFor(pollfd* fds, nfds_t count, uint32_t timeout_ms) {
  const int r = ::poll(fds, count, static_cast<int>(std::min<uint32_t>(timeout_ms, 0x7fffffff)));
  return r < 0 && errno == EINTR ? 0 : r;
}

std::string ErrorText(int error) {
  char buffer[128];
  return strerror_r(error, buffer, sizeof buffer); // the GNU form returns the text
}

std::string EndpointText(const sockaddr* address) {
  char host[INET6_ADDRSTRLEN] = "";
  if (address->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(in->sin_port));
  }
  if (address->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(in6->sin6_port));
  }
  return "?";
}

std::string WrittenEndpoint(const NetworkDevice& d) {
  const bool v6 = d.Host.find(':') != std::string::npos;
  return (v6 ? "[" + d.Host + "]" : d.Host) + ":" + std::to_string(d.Port);
}

std::string SecondsText(uint32_t ms) { return std::to_string(ms / 1000) + " s"; }

// Frames must leave at once, and a peer that vanished without a word (a
// gateway losing power) must be noticed within half a minute.
void TuneConnection(int fd) {
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  int idle = 10, interval = 5, count = 3;
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  unsigned int unacknowledged_ms = 25000;
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged_ms, sizeof unacknowledged_ms);
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

struct Address {
  sockaddr_storage Storage{};
  socklen_t Length = 0;
};

// One open handle. Sockets, state and text change only on the reader thread
// (or in Open), always under `mutex`.
struct Link {
  ~Link() {
    CloseFd(fd);
    CloseFd(connecting_fd);
    CloseFd(listen_fd);
  }

  NetworkDevice device;
  std::vector<Address> targets; // a client's resolved addresses
  std::string target;           // the client's peer as written ("gw.local:4001")
  std::string local;            // the listener's own address

  std::mutex mutex;
  COMMTIMEOUTS timeouts;
  int fd = -1;            // the connection, -1 while there is none
  int listen_fd = -1;     // the listener's socket
  int connecting_fd = -1; // a client's connection attempt in progress
  size_t next_target = 0;
  uint64_t connect_deadline = 0;
  uint64_t next_try = 0; // no attempt (or accept) before this time
  uint32_t retry_ms = kFirstRetryMs;
  bool up = false;
  std::string peer;
  std::string text;
};

class TcpBackend final : public CommBackend {
public:
  CommHandle Open(const std::string& device, int& error) override {
    const std::optional<NetworkDevice> parsed = ParseNetworkDevice(device);
    if (!parsed) {
      error = EINVAL;
      return kInvalidHandle;
    }
    auto link = std::make_shared<Link>();
    link->device = *parsed;
    error = parsed->Listen ? OpenListener(*link) : OpenClient(*link);
    if (error != 0) return kInvalidHandle;
    std::lock_guard<std::mutex> lock(map_mutex_);
    do next_ = next_ < kNetworkHandleBase || next_ == 0x7fffffff ? kNetworkHandleBase : next_ + 1;
    while (links_.count(next_) != 0);
    links_[next_] = std::move(link);
    return next_;
  }

  // Rate, framing and modem lines mean nothing on a link: the device server
  // has its own settings.
  bool SetCommState(CommHandle handle, const DCB&) override { return Find(handle) != nullptr; }

  bool SetCommTimeouts(CommHandle handle, const COMMTIMEOUTS& timeouts) override {
    const auto link = Find(handle);
    if (!link) return false;
    std::lock_guard<std::mutex> lock(link->mutex);
    link->timeouts = timeouts;
    return true;
  }

  bool SetupComm(CommHandle handle, uint32_t, uint32_t) override { return Find(handle) != nullptr; }

  bool GetCommModemStatus(CommHandle handle, uint32_t& status) override {
    status = 0;
    const auto link = Find(handle);
    if (!link) return false;
    std::lock_guard<std::mutex> lock(link->mutex);
    if (link->up) status = kMsCtsOn | kMsDsrOn | kMsRlsdOn;
    return true;
  }

  WaitStatus WaitInput(CommHandle handle, uint32_t timeout_ms) override {
    const auto link = Find(handle);
    if (!link) return WaitStatus::Gone;
    if (link->fd >= 0) return WaitConnected(*link, timeout_ms);
    if (link->device.Listen)
      WaitForClient(*link, timeout_ms);
    else
      WaitForServer(*link, timeout_ms);
    return WaitStatus::Timeout;
  }

  CommStatus BytesWaiting(CommHandle handle, uint32_t& count) override {
    count = 0;
    const auto link = Find(handle);
    if (!link) return CommStatus::Gone;
    if (link->fd < 0) return CommStatus::Ok;
    int n = 0;
    if (::ioctl(link->fd, FIONREAD, &n) != 0) return CommStatus::Failed;
    count = n > 0 ? static_cast<uint32_t>(n) : 0u;
    return CommStatus::Ok;
  }

  CommStatus Read(CommHandle handle, void* buffer, uint32_t count, uint32_t& read) override {
    read = 0;
    const auto link = Find(handle);
    if (!link) return CommStatus::Gone;
    if (link->fd < 0 || count == 0) return CommStatus::Ok;
    ssize_t r;
    do r = ::recv(link->fd, buffer, count, MSG_DONTWAIT);
    while (r < 0 && errno == EINTR);
    if (r > 0) {
      read = static_cast<uint32_t>(r);
      return CommStatus::Ok;
    }
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return CommStatus::Ok;
    Lost(*link); // 0: closed by the peer; anything else: reset or broken
    return CommStatus::Ok;
  }

  CommStatus Write(CommHandle handle, const void* buffer, uint32_t count, uint32_t& written) override {
    written = 0;
    const auto link = Find(handle);
    if (!link) return CommStatus::Failed;
    std::lock_guard<std::mutex> lock(link->mutex);
    // No peer: the bytes have nowhere to go.
    if (link->fd < 0) return CommStatus::Failed;
    const COMMTIMEOUTS& t = link->timeouts;
    const uint64_t budget =
        static_cast<uint64_t>(t.WriteTotalTimeoutMultiplier) * count + t.WriteTotalTimeoutConstant;
    const uint64_t deadline = NowMs() + budget;
    const auto* p = static_cast<const uint8_t*>(buffer);
    while (written < count) {
      const ssize_t r = ::send(link->fd, p + written, count - written, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (r > 0) {
        written += static_cast<uint32_t>(r);
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      // A broken connection is the reader's to notice and replace.
      if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return CommStatus::Gone;
      uint32_t wait_ms = 0x7fffffff;
      if (budget != 0) {
        const uint64_t now = NowMs();
        if (now >= deadline) break; // time-out: report what went out
        wait_ms = static_cast<uint32_t>(std::min<uint64_t>(deadline - now, 0x7fffffff));
      }
      pollfd pfd{link->fd, POLLOUT, 0};
      if (PollFor(&pfd, 1, wait_ms) < 0) return CommStatus::Failed;
      if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) return CommStatus::Gone;
    }
    return CommStatus::Ok;
  }

  bool PurgeComm(CommHandle handle, uint32_t) override { return Find(handle) != nullptr; }

  bool CloseHandle(CommHandle handle) override {
    std::shared_ptr<Link> link;
    {
      std::lock_guard<std::mutex> lock(map_mutex_);
      auto it = links_.find(handle);
      if (it == links_.end()) return false;
      link = std::move(it->second);
      links_.erase(it);
    }
    std::lock_guard<std::mutex> lock(link->mutex);
    CloseFd(link->fd);
    CloseFd(link->connecting_fd);
    CloseFd(link->listen_fd);
    link->up = false;
    return true;
  }

  bool GetLinkStatus(CommHandle handle, LinkStatus& status) override {
    const auto link = Find(handle);
    if (!link) return false;
    std::lock_guard<std::mutex> lock(link->mutex);
    status.Up = link->up;
    status.Text = link->text;
    return true;
  }

  void TimeBeginPeriod(uint32_t) override {}
  void TimeEndPeriod(uint32_t) override {}
  int CurrentThreadId() override { return SerialDeviceBackend().CurrentThreadId(); }
  void SetThreadPriority(int thread_id, int priority) override {
    SerialDeviceBackend().SetThreadPriority(thread_id, priority);
  }

private:
  std::shared_ptr<Link> Find(CommHandle handle) {
    std::lock_guard<std::mutex> lock(map_mutex_);
    auto it = links_.find(handle);
    return it == links_.end() ? nullptr : it->second;
  }

  static int OpenListener(Link& link) {
    const std::string host = link.device.Host.empty() ? "0.0.0.0" : link.device.Host;
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int gai = ::getaddrinfo(host.c_str(), std::to_string(link.device.Port).c_str(), &hints, &found);
    if (gai != 0) return gai == EAI_SYSTEM && errno != 0 ? errno : EADDRNOTAVAIL;
    int error = EADDRNOTAVAIL;
    for (addrinfo* a = found; a != nullptr && link.listen_fd < 0; a = a->ai_next) {
      int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
      if (fd < 0) {
        error = errno;
        continue;
      }
      // A port that a former client still holds in TIME_WAIT can be taken again.
      int on = 1;
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 1) != 0) {
        error = errno;
        CloseFd(fd);
        continue;
      }
      link.listen_fd = fd;
    }
    ::freeaddrinfo(found);
    if (link.listen_fd < 0) return error;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(link.listen_fd, reinterpret_cast<sockaddr*>(&bound), &length);
    link.local = EndpointText(reinterpret_cast<const sockaddr*>(&bound));
    link.text = "listening on " + link.local + ", waiting for a client";
    return 0;
  }

  static int OpenClient(Link& link) {
    link.target = WrittenEndpoint(link.device);
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICSERV;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int gai =
        ::getaddrinfo(link.device.Host.c_str(), std::to_string(link.device.Port).c_str(), &hints, &found);
    // A name that resolves to nothing reads as "No such device or address".
    if (gai != 0) return gai == EAI_SYSTEM && errno != 0 ? errno : ENXIO;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
      if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
      Address address;
      std::memcpy(&address.Storage, a->ai_addr, a->ai_addrlen);
      address.Length = a->ai_addrlen;
      link.targets.push_back(address);
    }
    ::freeaddrinfo(found);
    if (link.targets.empty()) return EHOSTUNREACH;
    // The first connection is made here, so a device server that is not
    // there fails the open as a missing device would.
    const uint64_t deadline = NowMs() + kConnectTimeoutMs;
    int error = ETIMEDOUT;
    for (const Address& address : link.targets) {
      const uint64_t now = NowMs();
      if (now >= deadline) break;
      int fd = StartConnect(address, error);
      if (fd < 0) continue;
      pollfd p{fd, POLLOUT, 0};
      if (PollFor(&p, 1, static_cast<uint32_t>(deadline - now)) > 0)
        error = ConnectResult(fd);
      else
        error = ETIMEDOUT;
      if (error == 0) {
        TuneConnection(fd);
        link.fd = fd;
        link.up = true;
        link.text = "connected to " + link.target;
        return 0;
      }
      CloseFd(fd);
    }
    return error;
  }

  // A non-blocking connection attempt; -1 with `error` when it failed at once.
  static int StartConnect(const Address& address, int& error) {
    const auto* sa = reinterpret_cast<const sockaddr*>(&address.Storage);
    int fd = ::socket(sa->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      error = errno;
      return -1;
    }
    if (::connect(fd, sa, address.Length) == 0 || errno == EINPROGRESS) return fd;
    error = errno;
    CloseFd(fd);
    return -1;
  }

  static int ConnectResult(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
  }

  // Reader thread, while a peer is there.
  WaitStatus WaitConnected(Link& link, uint32_t timeout_ms) {
    pollfd p[2] = {{link.fd, POLLIN | POLLRDHUP, 0}, {link.listen_fd, POLLIN, 0}};
    const nfds_t count = link.listen_fd >= 0 ? 2 : 1;
    const int r = PollFor(p, count, timeout_ms);
    if (r < 0) return WaitStatus::Failed;
    if (r == 0) return WaitStatus::Timeout;
    if (count == 2 && (p[1].revents & POLLIN)) {
      // One client at a time: a second one is turned away at once rather
      // than left waiting for answers that will not come.
      int other = ::accept4(link.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      CloseFd(other);
    }
    const short events = p[0].revents;
    if (events & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) {
      // What the peer sent before it left is delivered first.
      int waiting = 0;
      if ((events & POLLIN) && ::ioctl(link.fd, FIONREAD, &waiting) == 0 && waiting > 0)
        return WaitStatus::Ready;
      Lost(link);
      return WaitStatus::Timeout;
    }
    return (events & POLLIN) ? WaitStatus::Ready : WaitStatus::Timeout;
  }

  // Reader thread: the connection has gone; the link waits for the next one.
  static void Lost(Link& link) {
    std::lock_guard<std::mutex> lock(link.mutex);
    if (link.fd < 0) return;
    CloseFd(link.fd);
    link.up = false;
    if (link.device.Listen) {
      link.text = "client " + link.peer + " disconnected; listening on " + link.local +
                  ", waiting for the next client";
    } else {
      link.next_try = NowMs() + kFirstRetryMs;
      link.retry_ms = std::min(kFirstRetryMs * 2, kLongestRetryMs);
      link.next_target = 0;
      link.text = "connection to " + link.target + " lost; retrying in " + SecondsText(kFirstRetryMs);
    }
  }

  // Reader thread, listener without a client.
  static void WaitForClient(Link& link, uint32_t timeout_ms) {
    const uint64_t now = NowMs();
    if (now < link.next_try) {
      SleepMs(static_cast<uint32_t>(std::min<uint64_t>(timeout_ms, link.next_try - now)));
      return;
    }
    pollfd p{link.listen_fd, POLLIN, 0};
    if (PollFor(&p, 1, timeout_ms) <= 0 || !(p.revents & POLLIN)) return;
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    const int fd =
        ::accept4(link.listen_fd, reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    std::lock_guard<std::mutex> lock(link.mutex);
    if (fd < 0) {
      const int error = errno;
      if (error == EAGAIN || error == EWOULDBLOCK || error == ECONNABORTED || error == EINTR) return;
      // Out of descriptors or memory: the client stays queued; try again later.
      link.next_try = NowMs() + link.retry_ms;
      link.text =
          "cannot take a client (" + ErrorText(error) + "); retrying in " + SecondsText(link.retry_ms);
      link.retry_ms = std::min(link.retry_ms * 2, kLongestRetryMs);
      return;
    }
    TuneConnection(fd);
    link.fd = fd;
    link.up = true;
    link.retry_ms = kFirstRetryMs;
    link.peer = EndpointText(reinterpret_cast<const sockaddr*>(&from));
    link.text = "client " + link.peer + " connected";
  }

  // Reader thread, client without its connection: one attempt at a time,
  // each address in turn, then the back-off.
  static void WaitForServer(Link& link, uint32_t timeout_ms) {
    uint64_t now = NowMs();
    if (link.connecting_fd < 0) {
      if (now < link.next_try) {
        SleepMs(static_cast<uint32_t>(std::min<uint64_t>(timeout_ms, link.next_try - now)));
        return;
      }
      int error = 0;
      const int fd = StartConnect(link.targets[link.next_target], error);
      std::lock_guard<std::mutex> lock(link.mutex);
      if (fd < 0) {
        AttemptFailed(link, error);
        return;
      }
      link.connecting_fd = fd;
      link.connect_deadline = now + kConnectTimeoutMs;
    }
    pollfd p{link.connecting_fd, POLLOUT, 0};
    const uint32_t wait = static_cast<uint32_t>(
        link.connect_deadline > now ? std::min<uint64_t>(timeout_ms, link.connect_deadline - now) : 0);
    const int r = PollFor(&p, 1, wait);
    now = NowMs();
    if (r <= 0 && now < link.connect_deadline) return;
    const int error = r > 0 ? ConnectResult(link.connecting_fd) : ETIMEDOUT;
    std::lock_guard<std::mutex> lock(link.mutex);
    if (error != 0) {
      AttemptFailed(link, error);
      return;
    }
    TuneConnection(link.connecting_fd);
    link.fd = link.connecting_fd;
    link.connecting_fd = -1;
    link.next_target = 0;
    link.up = true;
    link.text = "connected to " + link.target;
  }

  // Under the link's mutex.
  static void AttemptFailed(Link& link, int error) {
    CloseFd(link.connecting_fd);
    if (++link.next_target < link.targets.size()) return; // the next address at once
    link.next_target = 0;
    link.next_try = NowMs() + link.retry_ms;
    link.text = "cannot connect to " + link.target + " (" + ErrorText(error) + "); retrying in " +
                SecondsText(link.retry_ms);
    link.retry_ms = std::min(link.retry_ms * 2, kLongestRetryMs);
  }

  std::mutex map_mutex_;
  std::unordered_map<CommHandle, std::shared_ptr<Link>> links_;
  CommHandle next_ = 0;
};

} // namespace

bool IsNetworkDevice(const std::string& device) {
  return StartsWith(device, kClientPrefix) || StartsWith(device, kListenPrefix);
}

std::optional<NetworkDevice> ParseNetworkDevice(const std::string& device) {
  NetworkDevice d;
  std::string host, port;
  if (StartsWith(device, kListenPrefix)) {
    d.Listen = true;
    const std::string rest = device.substr(sizeof kListenPrefix - 1);
    if (rest.find(':') == std::string::npos) {
      if (!ParsePort(rest, true, d.Port)) return std::nullopt;
      return d;
    }
    if (!SplitHostPort(rest, host, port) || !ParsePort(port, true, d.Port)) return std::nullopt;
    d.Host = host;
    return d;
  }
  if (StartsWith(device, kClientPrefix)) {
    const std::string rest = device.substr(sizeof kClientPrefix - 1);
    if (!SplitHostPort(rest, host, port) || !ParsePort(port, false, d.Port)) return std::nullopt;
    d.Host = host;
    return d;
  }
  return std::nullopt;
}

CommBackend& NetworkBackend() {
  static TcpBackend backend;
  return backend;
}

} // namespace korvane
