#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "arrow/builders.hpp"
#include "arrow/export.hpp"
#include "arrow/import.hpp"
#include "arrow/record_batch.hpp"
#include "arrow/temporal.hpp"
#include "arrow/types.hpp"

using namespace korvel::arrow;
using korvel::SpssError;

namespace {

template <typename T>
T take(korvel::Result<T> r) {
  EXPECT_TRUE(r.ok()) << r.error().message();
  return std::move(r).value();
}

uint64_t bits_of(double d) {
  uint64_t b;
  std::memcpy(&b, &d, 8);
  return b;
}

double from_bits(uint64_t b) {
  double d;
  std::memcpy(&d, &b, 8);
  return d;
}

bool aligned_and_padded(const Buffer& b) {
  return reinterpret_cast<uintptr_t>(b.data()) % 64 == 0 && b.capacity() % 64 == 0 &&
         b.capacity() >= b.size();
}

std::shared_ptr<const Schema> schema_of(std::vector<Field> fields) {
  return std::make_shared<const Schema>(Schema{std::move(fields)});
}

// Expected content of a nullable double column.
struct Expected {
  std::vector<double> values;
  std::vector<bool> valid;
};

void expect_float64(const ArrayData& a, const Expected& e) {
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

}  // namespace

// ---------------------------------------------------------------- types

TEST(ArrowTypes, FormatStringsRoundTripAndDisplay) {
  struct Case {
    const char* format;
    TypeId id;
    const char* display;
  } cases[] = {
      {"g", TypeId::Float64, "Float64"},
      {"f", TypeId::Float32, "Float32"},
      {"e", TypeId::Float16, "Float16"},
      {"b", TypeId::Boolean, "Boolean"},
      {"c", TypeId::Int8, "Int8"},
      {"s", TypeId::Int16, "Int16"},
      {"i", TypeId::Int32, "Int32"},
      {"l", TypeId::Int64, "Int64"},
      {"C", TypeId::UInt8, "UInt8"},
      {"S", TypeId::UInt16, "UInt16"},
      {"I", TypeId::UInt32, "UInt32"},
      {"L", TypeId::UInt64, "UInt64"},
      {"u", TypeId::Utf8, "Utf8"},
      {"U", TypeId::LargeUtf8, "LargeUtf8"},
      {"vu", TypeId::Utf8View, "Utf8View"},
      {"z", TypeId::Binary, "Binary"},
      {"vz", TypeId::BinaryView, "BinaryView"},
      {"n", TypeId::Null, "Null"},
      {"tdD", TypeId::Date32, "Date32"},
      {"tdm", TypeId::Date64, "Date64"},
      {"tsu:", TypeId::Timestamp, "Timestamp(Microsecond, None)"},
      {"tsn:Europe/Paris", TypeId::Timestamp, "Timestamp(Nanosecond, Some(\"Europe/Paris\"))"},
      {"tss:UTC", TypeId::Timestamp, "Timestamp(Second, Some(\"UTC\"))"},
      {"tDu", TypeId::Duration, "Duration(Microsecond)"},
      {"tDm", TypeId::Duration, "Duration(Millisecond)"},
      {"tts", TypeId::Time32, "Time32(Second)"},
      {"ttm", TypeId::Time32, "Time32(Millisecond)"},
      {"ttu", TypeId::Time64, "Time64(Microsecond)"},
      {"ttn", TypeId::Time64, "Time64(Nanosecond)"},
      {"+l", TypeId::Other, "List"},
      {"+s", TypeId::Other, "Struct"},
      {"d:10,2", TypeId::Other, "Decimal"},
      {"w:16", TypeId::Other, "FixedSizeBinary"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    DataType t = take(parse_format(c.format));
    EXPECT_EQ(t.id, c.id);
    EXPECT_EQ(format_string(t), c.format);
    EXPECT_EQ(to_string(t), c.display);
  }
  EXPECT_EQ(take(parse_format("tsu:")), DataType::timestamp(TimeUnit::Microsecond));
  EXPECT_FALSE(take(parse_format("tsu:UTC")) == DataType::timestamp(TimeUnit::Microsecond));
  for (const char* bad : {"", "x", "gg", "ts", "tsx:", "tDx", "tsu", "t"}) {
    auto r = parse_format(bad);
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_EQ(r.error().kind(), SpssError::Kind::Arrow);
  }
}

// ---------------------------------------------------------------- Float64Builder

TEST(Float64Builder, NoNullsMeansNoValidityBuffer) {
  Float64Builder b;
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
        slots.push_back(valid ? bits_of(e.values.back()) : kSysmisBits);
      }
      Float64Builder b;
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
    Float64Builder b;
    ASSERT_TRUE(b.append(-1.0).ok());  // bulk appends start at an odd bit position
    e.values.push_back(-1.0);
    e.valid.push_back(true);
    for (size_t r = 0; r < rows; ++r) {
      uint64_t bits;
      switch (rng() % 8) {
        case 0:
          bits = kSysmisBits;
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
      e.valid.push_back(bits != kSysmisBits);
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
  Float64Builder b;
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
    Float64Builder b;
    ASSERT_TRUE(b.append(c.x).ok());
    ArrayRef a = take(convert_float64_to_temporal(*take(b.finish()), c.kind));
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
  Float64Builder b;
  ASSERT_TRUE(b.append(12219379200.5).ok());
  ASSERT_TRUE(b.append_null().ok());
  ASSERT_TRUE(b.append(12219379201.0).ok());
  ArrayRef f = take(b.finish());
  for (TemporalKind k : {TemporalKind::Date, TemporalKind::Timestamp, TemporalKind::Duration}) {
    ArrayRef t = take(convert_float64_to_temporal(*f, k));
    EXPECT_EQ(t->buffers[0], f->buffers[0]);  // the same block, not a copy
    EXPECT_EQ(t->null_count, 1);
    EXPECT_FALSE(t->is_null(0));
    EXPECT_TRUE(t->is_null(1));
    EXPECT_FALSE(t->is_null(2));
    EXPECT_TRUE(aligned_and_padded(*t->buffers[1]));
  }
  EXPECT_EQ(take(convert_float64_to_temporal(*f, TemporalKind::Timestamp))->values<int64_t>()[2],
            1000000);
}

TEST(TemporalConversion, NonFloat64InputIsAnError) {
  StringViewBuilder s;
  ArrayRef strings = take(s.finish());
  auto r = convert_float64_to_temporal(*strings, TemporalKind::Date);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "arrow error: temporal column should be Float64Array");
}

// ---------------------------------------------------------------- record batches

TEST(RecordBatch, ChecksAgainstTheSchema) {
  Float64Builder fb;
  ASSERT_TRUE(fb.append(1.0).ok());
  ASSERT_TRUE(fb.append_null().ok());
  ArrayRef two_nums = take(fb.finish());
  StringViewBuilder sb;
  ASSERT_TRUE(sb.append("x").ok());
  ASSERT_TRUE(sb.append("y").ok());
  ArrayRef two_strs = take(sb.finish());
  ASSERT_TRUE(fb.append(1.0).ok());
  ArrayRef one_num = take(fb.finish());

  auto num_str = schema_of({{"n", TypeId::Float64, true}, {"s", TypeId::Utf8View, true}});
  auto ok = make_record_batch(num_str, {two_nums, two_strs});
  ASSERT_TRUE(ok.ok()) << ok.error().message();
  EXPECT_EQ(ok->num_rows, 2);
  EXPECT_EQ(ok->num_columns(), 2);

  struct Case {
    const char* what;
    std::shared_ptr<const Schema> schema;
    std::vector<ArrayRef> columns;
    const char* message;
  } cases[] = {
      {"no columns",
       schema_of({}),
       {},
       "arrow error: Invalid argument error: must either specify a row count or at least one "
       "column"},
      {"column count",
       num_str,
       {two_nums},
       "arrow error: Invalid argument error: number of columns(1) must match number of "
       "fields(2) in schema"},
      {"types",
       num_str,
       {two_strs, two_nums},
       "arrow error: Invalid argument error: column types must match schema types, expected "
       "Float64 but found Utf8View at column index 0"},
      {"lengths",
       num_str,
       {one_num, two_strs},
       "arrow error: Invalid argument error: all columns in a record batch must have the same "
       "length"},
      {"non-nullable",
       schema_of({{"n", TypeId::Float64, false}}),
       {two_nums},
       "arrow error: Invalid argument error: Column 'n' is declared as non-nullable but "
       "contains null values"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = make_record_batch(c.schema, c.columns);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), SpssError::Kind::Arrow);
    EXPECT_EQ(r.error().message(), c.message);
  }
  // A zero-column batch is possible with an explicit row count.
  EXPECT_EQ(take(make_record_batch(schema_of({}), {}, 7)).num_rows, 7);
  RecordBatch empty = make_empty_record_batch(num_str);
  EXPECT_EQ(empty.num_rows, 0);
  ASSERT_EQ(empty.columns.size(), 2u);
  EXPECT_EQ(empty.columns[1]->type.id, TypeId::Utf8View);
}

// ---------------------------------------------------------------- export and import

namespace {

int g_array_releases = 0;
void (*g_original_array_release)(ArrowArray*) = nullptr;
void counting_array_release(ArrowArray* a) {
  ++g_array_releases;
  a->release = g_original_array_release;
  a->release(a);
}

// A batch of every column kind the reader produces, including nulls, inline, long and
// deduplicated strings.
RecordBatch sample_batch() {
  Float64Builder f;
  for (double v : {1.0, 2.5, -3.0}) EXPECT_TRUE(f.append(v).ok());
  EXPECT_TRUE(f.append_null().ok());
  ArrayRef nums = take(f.finish());
  StringViewBuilder s(true);
  for (const char* v : {"short", "a rather long string value", "", "a rather long string value"})
    EXPECT_TRUE(s.append(v).ok());
  ArrayRef strs = take(s.finish());
  Float64Builder t;
  for (double v : {0.0, 12219379200.5, 3661.25}) EXPECT_TRUE(t.append(v).ok());
  EXPECT_TRUE(t.append_null().ok());
  ArrayRef secs = take(t.finish());
  auto schema = schema_of({{"num", TypeId::Float64, true},
                           {"str", TypeId::Utf8View, true},
                           {"date", TypeId::Date32, true},
                           {"ts", DataType::timestamp(TimeUnit::Microsecond), true},
                           {"dur", DataType::duration(TimeUnit::Microsecond), true}});
  return take(make_record_batch(
      schema, {nums, strs, take(convert_float64_to_temporal(*secs, TemporalKind::Date)),
               take(convert_float64_to_temporal(*secs, TemporalKind::Timestamp)),
               take(convert_float64_to_temporal(*secs, TemporalKind::Duration))}));
}

}  // namespace

TEST(ArrowExport, SchemaDescribesFormatsNamesAndNullability) {
  auto schema = schema_of({{"num", TypeId::Float64, true},
                           {"str", TypeId::Utf8View, false},
                           {"date", TypeId::Date32, true},
                           {"ts", DataType::timestamp(TimeUnit::Microsecond), true},
                           {"dur", DataType::duration(TimeUnit::Microsecond), true}});
  ArrowSchema out;
  ASSERT_TRUE(export_schema(*schema, &out).ok());
  EXPECT_STREQ(out.format, "+s");
  EXPECT_EQ(out.metadata, nullptr);
  EXPECT_EQ(out.dictionary, nullptr);
  ASSERT_EQ(out.n_children, 5);
  const char* formats[] = {"g", "vu", "tdD", "tsu:", "tDu"};
  for (int i = 0; i < 5; ++i) {
    EXPECT_STREQ(out.children[i]->format, formats[i]);
    EXPECT_STREQ(out.children[i]->name, schema->fields[i].name.c_str());
    EXPECT_EQ(out.children[i]->flags, i == 1 ? 0 : ARROW_FLAG_NULLABLE);
    EXPECT_EQ(out.children[i]->metadata, nullptr);
  }
  // Bitwise moves are allowed: nothing may point into the structure itself.
  ArrowSchema moved;
  std::memcpy(&moved, &out, sizeof out);
  std::memset(&out, 0, sizeof out);
  ASSERT_NE(moved.release, nullptr);
  moved.release(&moved);
  EXPECT_EQ(moved.release, nullptr);
  // Types we cannot describe are refused, and nothing is handed out.
  DataType list = take(parse_format("+l"));
  ArrowSchema bad;
  bad.release = nullptr;
  auto st = export_schema(Schema{{{"a", TypeId::Float64, true}, {"l", list, true}}}, &bad);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(bad.release, nullptr);
}

TEST(ArrowExport, ArraysCarryTheRequiredBuffers) {
  RecordBatch b = sample_batch();
  ArrowArray out;
  ASSERT_TRUE(export_record_batch(b, &out).ok());
  EXPECT_EQ(out.length, 4);
  EXPECT_EQ(out.null_count, 0);
  EXPECT_EQ(out.n_buffers, 1);
  EXPECT_EQ(out.buffers[0], nullptr);
  ASSERT_EQ(out.n_children, 5);
  const ArrowArray* num = out.children[0];
  EXPECT_EQ(num->n_buffers, 2);
  EXPECT_EQ(num->null_count, 1);
  EXPECT_EQ(num->buffers[1], b.columns[0]->buffers[1]->data());  // shared, not copied
  const ArrowArray* str = out.children[1];
  ASSERT_EQ(str->n_buffers, 4);  // validity, views, one data block, block sizes
  EXPECT_EQ(str->buffers[0], nullptr);
  EXPECT_EQ(static_cast<const int64_t*>(str->buffers[3])[0], 26);  // stored once
  for (int i = 2; i < 5; ++i) {
    EXPECT_EQ(out.children[i]->n_buffers, 2);
    EXPECT_EQ(out.children[i]->buffers[0], b.columns[0]->buffers[0]->data() == nullptr
                                               ? nullptr
                                               : b.columns[i]->buffers[0]->data());
  }
  out.release(&out);
  EXPECT_EQ(out.release, nullptr);

  // A hand-assembled batch whose columns disagree with its row count is refused.
  RecordBatch wrong = b;
  wrong.num_rows = 3;
  out.release = nullptr;
  EXPECT_FALSE(export_record_batch(wrong, &out).ok());
  EXPECT_EQ(out.release, nullptr);

  // Empty arrays still point at their values, views and sizes buffers.
  StringViewBuilder sb;
  Float64Builder fb;
  auto empty = take(
      make_record_batch(schema_of({{"s", TypeId::Utf8View, true}, {"f", TypeId::Float64, true}}),
                        {take(sb.finish()), take(fb.finish())}));
  ASSERT_TRUE(export_record_batch(empty, &out).ok());
  EXPECT_EQ(out.length, 0);
  ASSERT_EQ(out.children[0]->n_buffers, 3);
  EXPECT_NE(out.children[0]->buffers[1], nullptr);
  EXPECT_NE(out.children[0]->buffers[2], nullptr);
  EXPECT_NE(out.children[1]->buffers[1], nullptr);
  out.release(&out);
}

// Release runs once, frees every buffer, survives bitwise moves of the structure and lets a
// consumer move a child out and keep it after the parent is gone.
TEST(ArrowExport, ReleaseOnceAndNoLeaks) {
  const int64_t before = Buffer::live_count();
  {
    RecordBatch b = sample_batch();
    const int64_t with_batch = Buffer::live_count();
    EXPECT_GT(with_batch, before);
    ArrowArray out;
    ASSERT_TRUE(export_record_batch(b, &out).ok());
    b = RecordBatch();  // the exported structure alone keeps the buffers now
    EXPECT_EQ(Buffer::live_count(), with_batch + 1);  // plus the string view block sizes

    ArrowArray moved;
    std::memcpy(&moved, &out, sizeof out);
    std::memset(&out, 0, sizeof out);
    ArrowArray child;
    std::memcpy(&child, moved.children[0], sizeof child);
    moved.children[0]->release = nullptr;  // moved out, as a consumer may do

    g_array_releases = 0;
    g_original_array_release = moved.release;
    moved.release = counting_array_release;
    moved.release(&moved);
    EXPECT_EQ(g_array_releases, 1);
    EXPECT_EQ(moved.release, nullptr);
    // The moved-out Float64 column still owns its values.
    EXPECT_EQ(Buffer::live_count(), before + 2);
    EXPECT_EQ(static_cast<const double*>(child.buffers[1])[1], 2.5);
    child.release(&child);
    EXPECT_EQ(child.release, nullptr);
  }
  EXPECT_EQ(Buffer::live_count(), before);
}

TEST(ArrowStream, RoundTripThroughTheCStructures) {
  const int64_t before = Buffer::live_count();
  {
    RecordBatch b = sample_batch();
    std::vector<const uint8_t*> original;
    for (const ArrayRef& c : b.columns) original.push_back(c->buffers[1]->data());
    ArrowArrayStream stream;
    ASSERT_TRUE(export_stream(b.schema, {b, b}, &stream).ok());
    auto imported = take(import_stream(&stream));
    EXPECT_EQ(stream.release, nullptr);  // taken over
    EXPECT_EQ(*imported.schema, *b.schema);
    ASSERT_EQ(imported.batches.size(), 2u);
    for (const RecordBatch& got : imported.batches) {
      ASSERT_EQ(got.num_rows, 4);
      ASSERT_EQ(got.num_columns(), 5);
      for (size_t i = 0; i < 5; ++i) {
        const ArrayData& c = *got.columns[i];
        EXPECT_EQ(c.type, b.schema->fields[i].type);
        EXPECT_EQ(c.null_count, b.columns[i]->null_count);
        EXPECT_EQ(c.buffers[1]->data(), original[i]) << "column " << i << " was copied";
      }
      expect_float64(*got.columns[0], {{1.0, 2.5, -3.0, 0.0}, {true, true, true, false}});
      const char* strs[] = {"short", "a rather long string value", "",
                            "a rather long string value"};
      for (int64_t r = 0; r < 4; ++r) EXPECT_EQ(got.columns[1]->binary_value(r), strs[r]);
      EXPECT_EQ(got.columns[2]->values<int32_t>()[0], -141428);
      EXPECT_EQ(got.columns[3]->values<int64_t>()[1], 500000);
      EXPECT_EQ(got.columns[4]->values<int64_t>()[2], 3661250000);
      for (size_t i = 2; i < 5; ++i) EXPECT_TRUE(got.columns[i]->is_null(3));
    }
    // Imported columns outlive their batch and the stream.
    ArrayRef keep = imported.batches[1].columns[1];
    imported = ImportedStream();
    b = RecordBatch();
    EXPECT_EQ(keep->binary_value(1), "a rather long string value");
  }
  EXPECT_EQ(Buffer::live_count(), before);
}

TEST(ArrowStream, EndOfStreamAndLastError) {
  RecordBatch b = sample_batch();
  ArrowArrayStream stream;
  ASSERT_TRUE(export_stream(b.schema, {b}, &stream).ok());
  EXPECT_EQ(stream.get_last_error(&stream), nullptr);
  ArrowArray first;
  ASSERT_EQ(stream.get_next(&stream, &first), 0);
  ASSERT_NE(first.release, nullptr);
  for (int i = 0; i < 2; ++i) {
    ArrowArray end;
    end.release = counting_array_release;  // must be overwritten
    ASSERT_EQ(stream.get_next(&stream, &end), 0);
    EXPECT_EQ(end.release, nullptr);
  }
  // The stream may go before the arrays it handed out.
  stream.release(&stream);
  EXPECT_EQ(stream.release, nullptr);
  b = RecordBatch();
  EXPECT_EQ(static_cast<const double*>(first.children[0]->buffers[1])[2], -3.0);
  first.release(&first);

  // A schema that cannot be exported fails get_schema with a described error.
  auto bad_schema = schema_of({{"l", take(parse_format("+l")), true}});
  ASSERT_TRUE(export_stream(bad_schema, {}, &stream).ok());
  ArrowSchema s;
  EXPECT_EQ(stream.get_schema(&stream, &s), EINVAL);
  ASSERT_NE(stream.get_last_error(&stream), nullptr);
  EXPECT_EQ(std::string(stream.get_last_error(&stream)),
            "Not yet implemented: export of field 'l' of type List");
  auto r = import_stream(&stream);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(),
            "arrow error: C Data interface error: Cannot get schema from input stream. Error "
            "code: 22: Not yet implemented: export of field 'l' of type List");

