#include "app/core/trace_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane {
namespace {

// The descriptor among standard output and standard error that writes to
// the regular file `st` is; -1 when none does.
int StandardStreamOf(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return -1;
  for (const int fd : {1, 2}) {
    struct stat s {};
    if (::fstat(fd, &s) == 0 && S_ISREG(s.st_mode) && s.st_dev == st.st_dev && s.st_ino == st.st_ino)
      return fd;
  }
  return -1;
}

} // namespace

TraceFile::~TraceFile() { Close(); }

void TraceFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TraceFile::Open(const std::string& path, std::string& error) {
  Close();
  error_.clear();
  struct stat st {};
  const int shared = ::stat(path.c_str(), &st) == 0 ? StandardStreamOf(st) : -1;
  int fd;
  if (shared >= 0) {
    fd = ::fcntl(shared, F_DUPFD_CLOEXEC, 3);
  } else {
    // A FIFO opens once a reader is there; O_TRUNC leaves FIFOs and devices alone.
    do fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
  }
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  fd_ = fd;
  line_ = line::kCsvHeader;
  line_ += '\n';
  if (!WriteAll(line_)) {
    error = error_;
    return false;
  }
  return true;
}

bool TraceFile::Write(const line::Frame& frame) {
  if (fd_ < 0) return false;
  line_.clear();
  line::AppendCsvLine(line_, frame);
  return WriteAll(line_);
}

bool TraceFile::WriteAll(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? std::strerror(errno) : "nothing could be written";
      Close();
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

} // namespace korvane
