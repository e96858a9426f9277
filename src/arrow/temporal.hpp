// SPSS time values (seconds, as doubles) to Arrow dates, timestamps and durations.
#pragma once

#include <cstdint>

#include "arrow/array.hpp"
#include "error.hpp"

namespace korvel::arrow {

// Days and seconds from the SPSS origin, 1582-10-14 00:00:00, to 1970-01-01 00:00:00.
inline constexpr int64_t kSpssEpochDays = 141428;
inline constexpr int64_t kSpssEpochSeconds = 12219379200;
inline constexpr int64_t kSecondsPerDay = 86400;
inline constexpr int64_t kMicrosPerSecond = 1000000;

enum class TemporalKind : uint8_t {
  Date,       // Date32: x / 86400 - 141428 days
  Timestamp,  // Timestamp(us), no time zone: (x - 12219379200) * 1e6
  Duration,   // Duration(us): x * 1e6
};

DataType temporal_type(TemporalKind kind);

// Converts every element in binary64 arithmetic, then truncates toward zero with saturation
// (NaN gives 0). The result shares the input's validity bitmap.
Result<ArrayRef> convert_float64_to_temporal(const ArrayData& f64, TemporalKind kind);

}  // namespace korvel::arrow
