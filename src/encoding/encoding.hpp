// Character encodings of the WHATWG Encoding Standard: label lookup and decoders.
// Decoding holds no global state and takes no lock: worker threads may call it freely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvel::encoding {

// Every encoding the standard defines, in the order of its encodings.json.
enum class Encoding : uint8_t {
  UTF_8,
  IBM866,
  ISO_8859_2,
  ISO_8859_3,
  ISO_8859_4,
  ISO_8859_5,
  ISO_8859_6,
  ISO_8859_7,
  ISO_8859_8,
  ISO_8859_8_I,
  ISO_8859_10,
  ISO_8859_13,
  ISO_8859_14,
  ISO_8859_15,
  ISO_8859_16,
  KOI8_R,
  KOI8_U,
  macintosh,
  windows_874,
  windows_1250,
  windows_1251,
  windows_1252,
  windows_1253,
  windows_1254,
  windows_1255,
  windows_1256,
  windows_1257,
  windows_1258,
  x_mac_cyrillic,
  GBK,
  gb18030,
  Big5,
  EUC_JP,
  ISO_2022_JP,
  Shift_JIS,
  EUC_KR,
  replacement,
  UTF_16BE,
  UTF_16LE,
  x_user_defined,
};

// The encoding's name as the standard spells it: "UTF-8", "windows-1252", "Shift_JIS", ...
std::string_view encoding_name(Encoding e);

// The encoding a label denotes: ASCII white space (TAB, LF, FF, CR, SPACE) trimmed at both
// ends, compared ASCII case-insensitively. Nothing for a label the standard does not define.
std::optional<Encoding> encoding_for_label(std::string_view label);

// The encoding selected by the character code of a file's machine-integer record (an SPSS code
// page number); unlisted codes give windows-1252.
Encoding encoding_for_character_code(int32_t code);

// True when [data, data+n) is well-formed UTF-8.
bool is_valid_utf8(const uint8_t* data, size_t n) noexcept;

// Decodes with the standard's decoder for `e` (error mode "replacement": each malformed
// sequence becomes U+FFFD) and appends UTF-8 to `out`. No byte-order mark is sniffed or removed.
void decode_append(Encoding e, const uint8_t* data, size_t n, std::string& out);

// UTF-8 with U+FFFD for every maximal invalid subsequence, appended to `out`.
void decode_utf8_lossy_append(const uint8_t* data, size_t n, std::string& out);

// The decoding of a file's texts: in a UTF-8 file, valid UTF-8 is taken as it stands (a
// leading byte-order mark stays); otherwise a leading byte-order mark (EF BB BF, FF FE,
// FE FF) selects UTF-8, UTF-16LE or UTF-16BE and is removed, and without one `e` decodes.
// Appends to `out`.
void decode_text_append(Encoding e, const uint8_t* data, size_t n, std::string& out);

inline std::string decode_text(Encoding e, std::string_view bytes) {
  std::string out;
  decode_text_append(e, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out);
  return out;
}

}  // namespace korvel::encoding