  // Batches must match the stream's schema.
  auto other = schema_of({{"x", TypeId::Float64, true}});
  EXPECT_FALSE(export_stream(other, {sample_batch()}, &stream).ok());
}

// ---------------------------------------------------------------- import from other producers

namespace {

int g_fake_releases = 0;

// A hand-made producer: one struct array whose children point into vectors it owns.
struct FakeBatch {
  struct Column {
    int64_t length = 0, offset = 0, null_count = 0;
    std::vector<std::optional<std::vector<uint8_t>>> buffers;  // nullopt: a null pointer
    size_t misalign = 0;  // buffers start this many bytes into their storage
    bool dictionary = false;
    std::vector<const void*> ptrs;
    ArrowArray array{};
  };
  std::vector<Column> columns;
  int64_t length = 0, offset = 0, null_count = 0;
  std::optional<std::vector<uint8_t>> validity;
  std::vector<std::vector<uint8_t>> storage;
  std::vector<ArrowArray*> child_ptrs;
  const void* root_buffers[1] = {nullptr};
  ArrowArray dict{};

  // Hands the batch over as a C structure; released (and counted) through the root.
  static ArrowArray produce(std::unique_ptr<FakeBatch> fb) {
    FakeBatch& f = *fb;
    if (f.validity) f.root_buffers[0] = f.validity->data();
    for (Column& c : f.columns) {
      for (auto& b : c.buffers) {
        if (!b) {
          c.ptrs.push_back(nullptr);
          continue;
        }
        std::vector<uint8_t> s(c.misalign, 0);
        s.insert(s.end(), b->begin(), b->end());
        s.resize(s.size() + 8);
        f.storage.push_back(std::move(s));
        c.ptrs.push_back(f.storage.back().data() + c.misalign);
      }
      c.array = ArrowArray{c.length,
                           c.null_count,
                           c.offset,
                           static_cast<int64_t>(c.ptrs.size()),
                           0,
                           c.ptrs.data(),
                           nullptr,
                           c.dictionary ? &f.dict : nullptr,
                           [](ArrowArray* a) { a->release = nullptr; },
                           nullptr};
      f.child_ptrs.push_back(&c.array);
    }
    ArrowArray root{f.length,
                    f.null_count,
                    f.offset,
                    1,
                    static_cast<int64_t>(f.columns.size()),
                    f.root_buffers,
                    f.child_ptrs.data(),
                    nullptr,
                    [](ArrowArray* a) {
                      ++g_fake_releases;
                      delete static_cast<FakeBatch*>(a->private_data);
                      a->release = nullptr;
                    },
                    fb.release()};
    return root;
  }
};

template <typename T>
std::vector<uint8_t> bytes(std::vector<T> v) {
  std::vector<uint8_t> out(v.size() * sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), v.data(), out.size());
  return out;
}

