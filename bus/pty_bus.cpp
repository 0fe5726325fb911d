#include "bus/pty_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace korvane::bus {

namespace {

// What one node wrote, read in one piece; the next node's bytes follow only after it.
constexpr size_t kChunkBytes = 16 * 1024;
// While a node's master stays hung up, it is tried again this often.
constexpr long kRetryNanoseconds = 200L * 1000 * 1000;

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool SetRaw(int fd) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return false;
  ::cfmakeraw(&t);
  return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

int OpenSlave(const std::string& device) {
  int fd = -1;
  do fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  return fd;
}

} // namespace

PtyBus::PtyBus(const BusOptions& options)
    : options_(options), router_(static_cast<size_t>(options.Nodes), options.Echo,
                                 BitFlipper(options.CorruptFraction, options.Seed)) {}

PtyBus::~PtyBus() {
  RemoveLinks();
  for (BusNode& n : nodes_) {
    CloseFd(n.Master);
    CloseFd(n.HeldSlave);
  }
  CloseFd(inotify_);
}

bool PtyBus::Open() {
  // Without inotify the bus still works; a node just keeps what it was sent while closed.
  inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  nodes_.resize(static_cast<size_t>(options_.Nodes));
  for (size_t i = 0; i < nodes_.size(); ++i)
    if (!OpenNode(i)) return false;
  for (BusNode& n : nodes_)
    if (!MakeLink(n)) return false;
  return true;
}

bool PtyBus::OpenNode(size_t index) {
  BusNode& node = nodes_[index];
  const std::string which = "node " + std::to_string(index + 1);
  node.Master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (node.Master < 0) {
    error_ = SystemError(which + ": cannot make a pseudo-terminal");
    return false;
  }
  char name[PATH_MAX] = {};
  if (::grantpt(node.Master) != 0 || ::unlockpt(node.Master) != 0 ||
      ::ptsname_r(node.Master, name, sizeof name) != 0) {
    error_ = SystemError(which + ": cannot unlock its pseudo-terminal");
    return false;
  }
  node.Device = name;
  const int flags = ::fcntl(node.Master, F_GETFL);
  if (flags < 0 || ::fcntl(node.Master, F_SETFL, flags | O_NONBLOCK) != 0 ||
      ::fcntl(node.Master, F_SETFD, FD_CLOEXEC) != 0) {
    error_ = SystemError(which + ": cannot make its pseudo-terminal nonblocking");
    return false;
  }
  node.HeldSlave = OpenSlave(node.Device);
  if (node.HeldSlave < 0) {
    error_ = SystemError(which + ": cannot open " + node.Device);
    return false;
  }
  if (!SetRaw(node.HeldSlave)) {
    error_ = SystemError(which + ": cannot set " + node.Device + " raw");
    return false;
  }
  // Watched after the bus's own open, so only the programs' opens are reported.
  if (inotify_ >= 0) node.Watch = ::inotify_add_watch(inotify_, node.Device.c_str(), IN_OPEN);
  return true;
}

bool PtyBus::MakeLink(BusNode& node) {
  if (options_.LinkPrefix.empty()) return true;
  const size_t index = static_cast<size_t>(&node - nodes_.data());
  const std::string link = options_.LinkPrefix + std::to_string(index + 1);
  struct stat st {};
  if (::lstat(link.c_str(), &st) == 0) {
    // A link left by an earlier run is replaced; anything else is not ours to remove.
    if (!S_ISLNK(st.st_mode)) {
      error_ = link + " exists and is not a symbolic link";
      return false;
    }
    if (::unlink(link.c_str()) != 0) {
      error_ = SystemError("cannot replace " + link);
      return false;
    }
  }
  if (::symlink(node.Device.c_str(), link.c_str()) != 0) {
    error_ = SystemError("cannot make the link " + link);
    return false;
  }
  node.Link = link;
  return true;
}

void PtyBus::RemoveLinks() {
  for (BusNode& n : nodes_) {
    if (n.Link.empty()) continue;
    char target[PATH_MAX] = {};
    const ssize_t len = ::readlink(n.Link.c_str(), target, sizeof target - 1);
    if (len >= 0 && std::string(target, static_cast<size_t>(len)) == n.Device) ::unlink(n.Link.c_str());
    n.Link.clear();
  }
}

