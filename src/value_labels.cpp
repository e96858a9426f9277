#include "value_labels.hpp"

#include <cstring>
#include <string>

#include "sav_format.hpp"

namespace korvel {

namespace {
// Each label takes at least 16 bytes: 8 value bytes, the length byte and 7 of padding.
constexpr uint64_t kMinLabelBytes = 2 * sav::kSlotBytes;
}  // namespace

Result<ValueLabelSet> read_value_label_set(SavReader& reader) {
  ValueLabelSet set;
  KORVEL_ASSIGN_OR_RETURN(size_t k, reader.read_count(kMinLabelBytes, [](int32_t count) {
    return SpssError::invalid_value_label("negative label count " + std::to_string(count) +
                                          " in type 3 record");
  }));
  set.labels.reserve(k);
  for (size_t i = 0; i < k; ++i) {
    uint8_t head[sav::kSlotBytes + 1];
    KORVEL_TRY(reader.read_exact(head, sizeof head));
    RawValue value;
    std::memcpy(value.data(), head, sav::kSlotBytes);
    uint8_t m = head[sav::kSlotBytes];
    // The length byte and the label together fill whole slots.
    size_t padded = sav::slots_for_bytes(static_cast<size_t>(m) + 1) * sav::kSlotBytes - 1;
    KORVEL_ASSIGN_OR_RETURN(std::vector<uint8_t> label, reader.read_bytes(padded));
    label.resize(m);
    set.labels.emplace_back(value, std::move(label));
  }

  KORVEL_ASSIGN_OR_RETURN(int32_t next, reader.read_i32());
  if (next != sav::kRecordValueLabelVars) {
    return SpssError::invalid_value_label("expected type 4 record after type 3, got type " +
                                          std::to_string(next));
  }
  KORVEL_ASSIGN_OR_RETURN(size_t c, reader.read_count(sizeof(int32_t), [](int32_t count) {
    return SpssError::invalid_value_label("negative variable count " + std::to_string(count) +
                                          " in type 4 record");
  }));
  if (c == 0) return SpssError::invalid_value_label("type 4 record with 0 variables");
  set.variable_indices.reserve(c);
  for (size_t i = 0; i < c; ++i) {
    KORVEL_ASSIGN_OR_RETURN(int32_t index, reader.read_i32());
    if (index < 1) {
      return SpssError::invalid_value_label("invalid variable index " + std::to_string(index) +
                                            " in type 4 record");
    }
    set.variable_indices.push_back(static_cast<size_t>(index) - 1);
  }
  return set;
}

}  // namespace korvel
