// Times counted in seconds (as doubles) to Arrow dates, timestamps and durations.
#pragma once

#include <cstdint>

#include "arrow/array.hpp"
#include "arrow/status.hpp"

namespace korvel::arrow {

inline constexpr int64_t kSecondsPerDay = 86400;
inline constexpr int64_t kMicrosPerSecond = 1000000;

// Input seconds x count from an origin `origin_days` days before 1970-01-01 00:00:00.
enum class TemporalKind : uint8_t {
  Date,       // Date32: x / 86400 - origin_days
  Timestamp,  // Timestamp(us), no time zone: (x - origin_days * 86400) * 1e6
  Duration,   // Duration(us): x * 1e6 (the origin plays no part)
};

DataType temporal_type(TemporalKind kind);

// Converts every element of a Float64 array of seconds in binary64 arithmetic, in the order
// written above, then truncates toward zero with saturation (NaN gives 0). The result shares the
// input's validity bitmap.
Result<ArrayRef> convert_float64_to_temporal(const ArrayData& f64, TemporalKind kind,
                                             int64_t origin_days);

}  // namespace korvel::arrow