void PtyBus::TakeOpenEvents() {
  if (inotify_ < 0) return;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(inotify_, buffer, sizeof buffer);
    if (got <= 0) return; // EAGAIN: nothing more waits
    const size_t end = static_cast<size_t>(got);
    size_t at = 0;
    while (at + sizeof(inotify_event) <= end) {
      inotify_event event{};
      std::memcpy(&event, buffer + at, sizeof event);
      at += sizeof event + event.len;
      if ((event.mask & IN_OPEN) == 0) continue;
      for (BusNode& n : nodes_)
        if (n.Watch == event.wd && n.HeldSlave >= 0) ::tcflush(n.HeldSlave, TCIFLUSH);
    }
  }
}

bool PtyBus::HoldAgain(BusNode& node) {
  const int fd = OpenSlave(node.Device);
  if (fd < 0) return false;
  // A hang-up gives the terminal its first settings again (echo, lines): raw once more.
  SetRaw(fd);
  CloseFd(node.HeldSlave);
  node.HeldSlave = fd;
  return true;
}

size_t PtyBus::WriteTo(size_t to, std::span<const uint8_t> bytes) {
  const int fd = nodes_[to].Master;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
    } else if (w < 0 && errno == EINTR) {
      continue;
    } else {
      break; // full (EAGAIN) or gone: the rest is dropped
    }
  }
  return done;
}

bool PtyBus::Run(const volatile std::sig_atomic_t& stop, const sigset_t* wait_mask) {
  const size_t count = nodes_.size();
  // [0] the open events, [1 + i] node i's master, [1 + count + i] the bus's own descriptor of
  // node i's slave side, watched only for a hang-up. Both are negative while node i rests.
  std::vector<pollfd> fds(1 + 2 * count);
  fds[0] = pollfd{inotify_, POLLIN, 0};
  for (size_t i = 0; i < count; ++i) {
    fds[1 + i] = pollfd{nodes_[i].Master, POLLIN, 0};
    fds[1 + count + i] = pollfd{nodes_[i].HeldSlave, 0, 0};
  }
  std::vector<bool> resting(count, false);
  std::vector<uint8_t> chunk(kChunkBytes);
  const BusRouter::Writer write = [this](size_t to, std::span<const uint8_t> bytes) {
    return WriteTo(to, bytes);
  };
  const auto holdAgain = [&](size_t i) {
    resting[i] = !HoldAgain(nodes_[i]);
    fds[1 + i].fd = resting[i] ? -1 : nodes_[i].Master;
    fds[1 + count + i].fd = resting[i] ? -1 : nodes_[i].HeldSlave;
  };

  while (!stop) {
    bool anyResting = false;
    for (bool r : resting) anyResting = anyResting || r;
    const timespec retry{0, kRetryNanoseconds};
    const int ready = ::ppoll(fds.data(), fds.size(), anyResting ? &retry : nullptr, wait_mask);
    if (ready < 0) {
      if (errno == EINTR) continue;
      error_ = SystemError("poll failed");
      return false;
    }
    // Opens reported before this pass's bytes were read are taken first, so a node opened
    // before another node wrote gets those bytes and nothing older.
    TakeOpenEvents();
    for (size_t i = 0; i < count; ++i) {
      if (resting[i]) {
        holdAgain(i);
        continue;
      }
      // A program that took the node as its controlling terminal and ended hangs the slave
      // side up, the bus's descriptor with it, and the terminal loses its raw settings.
      if (fds[1 + count + i].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        holdAgain(i);
        if (resting[i]) continue;
      }
      const short events = fds[1 + i].revents;
      ssize_t got = 0;
      if (events & POLLIN) {
        got = ::read(nodes_[i].Master, chunk.data(), chunk.size());
        if (got > 0) {
          router_.Carry(i, std::span(chunk.data(), static_cast<size_t>(got)), write);
          continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      } else if ((events & (POLLHUP | POLLERR | POLLNVAL)) == 0) {
        continue;
      }
      // The master itself hung up or failed: the node rests and is held anew a while later,
      // rather than the loop spinning on it.
      resting[i] = true;
      fds[1 + i].fd = -1;
      fds[1 + count + i].fd = -1;
    }
  }
  return true;
}

} // namespace korvane::bus
