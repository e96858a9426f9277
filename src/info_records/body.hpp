// Shared pieces of the dictionary's parsers: a bounds-checked cursor over a record body that
// reads numbers in the file's byte order, the decoding of names, and text splitting.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/encoding.hpp"
#include "text.hpp"

namespace korvel {

using Bytes = std::vector<uint8_t>;
using ByteSpan = std::span<const uint8_t>;

inline std::string_view as_chars(ByteSpan bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Reads fields from a body already in memory; a read that does not fit yields nothing and
// leaves the position where it was.
class BodyCursor {
 public:
  BodyCursor(ByteSpan body, bool swap_bytes) : body_(body), swap_(swap_bytes) {}

  size_t remaining() const { return body_.size() - pos_; }

  std::optional<uint8_t> u8() {
    if (remaining() < 1) return std::nullopt;
    return body_[pos_++];
  }
  std::optional<int32_t> i32() {
    if (remaining() < 4) return std::nullopt;
    uint32_t v;
    std::memcpy(&v, body_.data() + pos_, 4);
    pos_ += 4;
    return static_cast<int32_t>(swap_ ? __builtin_bswap32(v) : v);
  }
  std::optional<double> f64() {
    if (remaining() < 8) return std::nullopt;
    uint64_t v;
    std::memcpy(&v, body_.data() + pos_, 8);
    pos_ += 8;
    if (swap_) v = __builtin_bswap64(v);
    double d;
    std::memcpy(&d, &v, 8);
    return d;
  }
  // `n` bytes, for a length read from the body; a negative length never fits.
  std::optional<ByteSpan> bytes(int64_t n) {
    if (n < 0 || static_cast<uint64_t>(n) > remaining()) return std::nullopt;
    ByteSpan out = body_.subspan(pos_, static_cast<size_t>(n));
    pos_ += static_cast<size_t>(n);
    return out;
  }

 private:
  ByteSpan body_;
  size_t pos_ = 0;
  bool swap_;
};

// Names and the other name-like texts (variable names, the text of long-name, width, attribute
// and multiple-response records, the names in long-string records): valid UTF-8 is taken as it
// stands, so UTF-8 files and ASCII names read the same whatever the file declares; anything
// else is read in the file's encoding `e` by decode_text's rule, so that files written in a
// legacy code page keep their non-ASCII names instead of getting U+FFFD.
std::string decode_name_text(std::string_view bytes, encoding::Encoding e);

// The pieces of `text` between runs of Unicode white space; empty pieces are not produced.
std::vector<std::string_view> split_unicode_whitespace(std::string_view text);

// ASCII lower-casing; other bytes stay.
std::string ascii_lower(std::string_view text);

}  // namespace korvel
