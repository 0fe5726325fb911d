#include "loader/posix_files.h"

#include "loader/trailer.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vel {

namespace {

uint32_t Errno() { return errno != 0 ? uint32_t(errno) : uint32_t(EIO); }

class Fd {
public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

private:
  int fd_;
};

bool PreadAll(int fd, uint64_t offset, void* buffer, size_t size) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (size > 0) {
    if (offset > uint64_t(INT64_MAX)) return false;
    const ssize_t n = ::pread(fd, p, size, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= size_t(n);
    offset += uint64_t(n);
  }
  return true;
}

} // namespace

uint32_t OwnExecutablePath(std::string& path) {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n < 0) return Errno();
  if (size_t(n) >= sizeof buffer) return ENAMETOOLONG;
  path.assign(buffer, size_t(n));
  return 0;
}

uint32_t TempFolder(std::string& folder) {
  const char* env = std::getenv("TMPDIR");
  folder = env != nullptr && *env != '\0' ? env : "/tmp";
  if (folder.back() != '/') folder += '/';
  if (folder.size() >= kTempFolderLimit) return ENAMETOOLONG;
  return 0;
}

ReadAt FileReader(int fd) {
  return [fd](uint64_t offset, void* buffer, size_t size) { return PreadAll(fd, offset, buffer, size); };
}

SectionLookup FindFileSection(const std::string& path, std::string_view name) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return {};
  return FindElfSection(FileReader(fd.get()), name);
}

std::string ReadFileSection(const std::string& path, std::string_view name) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return {};
  const SectionLookup s = FindElfSection(FileReader(fd.get()), name);
  struct stat st;
  if (s.status != SectionLookup::Found || ::fstat(fd.get(), &st) != 0 || s.size > uint64_t(st.st_size))
    return {};
  std::string data(size_t(s.size), '\0');
  if (!PreadAll(fd.get(), s.offset, data.data(), data.size())) return {};
  return data;
}

std::vector<uint8_t> ReadFileTail(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return {};
  const auto start = TrailerWindowStart(uint64_t(st.st_size));
  if (!start) return {};
  std::vector<uint8_t> tail(size_t(uint64_t(st.st_size) - *start));
  if (!PreadAll(fd.get(), *start, tail.data(), tail.size())) return {};
  return tail;
}

std::vector<std::string> ProcessArguments() {
  std::vector<std::string> args;
  Fd fd(::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return args;
  std::string all;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    all.append(buffer, size_t(n));
  }
  // Each argument ends with a NUL.
  for (size_t begin = 0; begin < all.size();) {
    size_t end = all.find('\0', begin);
    if (end == std::string::npos) end = all.size();
    args.emplace_back(all, begin, end - begin);
    begin = end + 1;
  }
  return args;
}

timespec FileTimeToTimespec(uint64_t file_time) {
  if (file_time == 0) return {0, UTIME_OMIT};
  constexpr int64_t kUnixEpochSeconds = 11644473600; // 1601-01-01 to 1970-01-01
  return {time_t(int64_t(file_time / 10000000) - kUnixEpochSeconds), long(file_time % 10000000) * 100};
}

FileSource::~FileSource() {
  if (fd_ >= 0) ::close(fd_);
}

uint32_t FileSource::Open(const std::string& path, uint64_t offset, uint64_t limit) {
  left_ = limit;
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return Errno();
  ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  if (offset != 0) {
    if (offset > uint64_t(INT64_MAX)) return EINVAL;
    const off_t at = ::lseek(fd_, off_t(offset), SEEK_SET);
    if (at < 0) return Errno();
    if (uint64_t(at) != offset) return EIO;
  }
  return 0;
}

uint32_t FileSource::Read(uint8_t* buffer, size_t size, size_t& got) {
  if (size > left_) size = size_t(left_);
  got = 0;
  if (size == 0) return 0;
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Errno();
    got = size_t(n);
    left_ -= got;
    return 0;
  }
}

TargetFile::~TargetFile() { Close(); }

uint32_t TargetFile::Create(const EntryHeader&) {
  // Whatever cannot be removed here makes the exclusive create fail, which is reported.
  (void)::unlink(path_.c_str());
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  return fd_ < 0 ? Errno() : 0;
}

uint32_t TargetFile::Write(const uint8_t* data, size_t size, size_t& stored) {
  for (;;) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Errno();
    stored = size_t(n);
    return 0;
  }
}

void TargetFile::Finish(const EntryHeader& entry) {
  const timespec times[2] = {{0, UTIME_OMIT}, FileTimeToTimespec(entry.last_write_time)};
  (void)::futimens(fd_, times);
  if (entry.attributes & kAttrReadOnly) (void)::fchmod(fd_, 0400);
}

std::string TargetFile::DescriptorPath() const { return "/proc/self/fd/" + std::to_string(fd_); }

void TargetFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

} // namespace vel
