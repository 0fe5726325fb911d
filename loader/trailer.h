// The trailer text: a text between "<|" and "|>" at the very end of the loader's file.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vel {

inline constexpr uint64_t kTrailerWindow = 64 * 1024;

// Where the examined end of a file of `file_size` bytes starts: the 64 KB boundary at or below
// the position 64 KB before the end. None for a file smaller than 64 KB.
std::optional<uint64_t> TrailerWindowStart(uint64_t file_size);

// The trailer text of the file end `tail` (the bytes from TrailerWindowStart to the end). An
// 8-bit text preceded by the UTF-8 byte-order mark is read as UTF-8, otherwise in `codeset`; a
// UTF-16 little-endian text needs no character set. Empty when there is none.
std::u16string FindTrailerText(std::span<const uint8_t> tail, const char* codeset);

} // namespace vel
