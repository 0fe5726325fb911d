#include "tcp_peer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvane::test {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

} // namespace

TcpConnection& TcpConnection::operator=(TcpConnection&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

TcpConnection TcpConnection::To(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return TcpConnection();
  const sockaddr_in a = Loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return TcpConnection();
  }
  return TcpConnection(fd);
}

void TcpConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TcpConnection::Write(const std::string& bytes) {
  size_t done = 0;
  while (fd_ >= 0 && done < bytes.size()) {
    const ssize_t r = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return fd_ >= 0;
}

std::string TcpConnection::Read(size_t count, std::chrono::milliseconds timeout) {
  std::string got;
  const auto end = Clock::now() + timeout;
  while (fd_ >= 0 && got.size() < count) {
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, MsLeft(end));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    char buffer[512];
    const size_t want = std::min(sizeof buffer, count - got.size());
    const ssize_t n = ::recv(fd_, buffer, want, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

bool TcpConnection::ClosedByPeer(std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (fd_ >= 0) {
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, MsLeft(end));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char buffer[64];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
  }
  return false;
}

TcpListener::TcpListener() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in a = Loopback(0);
  socklen_t length = sizeof a;
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 4) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    Close();
    return;
  }
  port_ = ntohs(a.sin_port);
}

TcpConnection TcpListener::Accept(std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (fd_ >= 0) {
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, MsLeft(end));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return TcpConnection(fd);
  }
  return TcpConnection();
}

void TcpListener::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

uint16_t UnusedPort() {
  TcpListener once;
  return once.Port();
}

} // namespace korvane::test
