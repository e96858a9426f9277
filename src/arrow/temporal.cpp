#include "arrow/temporal.hpp"

#include <cstring>

namespace korvel::arrow {

DataType temporal_type(TemporalKind kind) {
  switch (kind) {
    case TemporalKind::Date:
      return TypeId::Date32;
    case TemporalKind::Timestamp:
      return DataType::timestamp(TimeUnit::Microsecond);
    case TemporalKind::Duration:
      return DataType::duration(TimeUnit::Microsecond);
  }
  return TypeId::Null;
}

namespace {

// Truncation toward zero with saturation; the bounds are exact in binary64.
inline int32_t saturate_i32(double d) {
  if (d != d) return 0;
  if (d >= 2147483648.0) return INT32_MAX;
  if (d <= -2147483649.0) return INT32_MIN;
  return static_cast<int32_t>(d);
}

inline int64_t saturate_i64(double d) {
  if (d != d) return 0;
  if (d >= 9223372036854775808.0) return INT64_MAX;
  if (d < -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(d);
}

}  // namespace

Result<ArrayRef> convert_float64_to_temporal(const ArrayData& f64, TemporalKind kind,
                                             int64_t origin_days) {
  if (f64.type.id != TypeId::Float64 || f64.buffers.size() < 2 || !f64.buffers[1])
    return Error(ErrorCode::Invalid, "temporal column should be Float64Array");
  // Positions keep the input's offset, so that the shared bitmap lines up.
  const size_t n = static_cast<size_t>(f64.offset + f64.length);
  const double* x = f64.buffers[1]->as<double>();
  const size_t width = kind == TemporalKind::Date ? 4 : 8;
  ARROW_ASSIGN_OR_RETURN(BufferPtr out, Buffer::allocate(n * width));
  const size_t lo = static_cast<size_t>(f64.offset);
  std::memset(out->mutable_data(), 0, lo * width);
  switch (kind) {
    case TemporalKind::Date: {
      int32_t* o = out->mutable_as<int32_t>();
      const double shift = double(origin_days);
      for (size_t i = lo; i < n; ++i) o[i] = saturate_i32(x[i] / double(kSecondsPerDay) - shift);
      break;
    }
    case TemporalKind::Timestamp: {
      int64_t* o = out->mutable_as<int64_t>();
      const double shift = double(origin_days * kSecondsPerDay);
      for (size_t i = lo; i < n; ++i)
        o[i] = saturate_i64((x[i] - shift) * double(kMicrosPerSecond));
      break;
    }
    case TemporalKind::Duration: {
      int64_t* o = out->mutable_as<int64_t>();
      for (size_t i = lo; i < n; ++i) o[i] = saturate_i64(x[i] * double(kMicrosPerSecond));
      break;
    }
  }
  auto a = std::make_shared<ArrayData>();
  a->type = temporal_type(kind);
  a->length = f64.length;
  a->null_count = f64.null_count;
  a->offset = f64.offset;
  a->buffers = {f64.buffers[0], std::move(out)};
  return ArrayRef(std::move(a));
}

}  // namespace korvel::arrow