std::vector<uint8_t> bitmap(std::vector<int> bits) {
  std::vector<uint8_t> out((bits.size() + 7) / 8, 0);
  for (size_t i = 0; i < bits.size(); ++i)
    if (bits[i]) out[i / 8] |= uint8_t(1u << (i % 8));
  return out;
}

std::vector<uint8_t> view_bytes(std::vector<View> v) {
  return bytes(std::move(v));
}

View long_view(int32_t len, int32_t buffer, int32_t offset) {
  View v;
  std::memset(&v, 0, sizeof v);
  v.length = len;
  v.ref.buffer_index = buffer;
  v.ref.offset = offset;
  return v;
}

}  // namespace

TEST(ArrowImport, SlicedColumnsOfManyTypes) {
  auto fb = std::make_unique<FakeBatch>();
  fb->length = 3;
  fb->offset = 1;  // rows 1..3 of the struct
  // int32, offset 2 inside the child: logical rows are elements 3, 4, 5.
  FakeBatch::Column i32;
  i32.length = 6;
  i32.offset = 2;
  i32.null_count = -1;  // unknown: counted over the window
  i32.buffers = {bitmap({1, 1, 1, 1, 0, 1, 1, 1}), bytes<int32_t>({0, 1, 2, 3, 4, 5, 6, 7})};
  FakeBatch::Column boolean;
  boolean.length = 4;
  boolean.null_count = 0;
  boolean.buffers = {std::nullopt, bitmap({0, 1, 0, 1})};
  FakeBatch::Column large;  // LargeUtf8, misaligned buffers are copied
  large.length = 4;
  large.misalign = 3;
  large.buffers = {std::nullopt, bytes<int64_t>({0, 1, 3, 6, 10}),
                   bytes<char>({'a', 'b', 'b', 'c', 'c', 'c', 'd', 'd', 'd', 'd'})};
  FakeBatch::Column view;  // BinaryView with two data blocks and the sizes buffer
  view.length = 4;
  view.buffers = {std::nullopt,
                  view_bytes({long_view(0, 0, 0), long_view(13, 1, 2), long_view(14, 0, 0),
                              long_view(3, 0, 0)}),
                  bytes<char>(std::vector<char>(14, 'x')), bytes<char>(std::vector<char>(15, 'y')),
                  bytes<int64_t>({14, 15})};
  std::memcpy(reinterpret_cast<View*>(view.buffers[1]->data())[3].inlined, "abc", 3);
  FakeBatch::Column i64;
  i64.length = 4;
  i64.misalign = 4;
  i64.buffers = {std::nullopt, bytes<int64_t>({10, 20, 30, 40})};
  FakeBatch::Column list;  // a nested type: kept as Other, buffers untouched
  list.length = 4;
  list.buffers = {std::nullopt, std::nullopt};
  fb->columns = {i32, boolean, large, view, i64, list};
  auto schema = schema_of({{"i", TypeId::Int32, true},
                           {"b", TypeId::Boolean, true},
                           {"U", TypeId::LargeUtf8, true},
                           {"v", TypeId::BinaryView, true},
                           {"l", TypeId::Int64, true},
                           {"nested", take(parse_format("+l")), true}});

  g_fake_releases = 0;
  ArrowArray root = FakeBatch::produce(std::move(fb));
  RecordBatch b = take(import_record_batch(&root, schema));
  EXPECT_EQ(root.release, nullptr);
  ASSERT_EQ(b.num_rows, 3);
  const ArrayData& i = *b.columns[0];
  EXPECT_EQ(i.null_count, 1);
  EXPECT_EQ(i.values<int32_t>()[0], 3);
  EXPECT_TRUE(i.is_null(1));
  EXPECT_EQ(i.values<int32_t>()[2], 5);
  EXPECT_TRUE(b.columns[1]->bool_value(0));
  EXPECT_FALSE(b.columns[1]->bool_value(1));
  EXPECT_TRUE(b.columns[1]->bool_value(2));
  EXPECT_EQ(b.columns[2]->binary_value(0), "bb");
  EXPECT_EQ(b.columns[2]->binary_value(2), "dddd");
  EXPECT_EQ(b.columns[3]->binary_value(0), std::string(13, 'y'));
  EXPECT_EQ(b.columns[3]->binary_value(1), std::string(14, 'x'));
  EXPECT_EQ(b.columns[3]->binary_value(2), "abc");
  EXPECT_EQ(b.columns[4]->values<int64_t>()[2], 40);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b.columns[4]->buffers[1]->data()) % 8, 0u);
  EXPECT_EQ(b.columns[5]->type.id, TypeId::Other);
  EXPECT_EQ(b.columns[5]->length, 3);

  // The producer's release runs once, after the last imported column is gone.
  ArrayRef keep = b.columns[3];
  b = RecordBatch();
  EXPECT_EQ(g_fake_releases, 0);
  EXPECT_EQ(keep->binary_value(0), std::string(13, 'y'));
  keep.reset();
  EXPECT_EQ(g_fake_releases, 1);
}

