#include "config/core/register_file.h"

#include "app/core/int_conv.h"
#include "modbus/core.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace korvane {

namespace {

constexpr int kBitElements = kBitWords;      // 4096 words of a bit table are written and read
constexpr int kRegElements = kRegisters - 1; // register 65536 is never in the file
constexpr int kFieldsPerLine = 8;
constexpr int kFieldWidth = 8;
constexpr uint64_t kHeaderLines = 29;

// Only this much of a line is kept in memory. A data line can store at most
// 65535 fields (the element index starts at 1 and stops at the table's end),
// which lie in its first 524280 characters; beyond that nothing is converted.
constexpr size_t kLineKeep = size_t{1} << 20;

// ---------------------------------------------------------------- writing

// Writes into a buffer sized for the worst case, so no check per character.
class TextOut {
public:
  explicit TextOut(size_t capacity) {
    buf_.resize(capacity);
    p_ = buf_.data();
  }
  void Text(std::string_view s) {
    std::memcpy(p_, s.data(), s.size());
    p_ += s.size();
  }
  void Int(int32_t v) { p_ = std::to_chars(p_, p_ + 11, v).ptr; }
  // "%8d": right-aligned in eight characters, wider when it must be.
  void Field(int32_t v) {
    if (v >= 0 && v <= 99999999) {
      char* end = p_ + kFieldWidth;
      char* q = end;
      uint32_t u = static_cast<uint32_t>(v);
      do {
        *--q = static_cast<char>('0' + u % 10);
        u /= 10;
      } while (u != 0);
      while (q > p_) *--q = ' ';
      p_ = end;
      return;
    }
    char tmp[16];
    const char* e = std::to_chars(tmp, tmp + sizeof tmp, v).ptr;
    const size_t n = static_cast<size_t>(e - tmp);
    for (size_t i = n; i < kFieldWidth; ++i) *p_++ = ' ';
    std::memcpy(p_, tmp, n);
    p_ += n;
  }
  void Eol() {
    *p_++ = '\r';
    *p_++ = '\n';
  }
  std::string Take() {
    buf_.resize(static_cast<size_t>(p_ - buf_.data()));
    return std::move(buf_);
  }

private:
  std::string buf_;
  char* p_ = nullptr;
};

template <size_t N>
void WriteTable(TextOut& out, std::string_view header, const std::array<int32_t, N>& t, int last) {
  out.Text(header);
  out.Eol();
  for (int i = 1; i <= last; i += kFieldsPerLine) {
    const int end = std::min(last, i + kFieldsPerLine - 1);
    for (int k = i; k <= end; ++k) out.Field(t[static_cast<size_t>(k)]);
    out.Eol();
  }
}

// ---------------------------------------------------------------- reading

// LTrim then RTrim of a field, without building strings: fields are at most
// eight characters, so LTrim's 255-character cut never applies.
std::string_view TrimField(std::string_view f) {
  size_t b = 0;
  while (b < f.size() && (f[b] == ' ' || f[b] == '\t')) ++b;
  size_t e = f.size();
  while (e > b) {
    const auto c = static_cast<unsigned char>(f[e - 1]);
    if (c == 9 || c == 10 || c == 12 || c == 13 || c == 32 || c == 160)
      --e;
    else
      break;
  }
  return f.substr(b, e - b);
}

std::string TrimLine(std::string_view line) { return TCore::RTrim(TCore::LTrim(std::string(line))); }

int32_t FieldValue(std::string_view field) {
  const std::string text(TrimField(field));
  int32_t v = 0;
  if (!TryStrToInt(text, v)) throw ConversionError(text);
  return v;
}

// Fields start at characters 1, 9, 17, ... while the start lies before the
// line's last character.
uint64_t FieldCount(uint64_t length) { return length >= 2 ? (length - 2) / kFieldWidth + 1 : 0; }

std::string_view FieldAt(std::string_view line, uint64_t k) {
  const uint64_t start = k * kFieldWidth;
  if (start >= line.size()) return {};
  return line.substr(static_cast<size_t>(start), kFieldWidth);
}

enum class Table { None, Coils, Status, InputRegs, HoldingRegs };

// ---------------------------------------------------------------- files

[[noreturn]] void ThrowFileError(int e) { throw RegisterFileError(e, RegisterFileErrorText(e)); }

class Fd {
public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes and reports the result (a delayed write error can surface here).
  int Close() {
    const int r = ::close(fd_);
    fd_ = -1;
    return r;
  }

private:
  int fd_;
};

// Follows symbolic links to the file that is finally named, even when that
// file does not exist yet, so that saving replaces the file and keeps the link.
std::string ResolveLinks(const std::string& path) {
  std::string p = path;
  for (int hop = 0; hop < 40; ++hop) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(p.c_str(), buf, sizeof buf);
    if (n < 0) ThrowFileError(errno);
    if (static_cast<size_t>(n) >= sizeof buf) ThrowFileError(ENAMETOOLONG);
    std::string link(buf, static_cast<size_t>(n));
    if (link.empty()) ThrowFileError(ENOENT);
    if (link[0] != '/') {
      const size_t slash = p.rfind('/');
      if (slash != std::string::npos) link = p.substr(0, slash + 1) + link;
    }
    p = std::move(link);
  }
  ThrowFileError(ELOOP);
}

