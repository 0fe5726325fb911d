#include "loader/pack/container_writer.h"

#include <lzma.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vel::pack {

namespace {

constexpr int64_t kUnixEpochSeconds = 11644473600;

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

class Encoder {
public:
  ~Encoder() { lzma_end(&strm_); }
  std::string Init(const lzma_options_lzma& opt) {
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, const_cast<lzma_options_lzma*>(&opt)},
                              {LZMA_VLI_UNKNOWN, nullptr}};
    return lzma_raw_encoder(&strm_, filters) == LZMA_OK ? "" : "the LZMA encoder refused its options";
  }
  std::string Feed(const uint8_t* data, size_t size, std::string& out, lzma_action action = LZMA_RUN) {
    strm_.next_in = data;
    strm_.avail_in = size;
    uint8_t buffer[64 * 1024];
    for (;;) {
      strm_.next_out = buffer;
      strm_.avail_out = sizeof buffer;
      const lzma_ret ret = lzma_code(&strm_, action);
      out.append(reinterpret_cast<char*>(buffer), sizeof buffer - strm_.avail_out);
      if (ret == LZMA_STREAM_END) return "";
      if (ret != LZMA_OK) return "the LZMA encoder failed";
      if (action == LZMA_RUN && strm_.avail_in == 0 && strm_.avail_out != 0) return "";
    }
  }

private:
  lzma_stream strm_ = LZMA_STREAM_INIT;
};

bool EncoderOptions(const ContainerOptions& options, lzma_options_lzma& opt) {
  if (lzma_lzma_preset(&opt, options.preset)) return false;
  if (options.lzma) {
    opt.lc = options.lzma->lc;
    opt.lp = options.lzma->lp;
    opt.pb = options.lzma->pb;
    opt.dict_size = options.lzma->dict_size;
  }
  return true;
}

} // namespace

std::array<uint8_t, kEntryHeaderSize> MakeEntryHeader(const PackEntry& entry, uint64_t size) {
  std::array<uint8_t, kEntryHeaderSize> h{};
  std::memcpy(h.data(), kEntryMagic, 4);
  WriteLe64(&h[kEntryIdOffset], entry.id);
  WriteLe64(&h[kEntrySizeOffset], size);
  WriteLe64(&h[kEntryCreationTimeOffset], entry.creation_time);
  WriteLe64(&h[kEntryWriteTimeOffset], entry.last_write_time);
  WriteLe32(&h[kEntryAttributesOffset], entry.attributes);
  return h;
}

std::string WriteContainer(const std::vector<PackEntry>& entries, const ContainerOptions& options,
                           std::string& container) {
  lzma_options_lzma opt{};
  if (!EncoderOptions(options, opt)) return "unknown preset";
  Encoder enc;
  if (std::string e = enc.Init(opt); !e.empty()) return e;

  std::string stream;
  for (const PackEntry& entry : entries) {
    if (entry.file_path.empty()) {
      const auto h = MakeEntryHeader(entry, entry.data.size());
      if (std::string e = enc.Feed(h.data(), h.size(), stream); !e.empty()) return e;
      if (std::string e =
              enc.Feed(reinterpret_cast<const uint8_t*>(entry.data.data()), entry.data.size(), stream);
          !e.empty())
        return e;
      continue;
    }
    const int fd = ::open(entry.file_path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
      std::string e = ErrnoText(entry.file_path);
      if (fd >= 0) ::close(fd);
      return e;
    }
    const auto h = MakeEntryHeader(entry, uint64_t(st.st_size));
    std::string e = enc.Feed(h.data(), h.size(), stream);
    std::vector<uint8_t> buffer(1 << 20);
    uint64_t total = 0;
    while (e.empty()) {
      const ssize_t n = ::read(fd, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) e = ErrnoText(entry.file_path);
      if (n <= 0) break;
      total += uint64_t(n);
      e = enc.Feed(buffer.data(), size_t(n), stream);
    }
    ::close(fd);
    if (e.empty() && total != uint64_t(st.st_size)) e = entry.file_path + ": size changed while packing";
    if (!e.empty()) return e;
  }
  if (std::string e = enc.Feed(nullptr, 0, stream, LZMA_FINISH); !e.empty()) return e;

  if (stream.size() > UINT32_MAX - kStreamOffset) return "the container would exceed 4 GB";
  ContainerOptions used = options;
  used.lzma = LzmaProperties{opt.lc, opt.lp, opt.pb, opt.dict_size};
  container = WrapStream(stream, used);
  return "";
}

