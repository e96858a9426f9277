// The Float64 and string-view builders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "arrow/builders.hpp"
#include "arrow_test_util.hpp"

using namespace korvel::arrow;
using namespace korvel::arrow::testing;

TEST(Float64Builder, NoNullsMeansNoValidityBuffer) {
  Float64Builder b(kNullBits);
  ASSERT_TRUE(b.reserve(3).ok());
  for (double v : {1.5, std::nan(""), -0.0}) ASSERT_TRUE(b.append(v).ok());
  ArrayRef a = take(b.finish());
  expect_float64(*a, {{1.5, std::nan(""), -0.0}, {true, true, true}});
  ASSERT_EQ(a->buffers.size(), 2u);
  EXPECT_TRUE(aligned_and_padded(*a->buffers[1]));
  EXPECT_EQ(a->buffers[1]->size(), 24u);
  // The builder starts over after finishing.
  EXPECT_EQ(b.length(), 0);
  ASSERT_TRUE(b.append(2.0).ok());
  expect_float64(*take(b.finish()), {{2.0}, {true}});
}

// The first null may arrive at any bit position, through either append path; earlier entries
// must read as valid and later ones as given.
TEST(Float64Builder, ValidityCreatedAtFirstNullWithEarlierEntriesValid) {
  for (size_t first_null : {0u, 1u, 7u, 8u, 9u, 63u, 64u, 65u, 200u}) {
    for (bool bulk : {false, true}) {
      SCOPED_TRACE("first null " + std::to_string(first_null) + (bulk ? " bulk" : " single"));
      const size_t n = first_null + 150;
      Expected e;
      std::vector<uint64_t> slots;
      for (size_t i = 0; i < n; ++i) {
        const bool valid = i != first_null && !(i > first_null && i % 3 == 0);
        e.values.push_back(static_cast<double>(i) + 0.25);
        e.valid.push_back(valid);
        slots.push_back(valid ? bits_of(e.values.back()) : kNullBits);
      }
      Float64Builder b(kNullBits);
      if (bulk) {
        ASSERT_TRUE(b.append_slots(reinterpret_cast<const uint8_t*>(slots.data()), n, 8).ok());
      } else {
        for (size_t i = 0; i < n; ++i)
          ASSERT_TRUE((e.valid[i] ? b.append(e.values[i]) : b.append_null()).ok());
      }
      EXPECT_EQ(b.null_count(), std::count(e.valid.begin(), e.valid.end(), false));
      ArrayRef a = take(b.finish());
      expect_float64(*a, e);
      ASSERT_NE(a->buffers[0], nullptr);
      EXPECT_TRUE(aligned_and_padded(*a->buffers[0]));
      EXPECT_EQ(a->buffers[0]->size(), (n + 7) / 8);
      // No stray bits past the end.
      const uint8_t last = a->buffers[0]->data()[(n - 1) / 8];
      if (n % 8) {
        EXPECT_EQ(last >> (n % 8), 0);
      }
    }
  }
}

