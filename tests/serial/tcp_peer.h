#pragma once
// The far end of a network port for tests: a listening socket on the loopback
// address at a port the system picks, and connections to a port. Every wait
// is bounded.
#include <chrono>
#include <cstdint>
#include <string>

namespace korvane::test {

// A connected socket; closed with the object.
class TcpConnection {
public:
  TcpConnection() = default;
  explicit TcpConnection(int fd) : fd_(fd) {}
  TcpConnection(TcpConnection&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  TcpConnection& operator=(TcpConnection&& other) noexcept;
  ~TcpConnection() { Close(); }
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Connects to 127.0.0.1:`port`; not Ok when refused.
  static TcpConnection To(uint16_t port);

  bool Ok() const { return fd_ >= 0; }
  void Close();
  bool Write(const std::string& bytes);
  // Reads until `count` bytes came or `timeout` passed; returns what came.
  std::string Read(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // True when the far end closes (or resets) the connection within `timeout`.
  bool ClosedByPeer(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
  int fd_ = -1;
};

class TcpListener {
public:
  // Listens on 127.0.0.1 at a free port.
  TcpListener();
  ~TcpListener() { Close(); }
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  bool Ok() const { return fd_ >= 0; }
  uint16_t Port() const { return port_; }
  // Waits at most `timeout` for a connection.
  TcpConnection Accept(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Stops listening: connections to the port are refused from now on.
  void Close();

private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A loopback port that nothing listens on (bound once, then released).
uint16_t UnusedPort();

} // namespace korvane::test