std::string WriteRawContainer(const std::string& payload, const ContainerOptions& options,
                              std::string& container) {
  lzma_options_lzma opt{};
  if (!EncoderOptions(options, opt)) return "unknown preset";
  Encoder enc;
  std::string stream;
  if (std::string e = enc.Init(opt); !e.empty()) return e;
  if (std::string e = enc.Feed(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), stream);
      !e.empty())
    return e;
  if (std::string e = enc.Feed(nullptr, 0, stream, LZMA_FINISH); !e.empty()) return e;
  ContainerOptions used = options;
  used.lzma = LzmaProperties{opt.lc, opt.lp, opt.pb, opt.dict_size};
  container = WrapStream(stream, used);
  return "";
}

std::string WrapStream(const std::string& stream, const ContainerOptions& options) {
  const LzmaProperties p = options.lzma.value_or(LzmaProperties{});
  uint8_t head[kStreamOffset] = {};
  std::memcpy(head + kContainerMagicOffset, kContainerMagic, 4);
  WriteLe32(head + kContainerVersionOffset, kContainerVersion);
  WriteLe32(head + kContainerFlagsOffset, options.flags);
  WriteLe32(head + kContainerLengthOffset, uint32_t(kStreamOffset + stream.size()));
  std::memcpy(head + kContainerGuidOffset, options.package_id.data(), 16);
  // The check block: a checksum of the stream and its partner word.
  const uint32_t crc = lzma_crc32(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(), 0);
  WriteLe32(head + kContainerHeaderSize, crc);
  WriteLe32(head + kContainerHeaderSize + 4, crc ^ kCheckBlockXor);
  head[kContainerHeaderSize + kCheckBlockSize] = uint8_t(p.lc + 9 * (p.lp + 5 * p.pb));
  WriteLe32(head + kContainerHeaderSize + kCheckBlockSize + 1, p.dict_size);
  return std::string(reinterpret_cast<char*>(head), sizeof head) + stream;
}

uint64_t FileWriteTime(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  const int64_t seconds = int64_t(st.st_mtim.tv_sec) + kUnixEpochSeconds; // from 1970 to 1601
  if (seconds < 0) return 0;
  return uint64_t(seconds) * 10000000 + uint64_t(st.st_mtim.tv_nsec) / 100;
}

std::string AddSections(const std::string& objcopy, const std::string& input, const std::string& output,
                        const std::vector<std::pair<std::string, std::string>>& sections) {
  std::vector<std::string> args = {objcopy};
  for (const auto& [name, file] : sections) {
    args.push_back("--add-section");
    args.push_back(name + "=" + file);
  }
  args.push_back(input);
  args.push_back(output);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  if (int err = ::posix_spawnp(&pid, objcopy.c_str(), nullptr, nullptr, argv.data(), environ))
    return objcopy + ": " + std::strerror(err);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return ErrnoText("waitpid");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return objcopy + " failed";
  return "";
}

std::string AppendToFile(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return ErrnoText(path);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::string e = ErrnoText(path);
      ::close(fd);
      return e;
    }
    done += size_t(n);
  }
  return ::close(fd) == 0 ? "" : ErrnoText(path);
}

std::string Utf8Trailer(const std::string& text) { return "\xEF\xBB\xBF<|" + text + "|>"; }

} // namespace vel::pack
