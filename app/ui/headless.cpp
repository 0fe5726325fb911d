#include "app/ui/headless.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace korvane {
namespace {

// The pipe shared with the signal handler; -1 while no ExitSignals exists.
volatile sig_atomic_t gWriteEnd = -1;
int gReadEnd = -1;
struct sigaction gOldInt {};
struct sigaction gOldTerm {};

extern "C" void OnExitSignal(int sig) {
  const int saved = errno;
  const int fd = gWriteEnd;
  if (fd >= 0) {
    const unsigned char b = static_cast<unsigned char>(sig);
    // A full pipe already holds a wake-up; nothing else to do here.
    [[maybe_unused]] const ssize_t r = ::write(fd, &b, 1);
  }
  errno = saved;
}

} // namespace

ExitSignals::ExitSignals() {
  if (gReadEnd >= 0) {
    error_ = "exit signals are already being watched";
    return;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  gReadEnd = fds[0];
  gWriteEnd = fds[1];
  struct sigaction sa {};
  sa.sa_handler = OnExitSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  if (::sigaction(SIGINT, &sa, &gOldInt) != 0 || ::sigaction(SIGTERM, &sa, &gOldTerm) != 0) {
    error_ = std::string("sigaction: ") + std::strerror(errno);
    return;
  }
  notifier_ = new QSocketNotifier(gReadEnd, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { Drain(); });
  ok_ = true;
}

ExitSignals::~ExitSignals() {
  if (ok_) {
    ::sigaction(SIGINT, &gOldInt, nullptr);
    ::sigaction(SIGTERM, &gOldTerm, nullptr);
  }
  delete notifier_;
  notifier_ = nullptr;
  const int w = gWriteEnd;
  gWriteEnd = -1;
  if (w >= 0) ::close(w);
  if (gReadEnd >= 0) ::close(gReadEnd);
  gReadEnd = -1;
}

void ExitSignals::Drain() {
  unsigned char buf[64];
  for (;;) {
    const ssize_t n = ::read(gReadEnd, buf, sizeof buf);
    if (n > 0) {
      if (received_ == 0) received_ = buf[0];
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  if (received_ != 0) QCoreApplication::exit(0);
}

void PrintStatusLine(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

} // namespace korvane
