// Type-3 value-label records and the type-4 record naming the variables they apply to.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "error.hpp"
#include "io_utils.hpp"

namespace korvel {

// A value's 8 bytes exactly as stored; whether they are a number or text depends on the
// variables the set applies to.
using RawValue = std::array<uint8_t, 8>;

struct ValueLabelSet {
  std::vector<std::pair<RawValue, std::vector<uint8_t>>> labels;  // label bytes raw
  std::vector<size_t> variable_indices;                           // 0-based slot indices
};

// Reads a type-3 record whose record type has just been read, and the type-4 record that must
// follow it.
Result<ValueLabelSet> read_value_label_set(SavReader& reader);

}  // namespace korvel
