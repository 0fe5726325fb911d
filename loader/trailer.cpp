#include "loader/trailer.h"

#include "loader/text_codec.h"

namespace vel {

std::optional<uint64_t> TrailerWindowStart(uint64_t file_size) {
  if (file_size < kTrailerWindow) return std::nullopt;
  return (file_size - kTrailerWindow) / kTrailerWindow * kTrailerWindow;
}

std::u16string FindTrailerText(std::span<const uint8_t> tail, const char* codeset) {
  const size_t n = tail.size();
  if (n >= 4 && tail[n - 2] == '|' && tail[n - 1] == '>') {
    // The opening mark ends where the closing one starts at the latest.
    for (size_t p = n - 3; p-- > 0;) {
      if (tail[p] != '<' || tail[p + 1] != '|') continue;
      const auto text = tail.subspan(p + 2, n - 2 - (p + 2));
      if (p >= 3 && tail[p - 3] == 0xEF && tail[p - 2] == 0xBB && tail[p - 1] == 0xBF)
        return DecodeBytes(text, "UTF-8");
      return DecodeBytes(text, codeset);
    }
    return {};
  }
  if (n >= 8 && tail[n - 4] == '|' && tail[n - 3] == 0 && tail[n - 2] == '>' && tail[n - 1] == 0) {
    // Two bytes at a time, in step with the end of the file.
    for (size_t p = n - 8 + 2; p >= 2;) {
      p -= 2;
      if (tail[p] != '<' || tail[p + 1] != 0 || tail[p + 2] != '|' || tail[p + 3] != 0) continue;
      std::u16string text;
      for (size_t i = p + 4; i < n - 4; i += 2) text += char16_t(tail[i] | tail[i + 1] << 8);
      return text;
    }
  }
  return {};
}

} // namespace vel