// Creates a new, empty file next to `target` that nobody else has opened.
// The mode is 0666 less the umask, as for any new file.
int CreateTempFile(const std::string& target, std::string& temp_name) {
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = dir + "." + base.substr(0, 64) + ".";
    for (int i = 0; i < 8; ++i) name += kChars[rd() % (sizeof kChars - 1)];
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      temp_name = std::move(name);
      return fd;
    }
    if (errno != EEXIST && errno != EINTR) ThrowFileError(errno);
  }
  ThrowFileError(EEXIST);
}

void WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), std::min<size_t>(data.size(), size_t{1} << 20));
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowFileError(errno);
    }
    if (n == 0) ThrowFileError(ENOSPC);
    data.remove_prefix(static_cast<size_t>(n));
  }
}

void SyncFolder(const std::string& target) {
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd); // the file is already in place; a failure here changes nothing we could report
  ::close(fd);
}

// Writes `text` to a new file next to `target` and renames it over the
// target. With `keep`, the new file takes that owner, group and mode first;
// when it cannot, or when the folder takes no new file, nothing is changed
// and the result is false.
bool ReplaceWithNewFile(const std::string& target, std::string_view text, const struct stat* keep) {
  std::string temp;
  int created = -1;
  try {
    created = CreateTempFile(target, temp);
  } catch (const RegisterFileError& e) {
    const int err = e.ErrorNumber();
    if (keep == nullptr || (err != EACCES && err != EPERM && err != EROFS)) throw;
    return false;
  }
  Fd fd(created);
  try {
    if (keep != nullptr) {
      // The owner first: changing it clears the set-id bits of the mode.
      struct stat now {};
      const bool kept = ::fchown(fd.get(), keep->st_uid, keep->st_gid) == 0 &&
                        ::fchmod(fd.get(), keep->st_mode & 07777) == 0 && ::fstat(fd.get(), &now) == 0 &&
                        now.st_uid == keep->st_uid && now.st_gid == keep->st_gid &&
                        (now.st_mode & 07777) == (keep->st_mode & 07777);
      if (!kept) {
        fd.Close();
        ::unlink(temp.c_str());
        return false;
      }
    }
    WriteAll(fd.get(), text);
    if (::fsync(fd.get()) != 0) ThrowFileError(errno);
    if (fd.Close() != 0) ThrowFileError(errno);
    if (::rename(temp.c_str(), target.c_str()) != 0) ThrowFileError(errno);
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
  SyncFolder(target);
  return true;
}

// Writes `text` over the file open as `fd` from its start and cuts it to that
// length. The room is taken first where the file system can, so a disk too
// full for the new content leaves the old one whole.
void WriteInPlace(Fd& fd, std::string_view text) {
  if (!text.empty()) {
    int r;
    do {
      r = ::fallocate(fd.get(), 0, 0, static_cast<off_t>(text.size()));
    } while (r != 0 && errno == EINTR);
    if (r != 0 && errno != EOPNOTSUPP && errno != ENOSYS) ThrowFileError(errno);
  }
  WriteAll(fd.get(), text);
  if (::ftruncate(fd.get(), static_cast<off_t>(text.size())) != 0) ThrowFileError(errno);
  if (::fsync(fd.get()) != 0) ThrowFileError(errno);
  if (fd.Close() != 0) ThrowFileError(errno);
}

} // namespace

