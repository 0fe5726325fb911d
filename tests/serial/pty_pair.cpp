#include "pty_pair.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace korvane::test {

PtyPair::PtyPair() {
  const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    error_ = std::string("posix_openpt: ") + std::strerror(errno);
    return;
  }
  char name[128];
  if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::ptsname_r(fd, name, sizeof name) != 0) {
    error_ = std::string("pseudo-terminal set-up: ") + std::strerror(errno);
    ::close(fd);
    return;
  }
  master_ = fd;
  slave_path_ = name;
}

PtyPair::~PtyPair() { CloseMaster(); }

void PtyPair::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

bool PtyPair::Write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t r = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

std::string PtyPair::Read(size_t count, int timeout_ms) {
  std::string out;
  while (out.size() < count) {
    pollfd p{master_, POLLIN, 0};
    const int r = ::poll(&p, 1, timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || !(p.revents & POLLIN)) break;
    char buf[512];
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

} // namespace korvane::test