TEST(ArrowImport, MalformedArraysAreRefused) {
  using Col = FakeBatch::Column;
  auto utf8 = [](std::vector<int32_t> offsets, size_t data) {
    Col c;
    c.length = static_cast<int64_t>(offsets.size()) - 1;
    c.buffers = {std::nullopt, bytes(offsets), std::vector<uint8_t>(data, 'a')};
    return c;
  };
  struct Case {
    const char* what;
    DataType type;
    Col column;
    int64_t rows;
    const char* message;  // empty: accepted
  };
  Col empty_no_offsets;
  empty_no_offsets.buffers = {std::nullopt, std::nullopt, std::nullopt};
  Col nulls_without_bitmap;
  nulls_without_bitmap.length = 2;
  nulls_without_bitmap.null_count = 1;
  nulls_without_bitmap.buffers = {std::nullopt, bytes<double>({1, 2})};
  Col dict = nulls_without_bitmap;
  dict.null_count = 0;
  dict.dictionary = true;
  Col short_child = dict;
  short_child.dictionary = false;
  Col missing_values = short_child;
  missing_values.buffers[1] = std::nullopt;
  Col view_oob;
  view_oob.length = 1;
  view_oob.buffers = {std::nullopt, view_bytes({long_view(20, 0, 5)}),
                      std::vector<uint8_t>(24, 'z'), bytes<int64_t>({24})};
  Col view_bad_index = view_oob;
  view_bad_index.buffers[1] = view_bytes({long_view(13, 1, 0)});
  Col view_null_entry = view_oob;  // garbage under a null entry is never read
  view_null_entry.null_count = 1;
  view_null_entry.buffers[0] = bitmap({0});
  Col view_no_sizes = view_oob;
  view_no_sizes.buffers.resize(2);  // validity and views only
  Case cases[] = {
      {"good utf8", TypeId::Utf8, utf8({0, 2, 5}, 5), 2, ""},
      {"empty utf8 without offsets", TypeId::Utf8, empty_no_offsets, 0, ""},
      {"decreasing offsets", TypeId::Utf8, utf8({0, 4, 2}, 5), 2,
       "column 'c': offsets are not increasing"},
      {"negative first offset", TypeId::Utf8, utf8({-1, 2}, 5), 1, "column 'c': negative offset"},
      {"null count without bitmap", TypeId::Float64, nulls_without_bitmap, 2,
       "column 'c': null count without a validity bitmap"},
      {"dictionary", TypeId::Float64, dict, 2,
       "column 'c': dictionary-encoded columns are not supported"},
      {"shorter than the batch", TypeId::Float64, short_child, 3,
       "column 'c': array of length 2 is shorter than the batch"},
      {"buffer count", TypeId::Utf8, short_child, 2, "column 'c': expected 3 buffers, found 2"},
      {"null values buffer", TypeId::Float64, missing_values, 2, "column 'c': buffer 1 is null"},
      {"view out of bounds", TypeId::Utf8View, view_oob, 1,
       "column 'c': view out of the bounds of its data buffer"},
      {"view buffer index", TypeId::Utf8View, view_bad_index, 1,
       "column 'c': view out of the bounds of its data buffer"},
      {"view under a null", TypeId::Utf8View, view_null_entry, 1, ""},
      {"view without sizes", TypeId::Utf8View, view_no_sizes, 1,
       "column 'c': expected 3 buffers, found 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto fb = std::make_unique<FakeBatch>();
    fb->length = c.rows;
    fb->columns = {c.column};
    g_fake_releases = 0;
    ArrowArray root = FakeBatch::produce(std::move(fb));
    auto r = import_record_batch(&root, schema_of({{"c", c.type, true}}));
    EXPECT_EQ(root.release, nullptr);
    if (*c.message == 0) {
      ASSERT_TRUE(r.ok()) << r.error().message();
      EXPECT_EQ(r->columns[0]->length, c.rows);
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().message(),
                std::string("arrow error: C Data interface error: ") + c.message);
    }
    r = SpssError::arrow("dropped");
    EXPECT_EQ(g_fake_releases, 1);  // released exactly once, on success and on failure
  }

  // A struct-level null cannot become a row of a batch.
  auto fb = std::make_unique<FakeBatch>();
  fb->length = 2;
  fb->null_count = 1;
  fb->validity = bitmap({1, 0});
  ArrowArray root = FakeBatch::produce(std::move(fb));
  auto r = import_record_batch(&root, schema_of({}));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(),
            "arrow error: C Data interface error: cannot import a struct "
            "array with nulls as a record batch");
}