std::string RegisterFileErrorText(int e) {
  switch (e) {
  case ENOENT:
    return "File not found";
  case ENOTDIR:
  case ENAMETOOLONG:
  case EINVAL:
    return "Invalid filename";
  case EMFILE:
  case ENFILE:
    return "Too many open files";
  case EACCES:
  case EPERM:
  case EROFS:
  case EISDIR:
    return "File access denied";
  case ENOSPC:
  case EDQUOT:
  case EFBIG:
    return "Disk full";
  default:
    return "I/O error " + std::to_string(e);
  }
}

std::string RegisterFileText(const Workspace& ws) {
  // Worst case: every number eleven characters wide.
  constexpr size_t kNum = 11;
  constexpr size_t kDataLines = 2 * (kBitElements / kFieldsPerLine) + 2 * (kRegElements / kFieldsPerLine + 1);
  constexpr size_t kDataFields = 2 * kBitElements + 2 * kRegElements;
  const size_t capacity = 8 * (kNum + 2) + ws.Settings.Parity.size() + (5 * kNum + 2) +
                          kPageCount * (4 * kNum + 2) +
                          kSlotCount * (4 * 10 + kDataLines * 2 + kDataFields * kNum);
  TextOut out(capacity);

  out.Text(IsMasterRole(ws.Settings.IsMaster) ? "MASTER" : "SLAVE");
  out.Eol();
  out.Text(FramesRtu(ws.Settings.RtuMode) ? "RTU" : "ASCII");
  out.Eol();
  for (int32_t v : {ws.Settings.CommPort, ws.Settings.BaudRate, static_cast<int32_t>(ws.Settings.DataBits)}) {
    out.Int(v);
    out.Eol();
  }
  out.Text(ws.Settings.Parity);
  out.Eol();
  for (int32_t v : {static_cast<int32_t>(ws.Settings.StopBits), ws.Settings.PollTime}) {
    out.Int(v);
    out.Eol();
  }
  for (int s = 1; s <= kSlotCount; ++s) out.Field(ws.Devices.SlotAddress[static_cast<size_t>(s)]);
  out.Eol();
  for (int p = 1; p <= kPageCount; ++p) {
    const Page& pg = ws.View.PageTable[static_cast<size_t>(p)];
    out.Field(pg.PageStart);
    out.Field(pg.PageLength);
    out.Field(pg.PageDisplayType);
    out.Field(pg.PageRegType);
    out.Eol();
  }
  for (int s = 1; s <= kSlotCount; ++s) {
    const AddressSlot& slot = ws.SlotTables(s);
    WriteTable(out, ";COILS  ", slot.CoilTable, kBitElements);
    WriteTable(out, ";INPSTAT", slot.StatusTable, kBitElements);
    WriteTable(out, ";INPREGS", slot.InputRegTable, kRegElements);
    WriteTable(out, ";HOLDREG", slot.HoldingRegTable, kRegElements);
  }
  return out.Take();
}