// Strided slots with mixed single appends in between, against a plain reference.
TEST(Float64Builder, StridedSlotsMatchSingleAppends) {
  std::mt19937_64 rng(42);
  for (size_t stride_slots : {1u, 3u, 17u}) {
    SCOPED_TRACE("stride " + std::to_string(stride_slots));
    const size_t rows = 1000;
    std::vector<uint64_t> chunk(rows * stride_slots, 0x2020202020202020ull);
    Expected e;
    Float64Builder b(kNullBits);
    ASSERT_TRUE(b.append(-1.0).ok());  // bulk appends start at an odd bit position
    e.values.push_back(-1.0);
    e.valid.push_back(true);
    for (size_t r = 0; r < rows; ++r) {
      uint64_t bits;
      switch (rng() % 8) {
        case 0:
          bits = kNullBits;
          break;
        case 1:
          bits = bits_of(std::numeric_limits<double>::quiet_NaN());
          break;
        case 2:
          bits = bits_of(99.0);
          break;  // a user-missing code stays a value
        case 3:
          bits = bits_of(-std::numeric_limits<double>::max());
          break;
        default:
          bits = bits_of(static_cast<double>(rng() % 100000) / 7.0);
      }
      chunk[r * stride_slots + (stride_slots > 1 ? 1 : 0)] = bits;
      e.values.push_back(from_bits(bits));
      e.valid.push_back(bits != kNullBits);
    }
    // Read slot 1 of every row (slot 0 when rows are one slot wide), in uneven pieces.
    const uint8_t* base =
        reinterpret_cast<const uint8_t*>(chunk.data()) + (stride_slots > 1 ? 8 : 0);
    size_t done = 0;
    for (size_t piece : {5u, 64u, 1u, 200u, 730u}) {
      ASSERT_TRUE(b.append_slots(base + done * stride_slots * 8, piece, stride_slots * 8).ok());
      done += piece;
    }
    ASSERT_EQ(done, rows);
    ASSERT_TRUE(b.append(3.0).ok());
    ASSERT_TRUE(b.append_null().ok());
    e.values.push_back(3.0);
    e.valid.push_back(true);
    e.values.push_back(0.0);
    e.valid.push_back(false);
    expect_float64(*take(b.finish()), e);
  }
}

TEST(Float64Builder, EmptyArrayStillHasValuesBuffer) {
  Float64Builder b(kNullBits);
  ASSERT_TRUE(b.append_slots(nullptr, 0, 8).ok());
  ArrayRef a = take(b.finish());
  EXPECT_EQ(a->length, 0);
  ASSERT_EQ(a->buffers.size(), 2u);
  EXPECT_EQ(a->buffers[0], nullptr);
  ASSERT_NE(a->buffers[1], nullptr);
  EXPECT_TRUE(aligned_and_padded(*a->buffers[1]));
}

// ---------------------------------------------------------------- StringViewBuilder

TEST(StringViewBuilder, InlineUpToTwelveBytesOutOfLineBeyond) {
  StringViewBuilder b;
  const std::vector<std::string> values = {
      "", "a", "exactly12byt", "thirteen byte", "  lead", std::string(300, 'x') + "end"};
  for (const auto& v : values) ASSERT_TRUE(b.append(v).ok());
  ArrayRef a = take(b.finish());
  ASSERT_EQ(a->type.id, TypeId::Utf8View);
  ASSERT_EQ(a->length, 6);
  EXPECT_EQ(a->null_count, 0);
  ASSERT_EQ(a->buffers.size(), 3u);  // validity (none), views, one data block
  EXPECT_EQ(a->buffers[0], nullptr);
  const View* v = a->buffers[1]->as<View>();
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(a->binary_value(static_cast<int64_t>(i)), values[i]);
    EXPECT_EQ(v[i].length, static_cast<int32_t>(values[i].size()));
  }
  // Inline: bytes in the view, zero padded.
  EXPECT_EQ(std::memcmp(v[2].inlined, "exactly12byt", 12), 0);
  EXPECT_EQ(v[1].inlined[1], 0);
  // Out of line: prefix, block 0, consecutive offsets; only long values fill the block.
  EXPECT_EQ(std::memcmp(v[3].ref.prefix, "thir", 4), 0);
  EXPECT_EQ(v[3].ref.buffer_index, 0);
  EXPECT_EQ(v[3].ref.offset, 0);
  EXPECT_EQ(v[5].ref.offset, 13);
  EXPECT_EQ(a->buffers[2]->size(), 13u + 303u);
  EXPECT_TRUE(aligned_and_padded(*a->buffers[1]));
  EXPECT_TRUE(aligned_and_padded(*a->buffers[2]));
}

