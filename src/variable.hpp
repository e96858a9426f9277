// The type-2 variable record: one per 8-byte slot of a case row.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "constants.hpp"
#include "error.hpp"
#include "io_utils.hpp"

namespace korvel {

// The missing-value block of a variable record.
struct MissingValues {
  enum class Kind : uint8_t { None, Discrete, Range, RangeAndValue, Strings };
  Kind kind = Kind::None;
  // Discrete: the values; Range: low, high; RangeAndValue: low, high, value.
  std::vector<double> numbers;
  // Strings: the 8-byte values as stored.
  std::vector<std::array<uint8_t, 8>> strings;
};

struct VariableRecord {
  VarType var_type;
  int32_t type_code = 0;
  // A continuation slot of a string, or (after resolution) a very long string's segment.
  bool skip = false;
  std::vector<uint8_t> raw_name;  // the 8-byte name, trailing padding removed, undecoded
  // Set by resolution, once the file's encoding is known: the decoded, upper-cased raw_name,
  // and the long name where the file gives one (else the short name).
  std::string short_name;
  std::string name;
  std::optional<std::vector<uint8_t>> label;  // raw, undecoded
  MissingValues missing_values;
  SpssFormat print_format;
  SpssFormat write_format;
  size_t slot_index = 0;  // position among all type-2 records = first slot in the row
  size_t n_segments = 1;
  uint32_t display_width = 8;
  Measure measure = Measure::Unknown;
  Alignment alignment = Alignment::Unknown;
};

// Reads a type-2 record whose record type has just been read. `slot_index` is the number of
// type-2 records before it.
Result<VariableRecord> read_variable_record(SavReader& reader, size_t slot_index);

}  // namespace korvel
