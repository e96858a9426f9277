// The metadata model: one description of a data set, shared by reading, writing and the
// Python layer. A plain value type; copies are deep.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "constants.hpp"
#include "ordered_map.hpp"

namespace korvel {

// The key of a value label: a number (compared by bit pattern) or a string.
class Value {
 public:
  Value() = default;
  static Value number(double d) { return Value(std::variant<double, std::string>(d)); }
  static Value string(std::string s) {
    return Value(std::variant<double, std::string>(std::move(s)));
  }

  bool is_number() const { return v_.index() == 0; }
  bool is_string() const { return v_.index() == 1; }
  double as_number() const { return std::get<0>(v_); }
  const std::string& as_string() const { return std::get<1>(v_); }

  bool operator==(const Value& o) const {
    if (v_.index() != o.v_.index()) return false;
    if (is_number())
      return std::bit_cast<uint64_t>(as_number()) == std::bit_cast<uint64_t>(o.as_number());
    return as_string() == o.as_string();
  }

 private:
  explicit Value(std::variant<double, std::string> v) : v_(std::move(v)) {}
  std::variant<double, std::string> v_{0.0};
};

struct ValueHash {
  size_t operator()(const Value& v) const {
    if (v.is_number()) return std::hash<uint64_t>()(std::bit_cast<uint64_t>(v.as_number()));
    return std::hash<std::string>()(v.as_string()) ^ 0x9e3779b97f4a7c15ULL;
  }
};

// One entry of a variable's user-missing list.
struct MissingSpec {
  enum class Kind : uint8_t { Discrete, Range, DiscreteString };
  Kind kind = Kind::Discrete;
  double value = 0.0;  // Discrete; Range: low
  double high = 0.0;   // Range only
  std::string text;    // DiscreteString only

  static MissingSpec discrete(double v) { return {Kind::Discrete, v, 0.0, {}}; }
  static MissingSpec range(double lo, double hi) { return {Kind::Range, lo, hi, {}}; }
  static MissingSpec discrete_string(std::string s) {
    return {Kind::DiscreteString, 0.0, 0.0, std::move(s)};
  }
  bool operator==(const MissingSpec& o) const {
    if (kind != o.kind) return false;
    switch (kind) {
      case Kind::Discrete:
        return std::bit_cast<uint64_t>(value) == std::bit_cast<uint64_t>(o.value);
      case Kind::Range:
        return std::bit_cast<uint64_t>(value) == std::bit_cast<uint64_t>(o.value) &&
               std::bit_cast<uint64_t>(high) == std::bit_cast<uint64_t>(o.high);
      case Kind::DiscreteString:
        return text == o.text;
    }
    return false;
  }
};

struct MrSet {
  std::string name;
  std::string label;
  MrType mr_type = MrType::Category;
  std::optional<std::string> counted_value;
  std::vector<std::string> variables;
  bool operator==(const MrSet&) const = default;
};

using ValueLabels = OrderedMap<Value, std::string, ValueHash>;
template <typename V>
using VarMap = OrderedMap<std::string, V>;

struct SpssMetadata {
  std::string file_label;
  std::string file_format = "sav";
  std::string file_encoding = "UTF-8";
  std::string creation_time;
  Compression compression = Compression::Uncompressed;
  size_t number_columns = 0;
  std::optional<int64_t> number_rows;
  std::optional<std::string> weight_variable;
  std::vector<std::string> notes;
  std::vector<std::string> variable_names;

  VarMap<std::string> variable_labels;
  VarMap<ValueLabels> variable_value_labels;
  VarMap<std::string> variable_formats;
  VarMap<Measure> variable_measures;
  VarMap<Alignment> variable_alignments;
  VarMap<size_t> variable_storage_widths;
  VarMap<uint32_t> variable_display_widths;
  VarMap<Role> variable_roles;
  VarMap<std::vector<MissingSpec>> variable_missing_values;
  VarMap<OrderedMap<std::string, std::vector<std::string>>> variable_attributes;
  VarMap<MrSet> mr_sets;
  VarMap<std::string> arrow_data_types;

  bool operator==(const SpssMetadata&) const = default;
};

}  // namespace korvel
