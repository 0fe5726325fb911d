// Payload container of the setup loader: layout, result codes and the extraction of one entry.
// Plain logic over a byte source and an entry sink; the POSIX pieces live in posix_files.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vel {

// Container header (little-endian throughout).
inline constexpr size_t kContainerHeaderSize = 64;
inline constexpr size_t kContainerMagicOffset = 16;
inline constexpr char kContainerMagic[4] = {'v', 'l', 'z', '3'};
inline constexpr size_t kContainerVersionOffset = 20;
inline constexpr uint32_t kContainerVersion = 0x00070000;
inline constexpr size_t kContainerFlagsOffset = 24;
inline constexpr uint32_t kFlagCheckFailureIs6001 = 0x1;
inline constexpr size_t kContainerLengthOffset = 32;
inline constexpr size_t kContainerGuidOffset = 48;
inline constexpr size_t kCheckBlockSize = 8;
inline constexpr uint32_t kCheckBlockXor = 0x35BC6F82;
inline constexpr size_t kPropertiesSize = 5;
inline constexpr uint8_t kPropertyByteLimit = 225; // lc + 9 * (lp + 5 * pb) must stay below
inline constexpr size_t kStreamOffset = kContainerHeaderSize + kCheckBlockSize + kPropertiesSize; // 77

// Entry header inside the decoded stream.
inline constexpr size_t kEntryHeaderSize = 64;
inline constexpr char kEntryMagic[4] = {'v', 'z', 'f', '3'};
inline constexpr size_t kEntryIdOffset = 8;
inline constexpr size_t kEntrySizeOffset = 16;
inline constexpr size_t kEntryCreationTimeOffset = 24;
inline constexpr size_t kEntryWriteTimeOffset = 32;
inline constexpr size_t kEntryAttributesOffset = 40;
inline constexpr uint64_t kStubEntryId = 0xFFFFFFFFFFFF000FULL;

// Windows file attribute bits an entry may carry.
inline constexpr uint32_t kAttrReadOnly = 0x01;
inline constexpr uint32_t kAttrHidden = 0x02;
inline constexpr uint32_t kAttrSystem = 0x04;
inline constexpr uint32_t kAttrArchive = 0x20;

// Results of the extraction besides 0 (done) and platform errors. Platform errors are errno
// values and share the number range with these codes (errno 13 is EACCES); the message shows
// the number only, docs/loader.md lists both meanings.
inline constexpr uint32_t kResultOutOfMemory = 8;
inline constexpr uint32_t kResultBadData = 13;
inline constexpr uint32_t kResultBadEntryWord = 23;
inline constexpr uint32_t kResultCorrupt = 30;
inline constexpr uint32_t kResultEndedEarly = 38;
inline constexpr uint32_t kResultNothingWritten = 39;
inline constexpr uint32_t kResultBadProperties = 1114;
inline constexpr uint32_t kResultCheckFailed = 6001;

inline constexpr size_t kChunkSize = 64 * 1024;

struct EntryHeader {
  uint64_t id = 0;
  uint64_t size = 0;
  uint64_t creation_time = 0;   // Windows file time, not examined by the loader
  uint64_t last_write_time = 0; // Windows file time: 100 ns units since 1601-01-01 UTC
  uint32_t attributes = 0;      // Windows file attribute bits
};

struct LzmaProperties {
  uint32_t lc = 0, lp = 0, pb = 0;
  uint32_t dict_size = 0; // as stored; 0 is read as 1 by the decoder
};

// Splits the property byte; false when it is kPropertyByteLimit or more.
bool SplitPropertyByte(uint8_t byte, LzmaProperties& props);

inline uint32_t ReadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t ReadLe64(const uint8_t* p) { return uint64_t(ReadLe32(p)) | uint64_t(ReadLe32(p + 4)) << 32; }
inline void WriteLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void WriteLe64(uint8_t* p, uint64_t v) {
  WriteLe32(p, uint32_t(v));
  WriteLe32(p + 4, uint32_t(v >> 32));
}

EntryHeader ParseEntryHeader(const uint8_t* bytes);

// Where the compressed container comes from. Read fills up to `size` bytes and stores the count in
// `got` (0 only at the end); it returns 0 or a platform error.
class ByteSource {
public:
  virtual ~ByteSource() = default;
  virtual uint32_t Read(uint8_t* buffer, size_t size, size_t& got) = 0;
};

// Where the wanted entry goes. Every call returns 0 or a platform error. Write may store fewer
// bytes than offered (stored tells how many); storing none is a failure of its own.
class EntrySink {
public:
  virtual ~EntrySink() = default;
  virtual uint32_t Create(const EntryHeader& entry) = 0;
  virtual uint32_t Write(const uint8_t* data, size_t size, size_t& stored) = 0;
  // Applies time and attributes once every byte is stored.
  virtual void Finish(const EntryHeader& entry) = 0;
  // Called after a failure that happened once Create succeeded.
  virtual void Abandon() = 0;
};

// Reads the container from `source` (positioned at its first byte), decodes entries until the one
// with identifier `wanted_id`, and hands its data to `sink`. Returns 0 or a result code above.
uint32_t ExtractEntry(ByteSource& source, uint64_t wanted_id, EntrySink& sink);

} // namespace vel