namespace {

int g_fake_schema_releases = 0;

struct FakeSchema {
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> ptrs;
  ArrowSchema dict{};
  static ArrowSchema make(const char* root_format,
                          std::vector<std::pair<const char*, const char*>> fields,
                          bool dictionary = false) {
    auto* f = new FakeSchema();
    f->children.resize(fields.size());
    for (size_t i = 0; i < fields.size(); ++i) {
      f->children[i] = ArrowSchema{fields[i].first,
                                   fields[i].second,
                                   nullptr,
                                   ARROW_FLAG_NULLABLE,
                                   0,
                                   nullptr,
                                   dictionary ? &f->dict : nullptr,
                                   [](ArrowSchema* s) { s->release = nullptr; },
                                   nullptr};
      f->ptrs.push_back(&f->children[i]);
    }
    return ArrowSchema{root_format,
                       "",
                       nullptr,
                       0,
                       static_cast<int64_t>(fields.size()),
                       f->ptrs.data(),
                       nullptr,
                       [](ArrowSchema* s) {
                         ++g_fake_schema_releases;
                         delete static_cast<FakeSchema*>(s->private_data);
                         s->release = nullptr;
                       },
                       f};
  }
};

// A producer stream over one fake schema whose get_next fails.
struct FailingStream {
  static ArrowArrayStream make() {
    return ArrowArrayStream{[](ArrowArrayStream*, ArrowSchema* out) {
                              *out = FakeSchema::make("+s", {{"tsm:UTC", "when"}, {"u", "text"}});
                              return 0;
                            },
                            [](ArrowArrayStream*, ArrowArray*) { return EIO; },
                            [](ArrowArrayStream*) -> const char* { return "disk on fire"; },
                            [](ArrowArrayStream* s) {
                              ++g_fake_schema_releases;
                              s->release = nullptr;
                            },
                            nullptr};
  }
};

}  // namespace

