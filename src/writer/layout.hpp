// The write layout: how each column is stored in the case row of 8-byte slots, under which
// short name, and the variable records (one per slot) the dictionary will hold.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "arrow/types.hpp"
#include "constants.hpp"
#include "error.hpp"
#include "metadata.hpp"
#include "ordered_map.hpp"
#include "variable.hpp"

namespace korvel {

// The missing-value count of a variable record: the number of values, -2 for a range, -3 for
// a range and a value.
int32_t missing_value_count(const MissingValues& mv);

struct WriteFormat {
  uint8_t type = 0;
  uint8_t width = 0;
  uint8_t decimals = 0;
  int32_t word() const { return (int32_t{type} << 16) | (int32_t{width} << 8) | decimals; }
};

struct WriteVariable {
  VarType var_type;
  MissingValues missing_values;
  std::string name;
  std::string short_name;
  std::optional<std::string> label;
  size_t segment_slots = 1;
  size_t n_segments = 1;
  size_t last_segment_slots = 1;
  size_t width = 8;  // string width in bytes; 8 for a numeric variable
  size_t column_index = 0;
  uint32_t display_width = 8;
  Measure measure = Measure::Unknown;
  Alignment alignment = Alignment::Right;
  WriteFormat print_format;
  size_t slot_offset = 0;  // first slot of the variable in the case row

  size_t slot_count() const {
    return n_segments < 2 ? segment_slots : (n_segments - 1) * segment_slots + last_segment_slots;
  }
};

struct SlotRecord {
  MissingValues missing_values;
  std::string name;
  std::optional<std::string> label;
  int32_t type_code = 0;
  bool is_continuation = false;
  WriteFormat print_format;
};

struct CaseLayout {
  std::vector<WriteVariable> variables;
  std::vector<SlotRecord> slots;
  OrderedMap<std::string, std::string> long_names;                // short name -> column name
  std::vector<std::pair<std::string, size_t>> very_long_strings;  // short name, width
  size_t total_slots = 0;
};

// Builds the layout of the columns of `schema` from completed, validated metadata.
Result<CaseLayout> build_case_layout(const arrow::Schema& schema, const SpssMetadata& metadata);

// The string width a format text declares: the digits after the type name up to the first
// "." ("A1000" gives 1000, "AHEX20" gives 20), or `fallback` when they do not form a number;
// 0 becomes 1.
size_t declared_string_width(std::string_view format_text, size_t fallback);

// Chooses unique short names of at most 8 upper-case bytes.
class ShortNames {
 public:
  // The short name of a column named `name`.
  Result<std::string> take(std::string_view name);
  // The name of segment `k` (1, 2, ...) of a very long string whose short name is `base`.
  std::string take_segment(const std::string& base, size_t k);

 private:
  bool claim(const std::string& candidate);
  std::unordered_set<std::string> taken_;
};

// Missing values of the variable's kind: numbers for a numeric variable, texts for a string one;
// a Write error names the variable otherwise.
Status check_missing_kinds(const std::string& name, bool is_string,
                           const std::vector<MissingSpec>& specs);

// Checks that `name` can be a variable name for SPSS and the tools that read its files;
// an error names the rule it breaks. `seen_upper` holds the upper-cased names already checked.
Status check_variable_name(const std::string& name, std::unordered_set<std::string>& seen_upper);

}  // namespace korvel