TEST(StringViewBuilder, DeduplicationSharesStoredBytes) {
  const std::string longv = "a value longer than twelve bytes";
  const std::string other = "another long value, different";
  for (bool dedup : {false, true}) {
    SCOPED_TRACE(dedup ? "dedup" : "plain");
    StringViewBuilder b(dedup);
    for (const auto& s : {longv, other, longv, std::string("short"), std::string("short"), longv})
      ASSERT_TRUE(b.append(s).ok());
    ArrayRef a = take(b.finish());
    const View* v = a->buffers[1]->as<View>();
    EXPECT_EQ(a->binary_value(2), longv);
    EXPECT_EQ(a->binary_value(5), longv);
    EXPECT_EQ(a->binary_value(1), other);
    const size_t stored = a->buffers[2]->size();
    if (dedup) {
      EXPECT_EQ(stored, longv.size() + other.size());
      EXPECT_EQ(v[2].ref.offset, v[0].ref.offset);
      EXPECT_EQ(v[5].ref.offset, v[0].ref.offset);
      EXPECT_EQ(v[5].ref.buffer_index, v[0].ref.buffer_index);
    } else {
      EXPECT_EQ(stored, 3 * longv.size() + other.size());
      EXPECT_NE(v[2].ref.offset, v[0].ref.offset);
    }
  }
  // Deduplication spans one array only.
  StringViewBuilder b(true);
  ASSERT_TRUE(b.append(longv).ok());
  (void)take(b.finish());
  ASSERT_TRUE(b.append(longv).ok());
  ArrayRef second = take(b.finish());
  EXPECT_EQ(second->binary_value(0), longv);
  EXPECT_EQ(second->buffers.size(), 3u);
}

TEST(StringViewBuilder, BlocksGrowByDoublingUpToCapAndNeverSplitValues) {
  StringViewBuilder b;
  const std::string value(1000, 'q');
  const size_t n = 12000;  // about 12 MB of data
  for (size_t i = 0; i < n; ++i) {
    std::string s = value;
    std::memcpy(s.data(), &i, sizeof i);
    ASSERT_TRUE(b.append(s).ok());
  }
  const std::string huge(StringViewBuilder::kMaxBlockSize + 100, 'h');
  ASSERT_TRUE(b.append(huge).ok());
  ArrayRef a = take(b.finish());
  const size_t blocks = a->buffers.size() - 2;
  ASSERT_GE(blocks, 8u);
  size_t expect_cap = StringViewBuilder::kFirstBlockSize;
  for (size_t k = 0; k + 1 < blocks; ++k) {
    const Buffer& blk = *a->buffers[2 + k];
    EXPECT_EQ(blk.capacity(), expect_cap) << "block " << k;
    EXPECT_LE(blk.size(), blk.capacity());
    if (k + 2 < blocks) {  // the block before the huge value was closed by it
      EXPECT_GT(blk.size() + value.size(), blk.capacity()) << "block " << k << " closed early";
    }
    expect_cap = std::min(expect_cap * 2, StringViewBuilder::kMaxBlockSize);
  }
  EXPECT_GE(a->buffers[2 + blocks - 1]->size(), huge.size());
  const View* v = a->buffers[1]->as<View>();
  for (size_t i = 0; i < n; ++i) {
    const View& e = v[i];
    ASSERT_LE(static_cast<size_t>(e.ref.offset) + 1000, a->buffers[2 + e.ref.buffer_index]->size());
    std::string want = value;
    std::memcpy(want.data(), &i, sizeof i);
    ASSERT_EQ(a->binary_value(static_cast<int64_t>(i)), want);
  }
  EXPECT_EQ(a->binary_value(static_cast<int64_t>(n)), huge);
}

// The builder knows no sentinel of its own: the caller's pattern is the null, and any other
// pattern (the tests' usual kNullBits included) is a value.
TEST(Float64Builder, TheNullIsTheCallersPattern) {
  const uint64_t null_bits = bits_of(-1.0);
  const std::vector<uint64_t> slots = {bits_of(2.0), null_bits, kNullBits, null_bits};
  Float64Builder b(null_bits);
  ASSERT_TRUE(b.append_slots(reinterpret_cast<const uint8_t*>(slots.data()), 4, 8).ok());
  expect_float64(*take(b.finish()),
                 {{2.0, 0.0, from_bits(kNullBits), 0.0}, {true, false, true, false}});
  // Finishing keeps the pattern for the next array.
  ASSERT_TRUE(b.append_slots(reinterpret_cast<const uint8_t*>(slots.data()), 2, 8).ok());
  expect_float64(*take(b.finish()), {{2.0, 0.0}, {true, false}});
}
