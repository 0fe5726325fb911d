// The loader's Linux layer: its own file, the temporary folder and the temporary file.
#pragma once

#include "loader/container.h"
#include "loader/image_sections.h"

#include <ctime>
#include <string>
#include <vector>

namespace vel {

// The loader's own executable (/proc/self/exe). Returns 0 or an errno value; a path that does not
// fit PATH_MAX is ENAMETOOLONG rather than a cut-off name.
uint32_t OwnExecutablePath(std::string& path);

inline constexpr size_t kTempFolderLimit = 1032;

// $TMPDIR when set and not empty, else /tmp, always ending with '/'. A folder of kTempFolderLimit
// characters or more is ENAMETOOLONG. Returns 0 or an errno value.
uint32_t TempFolder(std::string& folder);

// pread-based reader for FindElfSection.
ReadAt FileReader(int fd);

// Looks `name` up in the ELF file at `path`; NoValidHeaders when the file cannot be read.
SectionLookup FindFileSection(const std::string& path, std::string_view name);

// The raw data of section `name`, empty when there is no such section.
std::string ReadFileSection(const std::string& path, std::string_view name);

// The bytes from TrailerWindowStart to the end of the file; empty for small or unreadable files.
std::vector<uint8_t> ReadFileTail(const std::string& path);

// The process's arguments as given (from /proc/self/cmdline), program name first.
std::vector<std::string> ProcessArguments();

// Windows file time (100 ns since 1601-01-01 UTC) as a time for utimensat; 0 means "leave as is"
// and gives UTIME_OMIT.
timespec FileTimeToTimespec(uint64_t file_time);

// Reads the own file from a position on, in order, and never past `limit` bytes from there: the
// container ends where its section ends, and what follows in the file is not part of it.
class FileSource : public ByteSource {
public:
  FileSource() = default;
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  uint32_t Open(const std::string& path, uint64_t offset, uint64_t limit = UINT64_MAX);
  uint32_t Read(uint8_t* buffer, size_t size, size_t& got) override;

private:
  int fd_ = -1;
  uint64_t left_ = 0;
};

// The temporary file. Whatever is at the path is removed and the file is created exclusively,
// without following links, mode 0600, and written only through its own descriptor, so nobody
// else can plant, swap or redirect what gets loaded. The descriptor stays open after Finish so
// the library can be loaded from it (DescriptorPath).
class TargetFile : public EntrySink {
public:
  explicit TargetFile(std::string path) : path_(std::move(path)) {}
  ~TargetFile() override;
  TargetFile(const TargetFile&) = delete;
  TargetFile& operator=(const TargetFile&) = delete;

  uint32_t Create(const EntryHeader& entry) override;
  uint32_t Write(const uint8_t* data, size_t size, size_t& stored) override;
  // Sets the last-write time, then drops the write bits for a read-only entry. Hidden and system
  // have no meaning here. Failures of either leave a usable file and are not reported.
  void Finish(const EntryHeader& entry) override;
  void Abandon() override { Close(); }

  // "/proc/self/fd/N": the file this object created, whatever happens to its name meanwhile.
  std::string DescriptorPath() const;
  void Close();

private:
  std::string path_;
  int fd_ = -1;
};

} // namespace vel
