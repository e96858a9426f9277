#include "encoding/encoding.hpp"

#include <algorithm>

#include "encoding/decoders.hpp"
#include "encoding/tables_generated.hpp"

namespace korvel::encoding {
namespace {

bool is_ascii_whitespace(char c) {
  return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

bool is_continuation(uint8_t b) {
  return (b & 0xC0) == 0x80;
}

// For a UTF-8 lead byte: the number of continuation bytes and the allowed range of the first
// of them (which excludes overlong forms, surrogates and code points above U+10FFFF).
// Returns false for a byte that cannot start a sequence.
bool utf8_lead(uint8_t b, size_t& need, uint8_t& lo, uint8_t& hi) {
  lo = 0x80;
  hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    need = 1;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 2;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 3;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::string_view encoding_name(Encoding e) {
  const auto k = static_cast<size_t>(e);
  return k < tables::kEncodingCount ? tables::kNames[k] : std::string_view();
}

std::optional<Encoding> encoding_for_label(std::string_view label) {
  while (!label.empty() && is_ascii_whitespace(label.front())) label.remove_prefix(1);
  while (!label.empty() && is_ascii_whitespace(label.back())) label.remove_suffix(1);
  if (label.empty() || label.size() > tables::kMaxLabelLength) return std::nullopt;
  char buf[tables::kMaxLabelLength];
  for (size_t i = 0; i < label.size(); ++i) {
    const char c = label[i];
    buf[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  const std::string_view key(buf, label.size());
  const tables::Label* end = tables::kLabels + tables::kLabelCount;
  const tables::Label* it =
      std::lower_bound(tables::kLabels, end, key,
                       [](const tables::Label& l, std::string_view k) { return l.label < k; });
  if (it == end || it->label != key) return std::nullopt;
  return it->encoding;
}

Encoding encoding_for_character_code(int32_t code) {
  switch (code) {
    case 1200:
      return Encoding::UTF_16LE;
    case 1201:
      return Encoding::UTF_16BE;
    case 1250:
      return Encoding::windows_1250;
    case 1251:
      return Encoding::windows_1251;
    case 1253:
      return Encoding::windows_1253;
    case 1254:
      return Encoding::windows_1254;
    case 1255:
      return Encoding::windows_1255;
    case 1256:
      return Encoding::windows_1256;
    case 1257:
      return Encoding::windows_1257;
    case 1258:
      return Encoding::windows_1258;
    case 28592:
      return Encoding::ISO_8859_2;
    case 28593:
      return Encoding::ISO_8859_3;
    case 28594:
      return Encoding::ISO_8859_4;
    case 28595:
      return Encoding::ISO_8859_5;
    case 28596:
      return Encoding::ISO_8859_6;
    case 28597:
      return Encoding::ISO_8859_7;
    case 28598:
      return Encoding::ISO_8859_8;
    case 28599:
      return Encoding::windows_1254;
    case 28603:
      return Encoding::ISO_8859_13;
    case 28605:
      return Encoding::ISO_8859_15;
    case 874:
      return Encoding::windows_874;
    case 932:
      return Encoding::Shift_JIS;
    case 936:
    case 20936:
    case 52936:
      return Encoding::GBK;
    case 949:
    case 51949:
      return Encoding::EUC_KR;
    case 950:
      return Encoding::Big5;
    case 437:
      return Encoding::IBM866;
    case 866:  // DOS Cyrillic is exactly the standard's IBM866
      return Encoding::IBM866;
    case 50220:
      return Encoding::ISO_2022_JP;
    case 51932:
      return Encoding::EUC_JP;
    case 54936:
      return Encoding::gb18030;
    case 65001:
      return Encoding::UTF_8;
    default:
      return Encoding::windows_1252;
  }
}

bool is_valid_utf8(const uint8_t* data, size_t n) noexcept {
  size_t i = 0;
  while (i < n) {
    if (data[i] < 0x80) {
      i += detail::ascii_prefix(data + i, n - i);
      continue;
    }
    size_t need;
    uint8_t lo, hi;
    if (!utf8_lead(data[i], need, lo, hi) || n - i <= need) return false;
    const uint8_t b1 = data[i + 1];
    if (b1 < lo || b1 > hi) return false;
    for (size_t k = 2; k <= need; ++k) {
      if (!is_continuation(data[i + k])) return false;
    }
    i += need + 1;
  }
  return true;
}

void decode_utf8_lossy_append(const uint8_t* data, size_t n, std::string& out) {
  // Valid stretches are copied whole; `span` is where the current one began.
  size_t span = 0;
  size_t i = 0;
  const auto flush = [&](size_t to) {
    out.append(reinterpret_cast<const char*>(data + span), to - span);
  };
  while (i < n) {
    if (data[i] < 0x80) {
      i += detail::ascii_prefix(data + i, n - i);
      continue;
    }
    size_t need;
    uint8_t lo, hi;
    if (!utf8_lead(data[i], need, lo, hi)) {
      flush(i);
      detail::append_replacement(out);
      span = ++i;
      continue;
    }
    size_t j = i + 1;
    for (size_t k = 0; k < need; ++k, ++j) {
      if (j == n || data[j] < lo || data[j] > hi) break;
      lo = 0x80;
      hi = 0xBF;
    }
    if (j - i == need + 1) {
      i = j;
      continue;
    }
    // A maximal subpart ends before data[j], which is read again (or is the end).
    flush(i);
    detail::append_replacement(out);
    span = i = j;
  }
  flush(n);
}

void decode_append(Encoding e, const uint8_t* data, size_t n, std::string& out) {
  const auto k = static_cast<size_t>(e);
  const auto first_sb = static_cast<size_t>(tables::kFirstSingleByte);
  if (k >= first_sb && k - first_sb < tables::kSingleByteCount) {
    detail::decode_single_byte(tables::kSingleByte[k - first_sb], data, n, out);
    return;
  }
  switch (e) {
    case Encoding::UTF_8:
      decode_utf8_lossy_append(data, n, out);
      break;
    case Encoding::GBK:
    case Encoding::gb18030:
      detail::decode_gb18030(data, n, out);
      break;
    case Encoding::Big5:
      detail::decode_big5(data, n, out);
      break;
    case Encoding::EUC_JP:
      detail::decode_euc_jp(data, n, out);
      break;
    case Encoding::ISO_2022_JP:
      detail::decode_iso_2022_jp(data, n, out);
      break;
    case Encoding::Shift_JIS:
      detail::decode_shift_jis(data, n, out);
      break;
    case Encoding::EUC_KR:
      detail::decode_euc_kr(data, n, out);
      break;
    case Encoding::replacement:
      // One U+FFFD for the whole of a non-empty input.
      if (n != 0) detail::append_replacement(out);
      break;
    case Encoding::UTF_16BE:
      detail::decode_utf16(true, data, n, out);
      break;
    case Encoding::UTF_16LE:
      detail::decode_utf16(false, data, n, out);
      break;
    case Encoding::x_user_defined:
      detail::decode_x_user_defined(data, n, out);
      break;
    default:
      // Not an encoding (a value cast from an out-of-range integer): nothing decodes it.
      if (n != 0) detail::append_replacement(out);
      break;
  }
}

void decode_text_append(Encoding e, const uint8_t* data, size_t n, std::string& out) {
  if (e == Encoding::UTF_8 && is_valid_utf8(data, n)) {
    out.append(reinterpret_cast<const char*>(data), n);
    return;
  }
  if (n >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
    decode_utf8_lossy_append(data + 3, n - 3, out);
  } else if (n >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
    detail::decode_utf16(false, data + 2, n - 2, out);
  } else if (n >= 2 && data[0] == 0xFE && data[1] == 0xFF) {
    detail::decode_utf16(true, data + 2, n - 2, out);
  } else {
    decode_append(e, data, n, out);
  }
}

}  // namespace korvel::encoding