TEST(ArrowImport, SchemasAndStreamErrors) {
  g_fake_schema_releases = 0;
  ArrowSchema s = FakeSchema::make("+s", {{"l", "int"}, {"tsu:Europe/Oslo", "at"}, {"vu", "s"}});
  Schema got = take(import_schema(&s));
  EXPECT_EQ(s.release, nullptr);
  EXPECT_EQ(g_fake_schema_releases, 1);
  ASSERT_EQ(got.fields.size(), 3u);
  EXPECT_EQ(got.fields[0], (Field{"int", TypeId::Int64, true}));
  EXPECT_EQ(got.fields[1].type, DataType::timestamp(TimeUnit::Microsecond, "Europe/Oslo"));
  EXPECT_EQ(got.fields[2].type.id, TypeId::Utf8View);

  struct Case {
    ArrowSchema schema;
    const char* message;
  } cases[] = {
      {FakeSchema::make("g", {}), "Unable to interpret C data struct as a Schema"},
      {FakeSchema::make("+s", {{"c", "x"}}, true),
       "column 'x': dictionary-encoded columns are not supported"},
      {FakeSchema::make("+s", {{"q", "x"}}), "unsupported format string 'q'"},
  };
  for (Case& c : cases) {
    g_fake_schema_releases = 0;
    auto r = import_schema(&c.schema);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(),
              std::string("arrow error: C Data interface error: ") + c.message);
    EXPECT_EQ(g_fake_schema_releases, 1);
  }

  // The producer's last error reaches the batch error; the stream is released once.
  g_fake_schema_releases = 0;
  ArrowArrayStream stream = FailingStream::make();
  {
    auto reader = take(ArrowStreamReader::open(&stream));
    EXPECT_EQ(stream.release, nullptr);
    EXPECT_EQ(reader.schema()->fields[0].type, DataType::timestamp(TimeUnit::Millisecond, "UTC"));
    auto next = reader.next();
    ASSERT_FALSE(next.ok());
    EXPECT_EQ(next.error().message(), "arrow error: C Data interface error: disk on fire");
    EXPECT_EQ(g_fake_schema_releases, 1);  // the schema; the stream goes with the reader
  }
  EXPECT_EQ(g_fake_schema_releases, 2);

  // A stream already released (or taken over) cannot be imported again.
  auto again = import_stream(&stream);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().message(),
            "arrow error: C Data interface error: input stream is already released");
}
