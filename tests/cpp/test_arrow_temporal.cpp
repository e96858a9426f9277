// Seconds to Arrow dates, timestamps and durations.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "arrow/builders.hpp"
#include "arrow/temporal.hpp"
#include "arrow_test_util.hpp"

using namespace korvel::arrow;
using namespace korvel::arrow::testing;

// ---------------------------------------------------------------- temporal conversion

TEST(TemporalConversion, ArithmeticTruncationAndSaturation) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    TemporalKind kind;
    double x;
    int64_t want;
  } cases[] = {
      {TemporalKind::Date, 0.0, -141428},
      {TemporalKind::Date, 12219379200.0, 0},
      {TemporalKind::Date, 12219336000.0, 0},  // -0.5 days: toward zero, not -1
      {TemporalKind::Date, 12219292800.0, -1},
      {TemporalKind::Date, nan, 0},
      {TemporalKind::Date, inf, INT32_MAX},
      {TemporalKind::Date, -inf, INT32_MIN},
      {TemporalKind::Date, 1e300, INT32_MAX},
      {TemporalKind::Timestamp, 12219379200.5, 500000},
      {TemporalKind::Timestamp, 12219379199.0, -1000000},
      {TemporalKind::Timestamp, 0.0, -12219379200000000},
      {TemporalKind::Timestamp, inf, INT64_MAX},
      {TemporalKind::Timestamp, -inf, INT64_MIN},
      {TemporalKind::Timestamp, nan, 0},
      {TemporalKind::Duration, 3661.25, 3661250000},
      {TemporalKind::Duration, -1.0000005, -1000000},  // toward zero
      {TemporalKind::Duration, 1e19, INT64_MAX},
      {TemporalKind::Duration, -1e19, INT64_MIN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.kind)) + " " + std::to_string(c.x));
    Float64Builder b(kNullBits);
    ASSERT_TRUE(b.append(c.x).ok());
    ArrayRef a = take(convert_float64_to_temporal(*take(b.finish()), c.kind, kOriginDays));
    ASSERT_EQ(a->type, temporal_type(c.kind));
    ASSERT_EQ(a->length, 1);
    const int64_t got =
        c.kind == TemporalKind::Date ? a->values<int32_t>()[0] : a->values<int64_t>()[0];
    EXPECT_EQ(got, c.want);
  }
  EXPECT_EQ(temporal_type(TemporalKind::Date).id, TypeId::Date32);
  EXPECT_EQ(temporal_type(TemporalKind::Timestamp), DataType::timestamp(TimeUnit::Microsecond));
  EXPECT_EQ(temporal_type(TemporalKind::Duration), DataType::duration(TimeUnit::Microsecond));
}

TEST(TemporalConversion, NullsStayNullWithTheValidityBitmapShared) {
  Float64Builder b(kNullBits);
  ASSERT_TRUE(b.append(12219379200.5).ok());
  ASSERT_TRUE(b.append_null().ok());
  ASSERT_TRUE(b.append(12219379201.0).ok());
  ArrayRef f = take(b.finish());
  for (TemporalKind k : {TemporalKind::Date, TemporalKind::Timestamp, TemporalKind::Duration}) {
    ArrayRef t = take(convert_float64_to_temporal(*f, k, kOriginDays));
    EXPECT_EQ(t->buffers[0], f->buffers[0]);  // the same block, not a copy
    EXPECT_EQ(t->null_count, 1);
    EXPECT_FALSE(t->is_null(0));
    EXPECT_TRUE(t->is_null(1));
    EXPECT_FALSE(t->is_null(2));
    EXPECT_TRUE(aligned_and_padded(*t->buffers[1]));
  }
  EXPECT_EQ(take(convert_float64_to_temporal(*f, TemporalKind::Timestamp, kOriginDays))
                ->values<int64_t>()[2],
            1000000);
}

TEST(TemporalConversion, NonFloat64InputIsAnError) {
  StringViewBuilder s;
  ArrayRef strings = take(s.finish());
  auto r =
      korvel::from_arrow(convert_float64_to_temporal(*strings, TemporalKind::Date, kOriginDays));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "arrow error: temporal column should be Float64Array");
}

// The origin of the input is the caller's: with the Unix epoch itself as origin, seconds map
// straight to days and microseconds.
TEST(TemporalConversion, TheOriginIsTheCallers) {
  Float64Builder b(kNullBits);
  ASSERT_TRUE(b.append(86400.0 * 3 + 1.5).ok());
  ArrayRef f = take(b.finish());
  EXPECT_EQ(take(convert_float64_to_temporal(*f, TemporalKind::Date, 0))->values<int32_t>()[0], 3);
  EXPECT_EQ(take(convert_float64_to_temporal(*f, TemporalKind::Timestamp, 0))->values<int64_t>()[0],
            259201500000);
  EXPECT_EQ(take(convert_float64_to_temporal(*f, TemporalKind::Timestamp, 1))->values<int64_t>()[0],
            172801500000);
  EXPECT_EQ(take(convert_float64_to_temporal(*f, TemporalKind::Duration, 1))->values<int64_t>()[0],
            259201500000);
}