void SaveRegisterFile(const Workspace& ws, const std::string& path) {
  if (path.empty()) ThrowFileError(EINVAL);
  const std::string text = RegisterFileText(ws);
  const std::string target = ResolveLinks(path);

  struct stat old {};
  if (::stat(target.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) {
    if (S_ISDIR(old.st_mode)) ThrowFileError(EISDIR);
    ReplaceWithNewFile(target, text, nullptr);
    return;
  }
  // An existing file is saved only by a user who may write it; opening it for
  // writing changes nothing yet.
  Fd fd(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) ThrowFileError(errno);
  if (::fstat(fd.get(), &old) != 0) ThrowFileError(errno);
  // A new file renamed over the old one is the safe way, as long as nothing of
  // the old file is lost by it: not a second name (hard link), not its owner
  // or group, not its mode. Otherwise, or when the folder takes no new file,
  // the file is written where it is.
  if (S_ISREG(old.st_mode) && old.st_nlink == 1 && ReplaceWithNewFile(target, text, &old)) return;
  WriteInPlace(fd, text);
}

// ---------------------------------------------------------------- reader

struct RegisterFileReader::Pending {
  // The groups the file holds, started from the workspace's values: what the
  // file does not supply keeps them.
  WorkspaceSettings Settings;
  DeviceAddresses Devices;
  ViewState View;
  // What the file supplies of each table, slot 1..5: a section always fills
  // its table from element 1 on, so this is the prefix 1..size(). The rest of
  // each table keeps the workspace's values; a short file costs no copy of the
  // whole store.
  std::array<std::array<std::vector<int32_t>, 4>, kSlotCount + 1> Supplied;

  int slot = 0; // 6 stands for every section after the fifth
  Table table = Table::None;
  int64_t index = 1;
};

RegisterFileReader::RegisterFileReader(Workspace& ws) : ws_(ws), p_(std::make_unique<Pending>()) {
  p_->Settings = ws.Settings;
  p_->Devices = ws.Devices;
  p_->View = ws.View;
}

RegisterFileReader::~RegisterFileReader() = default;

void RegisterFileReader::Feed(std::string_view bytes) {
  if (failed_ || finished_) throw std::logic_error("register file reader used after its end");
  try {
    while (!bytes.empty()) {
      const void* hit = std::memchr(bytes.data(), '\n', bytes.size());
      const size_t seg =
          hit ? static_cast<size_t>(static_cast<const char*>(hit) - bytes.data()) : bytes.size();
      if (hit && partial_len_ == 0) {
        // A whole line inside this piece: read it where it lies.
        std::string_view line = bytes.substr(0, seg);
        uint64_t len = seg;
        if (len > 0 && line.back() == '\r') {
          line.remove_suffix(1);
          --len;
        }
        Line(line.substr(0, kLineKeep), len);
      } else {
        if (seg > 0) {
          if (partial_.size() < kLineKeep)
            partial_.append(bytes.data(), std::min(seg, kLineKeep - partial_.size()));
          partial_len_ += seg;
          partial_last_ = bytes[seg - 1];
        }
        if (!hit) return;
        uint64_t len = partial_len_;
        if (len > 0 && partial_last_ == '\r') {
          --len;
          if (partial_.size() > len) partial_.pop_back();
        }
        Line(partial_, len);
        partial_.clear();
        partial_len_ = 0;
      }
      bytes.remove_prefix(seg + 1);
    }
  } catch (...) {
    failed_ = true;
    throw;
  }
}

void RegisterFileReader::Finish() {
  if (failed_ || finished_) throw std::logic_error("register file reader used after its end");
  try {
    if (partial_len_ > 0) {
      uint64_t len = partial_len_;
      if (partial_last_ == '\r') {
        --len;
        if (partial_.size() > len) partial_.pop_back();
      }
      Line(partial_, len);
      partial_.clear();
      partial_len_ = 0;
    }
    // A short file reads its missing settings, address and page lines as empty.
    while (line_no_ < kHeaderLines) Line({}, 0);
  } catch (...) {
    failed_ = true;
    throw;
  }
  finished_ = true;
}

void RegisterFileReader::Commit() {
  if (!finished_ || failed_) throw std::logic_error("register file reader committed before its end");
  Pending& p = *p_;
  Workspace& ws = ws_;
  // Page 1 becomes the view, and slot 1 the slot in use.
  p.Devices.DeviceAddress = p.Devices.SlotAddress[1];
  p.Devices.ActiveSlot = 1;
  const Page& first = p.View.PageTable[1];
  p.View.StartReg = first.PageStart;
  p.View.RegLength = first.PageLength;
  p.View.DisplayType = first.PageDisplayType;
  p.View.RegType = first.PageRegType;
  p.View.CurrentPage = 1;
  ws.Settings = p.Settings;
  ws.Devices = p.Devices;
  ws.View = p.View;
  for (int s = 1; s <= kSlotCount; ++s) {
    AddressSlot& slot = ws.SlotTables(s);
    int32_t* tables[4] = {slot.CoilTable.data(), slot.StatusTable.data(), slot.InputRegTable.data(),
                          slot.HoldingRegTable.data()};
    for (size_t t = 0; t < 4; ++t) {
      const std::vector<int32_t>& values = p.Supplied[static_cast<size_t>(s)][t];
      std::copy(values.begin(), values.end(), tables[t] + 1);
    }
  }
  finished_ = false;
  failed_ = true; // one commit per reader
}

void RegisterFileReader::Line(std::string_view line, uint64_t length) {
  ++line_no_;
  if (line_no_ <= kHeaderLines)
    HeaderLine(line, length);
  else
    DataLine(line, length);
}

void RegisterFileReader::HeaderLine(std::string_view line, uint64_t length) {
  Pending& p = *p_;
  switch (line_no_) {
  case 1:
    p.Settings.IsMaster = RoleOf(TrimLine(line) == "MASTER");
    return;
  case 2:
    p.Settings.RtuMode = FrameModeOf(TrimLine(line) == "RTU");
    return;
  case 3:
    p.Settings.CommPort = StrToInt(TrimLine(line));
    return;
  case 4:
    p.Settings.BaudRate = StrToInt(TrimLine(line));
    return;
  case 5:
    p.Settings.DataBits = static_cast<TDataBitsCode>(StrToInt(TrimLine(line)));
    return;
  case 6:
    p.Settings.Parity = TrimLine(line);
    return;
  case 7:
    p.Settings.StopBits = static_cast<TStopBitsCode>(StrToInt(TrimLine(line)));
    return;
  case 8:
    p.Settings.PollTime = StrToInt(TrimLine(line));
    return;
  case 9: {
    const uint64_t n = std::min<uint64_t>(FieldCount(length), kSlotCount);
    for (uint64_t k = 0; k < n; ++k) p.Devices.SlotAddress[k + 1] = FieldValue(FieldAt(line, k));
    return;
  }
  default: {
    Page& pg = p.View.PageTable[line_no_ - 9];
    const uint64_t n = std::min<uint64_t>(FieldCount(length), 4);
    // Start, length, display format, table: the codes are held as they stand.
    for (uint64_t k = 0; k < n; ++k) {
      const int32_t v = FieldValue(FieldAt(line, k));
      if (k == 0) pg.PageStart = v;
      if (k == 1) pg.PageLength = v;
      if (k == 2) pg.PageDisplayType = static_cast<TDisplayType>(v);
      if (k == 3) pg.PageRegType = static_cast<TRegType>(v);
    }
    return;
  }
  }
}

void RegisterFileReader::DataLine(std::string_view line, uint64_t length) {
  Pending& p = *p_;
  if (!line.empty() && line[0] == ';') {
    const std::string_view head = line.substr(0, 8);
    if (head == ";COILS  ") {
      if (p.slot <= kSlotCount) ++p.slot;
      p.table = Table::Coils;
    } else if (head == ";INPSTAT") {
      p.table = Table::Status;
    } else if (head == ";INPREGS") {
      p.table = Table::InputRegs;
    } else if (head == ";HOLDREG") {
      p.table = Table::HoldingRegs;
    } else {
      return; // a comment
    }
    p.index = 1;
    return;
  }
  // Fields that cannot be stored are dropped without being converted.
  if (p.table == Table::None || p.slot < 1 || p.slot > kSlotCount) return;
  const auto t = static_cast<size_t>(p.table) - 1;
  const uint64_t last = t < 2 ? kBitElements : kRegElements;
  std::vector<int32_t>& values = p.Supplied[static_cast<size_t>(p.slot)][t];
  const uint64_t n = FieldCount(length);
  for (uint64_t k = 0; k < n && static_cast<uint64_t>(p.index) <= last; ++k, ++p.index) {
    const int32_t v = FieldValue(FieldAt(line, k));
    // Elements are supplied in order from 1: the next one either replaces a
    // value an earlier section of the same table gave, or extends the prefix.
    const auto at = static_cast<size_t>(p.index - 1);
    if (at < values.size())
      values[at] = v;
    else
      values.push_back(v);
  }
}

void ReadRegisterText(Workspace& ws, std::string_view text) {
  RegisterFileReader reader(ws);
  reader.Feed(text);
  reader.Finish();
  reader.Commit();
}

void LoadRegisterFile(Workspace& ws, const std::string& path) {
  if (path.empty()) ThrowFileError(EINVAL);
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) ThrowFileError(errno);
  RegisterFileReader reader(ws);
  std::string buf(size_t{1} << 18, '\0');
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowFileError(errno);
    }
    if (n == 0) break;
    reader.Feed(std::string_view(buf.data(), static_cast<size_t>(n)));
  }
  fd.Close();
  reader.Finish();
  reader.Commit();
}

} // namespace korvane
