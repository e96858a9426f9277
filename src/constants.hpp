// Format specifiers and the small enumerations of the data model, with their file codes and
// text forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// Format type codes with a fixed meaning elsewhere.
enum FormatCode : uint8_t {
  kFmtA = 1,
  kFmtAHEX = 2,
  kFmtF = 5,
  kFmtDATE = 20,
  kFmtTIME = 21,
  kFmtDATETIME = 22,
  kFmtADATE = 23,
  kFmtJDATE = 24,
  kFmtDTIME = 25,
  kFmtWKDAY = 26,
  kFmtMONTH = 27,
  kFmtMOYR = 28,
  kFmtQYR = 29,
  kFmtWKYR = 30,
  kFmtEDATE = 38,
  kFmtSDATE = 39,
  kFmtMTIME = 40,
  kFmtYMDHMS = 41,
};

// The name of a valid format type code ("F", "DATE", ...), or empty for an invalid code.
std::string_view format_type_name(uint8_t code);
// The code of a format type name (upper case), or 0.
uint8_t format_type_from_name(std::string_view name);
inline bool is_valid_format_type(uint32_t code) {
  return code <= 255 && !format_type_name(static_cast<uint8_t>(code)).empty();
}
// Types printed without decimals: A, AHEX, the date, time and date-time types.
bool format_prints_without_decimals(uint8_t code);
bool is_date_format(uint8_t code);      // DATE ADATE JDATE MOYR QYR WKYR EDATE SDATE
bool is_duration_format(uint8_t code);  // TIME DTIME MTIME
bool is_datetime_format(uint8_t code);  // DATETIME YMDHMS

struct SpssFormat {
  uint8_t format_type = 0;  // 0: unknown
  uint8_t width = 0;
  uint8_t decimals = 0;

  // Decodes a format word of a variable record: type in bits 16-23, width 8-15, decimals 0-7.
  // An invalid type code becomes 0; width and decimals are kept.
  static SpssFormat from_word(uint32_t word);
  // Parses a text form such as "F8.2" or " date11 "; nothing when it is not a format.
  static std::optional<SpssFormat> from_string(std::string_view text);
  // "F8.2", "DATE11"; nothing for the unknown type.
  std::optional<std::string> to_string() const;

  bool operator==(const SpssFormat&) const = default;
};

// Numeric, or string with a width in bytes.
struct VarType {
  bool is_string = false;
  size_t width = 0;  // bytes, strings only

  static VarType numeric() { return {}; }
  static VarType string(size_t w) { return {true, w}; }
  bool operator==(const VarType&) const = default;
};

enum class Measure : uint8_t { Unknown, Nominal, Ordinal, Scale };
enum class Alignment : uint8_t { Unknown, Left, Right, Center };
enum class Role : uint8_t { Input, Target, Both, None, Partition, Split };
enum class Compression : uint8_t { Uncompressed = 0, Bytecode = 1, Zlib = 2 };
enum class MrType : uint8_t { Dichotomy, Category };

Measure measure_from_code(int32_t code);
int32_t measure_code(Measure m);  // 0 for unknown
Alignment alignment_from_code(int32_t code);
int32_t alignment_code(Alignment a);  // 0 for unknown (written as left)

std::string_view to_string(Measure m);
std::string_view to_string(Alignment a);
std::string_view to_string(Role r);
std::string_view to_string(Compression c);
std::string_view to_string(MrType t);

std::optional<Measure> measure_from_string(std::string_view s);
std::optional<Alignment> alignment_from_string(std::string_view s);
std::optional<Role> role_from_string(std::string_view s);
std::optional<Compression> compression_from_string(std::string_view s);

}  // namespace korvel
