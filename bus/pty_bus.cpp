#include "bus/pty_bus.h"

#include <dirent.h>
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
// Bytes that wait for a node whose terminal is full, at most; more is dropped.
constexpr size_t kQueueBytes = 256 * 1024;
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

// Whether a process other than the bus has `device` open (its /proc/PID/fd entries). When
// /proc cannot be read the answer is yes, so bytes are handed on rather than lost.
bool OpenedByAnotherProcess(const std::string& device) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return true;
  const std::string self = std::to_string(::getpid());
  bool found = false;
  while (!found) {
    const dirent* entry = ::readdir(proc);
    if (entry == nullptr) break;
    const std::string pid = entry->d_name;
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    DIR* fds = ::opendir(("/proc/" + pid + "/fd").c_str());
    if (fds == nullptr) continue; // ended meanwhile, or another user's
    while (const dirent* fd = ::readdir(fds)) {
      if (fd->d_name[0] == '.') continue;
      char target[PATH_MAX];
      const ssize_t len = ::readlinkat(::dirfd(fds), fd->d_name, target, sizeof target);
      if (len > 0 && static_cast<size_t>(len) == device.size() &&
          device.compare(0, device.size(), target, device.size()) == 0) {
        found = true;
        break;
      }
    }
    ::closedir(fds);
  }
  ::closedir(proc);
  return found;
}

// Writes what the nonblocking `fd` takes now; returns how much that was.
size_t WriteSome(int fd, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
    } else if (w < 0 && errno == EINTR) {
      continue;
    } else {
      break; // full (EAGAIN) or gone
    }
  }
  return done;
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
  // Watched after the bus's own open, so only the programs' opens are reported. Without a watch
  // the node counts as held: every byte is handed to it.
  if (inotify_ >= 0) node.Watch = ::inotify_add_watch(inotify_, node.Device.c_str(), IN_OPEN | IN_CLOSE);
  node.Held = node.Watch < 0;
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

void PtyBus::FollowHolders() {
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
      // After a lost event every node is looked at again.
      const bool all = (event.mask & IN_Q_OVERFLOW) != 0;
      if (!all && (event.mask & (IN_OPEN | IN_CLOSE)) == 0) continue;
      for (size_t i = 0; i < nodes_.size(); ++i)
        if (nodes_[i].Watch >= 0 && (all || nodes_[i].Watch == event.wd))
          Follow(i, (event.mask & IN_OPEN) != 0);
    }
  }
}

void PtyBus::Follow(size_t index, bool opened) {
  BusNode& node = nodes_[index];
  const bool wasHeld = node.Held;
  // The event queue merges repeated events, so after a close the processes are asked.
  node.Held = opened || OpenedByAnotherProcess(node.Device);
  if (wasHeld && !node.Held) {
    DropPending(index);
    if (node.HeldSlave >= 0) ::tcflush(node.HeldSlave, TCIFLUSH);
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
  BusNode& node = nodes_[to];
  if (!node.Held) return 0; // nobody listens on that node
  size_t done = 0;
  if (node.Pending.empty()) done = WriteSome(node.Master, bytes);
  // What the terminal cannot take yet waits, in order, as long as the queue has room.
  const size_t queued =
      std::min(kQueueBytes - std::min(kQueueBytes, node.Pending.size()), bytes.size() - done);
  node.Pending.insert(node.Pending.end(), bytes.begin() + static_cast<std::ptrdiff_t>(done),
                      bytes.begin() + static_cast<std::ptrdiff_t>(done + queued));
  return done + queued;
}

void PtyBus::SendPending(BusNode& node) {
  if (node.Pending.empty()) return;
  const size_t sent = WriteSome(node.Master, node.Pending);
  node.Pending.erase(node.Pending.begin(), node.Pending.begin() + static_cast<std::ptrdiff_t>(sent));
}

void PtyBus::DropPending(size_t index) {
  BusNode& node = nodes_[index];
  router_.Discard(index, node.Pending.size());
  node.Pending.clear();
}

void PtyBus::Rest(size_t index, bool on) {
  resting_[index] = on;
  fds_[1 + index].fd = on ? -1 : nodes_[index].Master;
  fds_[1 + nodes_.size() + index].fd = on ? -1 : nodes_[index].HeldSlave;
}

void PtyBus::Serve(size_t index) {
  BusNode& node = nodes_[index];
  // A program that took the node as its controlling terminal and ended hangs the slave side
  // up, the bus's descriptor with it, and the terminal loses its raw settings.
  if (resting_[index] || (fds_[1 + nodes_.size() + index].revents & (POLLHUP | POLLERR | POLLNVAL))) {
    Rest(index, !HoldAgain(node));
    return;
  }
  const short events = fds_[1 + index].revents;
  if (events & POLLOUT) SendPending(node);
  if (events & POLLIN) {
    const ssize_t got = ::read(node.Master, chunk_.data(), chunk_.size());
    if (got > 0) {
      router_.Carry(index, std::span(chunk_.data(), static_cast<size_t>(got)),
                    [this](size_t to, std::span<const uint8_t> bytes) { return WriteTo(to, bytes); });
      return;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
  } else if ((events & (POLLHUP | POLLERR | POLLNVAL)) == 0) {
    return;
  }
  // The master itself hung up or failed: the node rests and is held anew a while later,
  // rather than the loop spinning on it.
  Rest(index, true);
}

bool PtyBus::Run(const volatile std::sig_atomic_t& stop, const sigset_t* wait_mask) {
  const size_t count = nodes_.size();
  // [0] the open events, [1 + i] node i's master, [1 + count + i] the bus's own descriptor of
  // node i's slave side, watched only for a hang-up. Both are negative while node i rests.
  fds_.assign(1 + 2 * count, pollfd{-1, 0, 0});
  fds_[0] = pollfd{inotify_, POLLIN, 0};
  for (size_t i = 0; i < count; ++i) {
    fds_[1 + i] = pollfd{nodes_[i].Master, POLLIN, 0};
    fds_[1 + count + i] = pollfd{nodes_[i].HeldSlave, 0, 0};
  }
  resting_.assign(count, false);
  chunk_.resize(kChunkBytes);

  while (!stop) {
    bool anyResting = false;
    for (size_t i = 0; i < count; ++i) {
      anyResting = anyResting || resting_[i];
      fds_[1 + i].events = static_cast<short>(POLLIN | (nodes_[i].Pending.empty() ? 0 : POLLOUT));
    }
    const timespec retry{0, kRetryNanoseconds};
    if (::ppoll(fds_.data(), fds_.size(), anyResting ? &retry : nullptr, wait_mask) < 0) {
      if (errno == EINTR) continue;
      error_ = SystemError("poll failed");
      return false;
    }
    // Opens and closes reported before this pass's bytes were read are taken first: a node
    // opened before another node wrote gets those bytes.
    FollowHolders();
    for (size_t i = 0; i < count; ++i) Serve(i);
  }
  // What still waits goes out if the terminals take it now; the rest is dropped.
  for (size_t i = 0; i < count; ++i) {
    SendPending(nodes_[i]);
    DropPending(i);
  }
  return true;
}

} // namespace korvane::bus
