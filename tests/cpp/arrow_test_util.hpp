// Helpers shared by the tests of the Arrow layer's modules.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "arrow/array.hpp"
#include "arrow/status.hpp"
#include "arrow/types.hpp"
#include "arrow_errors.hpp"

namespace korvel::arrow::testing {

// The value of a result that must be a success.
template <typename T>
inline T take(korvel::arrow::Result<T> r) {
  EXPECT_TRUE(r.ok()) << r.error().message();
  return std::move(r).value();
}
template <typename T>
inline T take(korvel::Result<T> r) {
  EXPECT_TRUE(r.ok()) << r.error().message();
  return std::move(r).value();
}

// The bit pattern the tests' Float64 builders take for a null (SPSS's system-missing value, as
// the reader passes it; any pattern would do).
inline constexpr uint64_t kNullBits = 0xFFEFFFFFFFFFFFFFull;
// An origin of times 141428 days before 1970-01-01 (1582-10-14, as SPSS's).
inline constexpr int64_t kOriginDays = 141428;

inline uint64_t bits_of(double d) {
  return std::bit_cast<uint64_t>(d);
}
inline double from_bits(uint64_t b) {
  return std::bit_cast<double>(b);
}

inline bool aligned_and_padded(const Buffer& b) {
  return reinterpret_cast<uintptr_t>(b.data()) % 64 == 0 && b.capacity() % 64 == 0 &&
         b.capacity() >= b.size();
}

inline std::shared_ptr<const Schema> schema_of(std::vector<Field> fields) {
  return std::make_shared<const Schema>(Schema{std::move(fields)});
}

// Expected content of a nullable double column.
struct Expected {
  std::vector<double> values;
  std::vector<bool> valid;
};

inline void expect_float64(const ArrayData& a, const Expected& e) {
  ASSERT_EQ(a.type.id, TypeId::Float64);
  ASSERT_EQ(a.length, static_cast<int64_t>(e.values.size()));
  int64_t nulls = 0;
  for (size_t i = 0; i < e.values.size(); ++i) {
    nulls += !e.valid[i];
    ASSERT_EQ(a.is_null(static_cast<int64_t>(i)), !e.valid[i]) << "at " << i;
    const double want = e.valid[i] ? e.values[i] : 0.0;
    ASSERT_EQ(bits_of(a.values<double>()[i]), bits_of(want)) << "at " << i;
  }
  EXPECT_EQ(a.null_count, nulls);
  EXPECT_EQ(a.buffers[0] == nullptr, nulls == 0);
}

}  // namespace korvel::arrow::testing
