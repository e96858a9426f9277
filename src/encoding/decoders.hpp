// The decoders of the individual encodings, each appending UTF-8 to `out` and treating the
// end of the input as the end of the stream. Internal to src/encoding/.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "text.hpp"

namespace korvel::encoding::detail {

// The number of leading bytes below 0x80, eight at a time.
inline size_t ascii_prefix(const uint8_t* p, size_t n) noexcept {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    w &= 0x8080808080808080ULL;
    if (w != 0) {
      if constexpr (std::endian::native == std::endian::little) {
        return i + static_cast<size_t>(std::countr_zero(w) >> 3);
      }
      break;
    }
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

// Writes a code point below U+10000 as UTF-8 at dst and returns the end.
inline char* put_bmp_utf8(char* dst, uint32_t cp) {
  if (cp < 0x80) {
    *dst++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *dst++ = static_cast<char>(0xC0 | (cp >> 6));
    *dst++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *dst++ = static_cast<char>(0xE0 | (cp >> 12));
    *dst++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *dst++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return dst;
}

inline void append_replacement(std::string& out) {
  out.append("\xEF\xBF\xBD", 3);
}

// `table` holds the code points of bytes 0x80-0xFF, 0 where the byte has none.
void decode_single_byte(const uint16_t* table, const uint8_t* data, size_t n, std::string& out);
void decode_x_user_defined(const uint8_t* data, size_t n, std::string& out);
void decode_gb18030(const uint8_t* data, size_t n, std::string& out);
void decode_big5(const uint8_t* data, size_t n, std::string& out);
void decode_euc_jp(const uint8_t* data, size_t n, std::string& out);
void decode_iso_2022_jp(const uint8_t* data, size_t n, std::string& out);
void decode_shift_jis(const uint8_t* data, size_t n, std::string& out);
void decode_euc_kr(const uint8_t* data, size_t n, std::string& out);
void decode_utf16(bool big_endian, const uint8_t* data, size_t n, std::string& out);

}  // namespace korvel::encoding::detail
