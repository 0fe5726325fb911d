// Writing payload containers and placing them into a copy of the loader.
#pragma once

#include "loader/container.h"

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vel::pack {

struct PackEntry {
  uint64_t id = 0;
  std::string data;      // the entry's bytes, unless file_path is set
  std::string file_path; // streamed from this file when not empty
  uint64_t creation_time = 0;
  uint64_t last_write_time = 0; // Windows file time
  uint32_t attributes = 0;      // Windows file attribute bits
};

struct ContainerOptions {
  uint32_t flags = 0;
  uint32_t preset = 6;                // xz preset level for the encoder
  std::optional<LzmaProperties> lzma; // replaces lc, lp, pb and the dictionary of the preset
  std::array<uint8_t, 16> package_id{};
};

// The 64-byte entry header for `entry` holding `size` bytes.
std::array<uint8_t, kEntryHeaderSize> MakeEntryHeader(const PackEntry& entry, uint64_t size);

// Compresses the entries into one container (header, check block, properties, raw LZMA1 stream
// with its end marker). Returns an empty text on success, else what went wrong.
std::string WriteContainer(const std::vector<PackEntry>& entries, const ContainerOptions& options,
                           std::string& container);

// Compresses `payload` as it is (no entry headers added) into a container: for payloads built by
// hand.
std::string WriteRawContainer(const std::string& payload, const ContainerOptions& options,
                              std::string& container);

// Puts the container header, check block and properties before an already compressed raw LZMA1
// `stream` (the properties are options.lzma, which must be set).
std::string WrapStream(const std::string& stream, const ContainerOptions& options);

// Modification time of a file as a Windows file time; 0 when it cannot be read.
uint64_t FileWriteTime(const std::string& path);

// Copies `input` to `output` with the given (section name, content file) pairs added, by running
// objcopy. Returns an empty text on success, else what went wrong.
std::string AddSections(const std::string& objcopy, const std::string& input, const std::string& output,
                        const std::vector<std::pair<std::string, std::string>>& sections);

// Appends bytes to a file (the trailer text goes after everything else).
std::string AppendToFile(const std::string& path, const std::string& bytes);

// "<|" + text + "|>" as UTF-8 with its byte-order mark before the opening mark.
std::string Utf8Trailer(const std::string& text);

} // namespace vel::pack
