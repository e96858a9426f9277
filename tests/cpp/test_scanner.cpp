#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include <zlib.h>

#include "bytecode_stream.hpp"
#include "column_types.hpp"
#include "columnar.hpp"
#include "sav_builder.hpp"
#include "scanner.hpp"

using namespace korvel;
using korvel::testing::HeaderSpec;
using korvel::testing::SavBuilder;

namespace {

constexpr uint64_t kSysmis = 0xFFEFFFFFFFFFFFFFull;

// An uncompressed file with numeric columns a, b, c (values row*10 + column) and `rows` rows.
std::vector<uint8_t> numeric_file(size_t rows, int32_t ncases, bool big_endian = false) {
  SavBuilder b(big_endian);
  HeaderSpec h;
  h.ncases = ncases;
  b.header(h).numeric("A").numeric("B").numeric("C").end_dictionary();
  for (size_t r = 0; r < rows; ++r) {
    for (int c = 0; c < 3; ++c) b.f64(static_cast<double>(r * 10 + static_cast<size_t>(c)));
  }
  return b.take();
}

// The same three numeric columns (values row*10 + column) in `compression` (0, 1 or 2): the
// bytecode stream codes each value as value + 100 and ends with code 252.
std::vector<uint8_t> numeric_file(int32_t compression, size_t rows, int32_t ncases,
                                  bool big_endian) {
  if (compression == 0) return numeric_file(rows, ncases, big_endian);
  SavBuilder b(big_endian);
  HeaderSpec h;
  h.ncases = ncases;
  h.compression = compression;
  if (compression == 2) h.magic = "$FL3";
  b.header(h).numeric("A").numeric("B").numeric("C").end_dictionary();
  korvel::testing::StreamBuilder stream;
  for (size_t r = 0; r < rows; ++r) {
    for (size_t c = 0; c < 3; ++c) stream.code(static_cast<uint8_t>(100 + r * 10 + c));
  }
  std::vector<uint8_t> codes = stream.code(252).finish();
  if (compression == 1) return b.bytes(codes).take();
  // One zlib block between the zheader and the ztrailer.
  uLongf packed_size = compressBound(codes.size());
  std::vector<uint8_t> packed(packed_size);
  EXPECT_EQ(compress2(packed.data(), &packed_size, codes.data(), codes.size(), 6), Z_OK);
  packed.resize(packed_size);
  const uint64_t zheader_ofs = b.size();
  const uint64_t ztrailer_ofs = zheader_ofs + 24 + packed.size();
  b.u64(zheader_ofs).u64(ztrailer_ofs).u64(48).bytes(packed);
  b.u64(static_cast<uint64_t>(-100)).u64(0).i32(0x3FF000).i32(1);
  b.u64(zheader_ofs).u64(zheader_ofs + 24).i32(static_cast<int32_t>(codes.size()));
  return b.i32(static_cast<int32_t>(packed.size())).take();
}

std::unique_ptr<SavScanner> open_bytes(std::vector<uint8_t> bytes) {
  auto s = SavScanner::open(BufferedReader::from_memory(std::move(bytes)), 100000);
  EXPECT_TRUE(s.ok()) << s.error().message();
  return std::move(s).value();
}

std::vector<int64_t> batch_sizes(SavScanner& s, size_t max_rows) {
  std::vector<int64_t> sizes;
  for (int guard = 0; guard < 100; ++guard) {
    auto b = s.read_batch_columnar(max_rows);
    EXPECT_TRUE(b.ok()) << b.error().message();
    if (!b.ok() || !b.value()) break;
    sizes.push_back(b.value()->num_rows);
  }
  return sizes;
}

double num(const arrow::RecordBatch& b, size_t col, int64_t row) {
  return b.columns[col]->values<double>()[row];
}

std::string text(const arrow::RecordBatch& b, size_t col, int64_t row) {
  return std::string(b.columns[col]->binary_value(row));
}

// Element-wise equality of two batches' columns (values, nulls, strings).
void expect_same_batch(const arrow::RecordBatch& x, const arrow::RecordBatch& y) {
  ASSERT_EQ(x.num_rows, y.num_rows);
  ASSERT_EQ(x.num_columns(), y.num_columns());
  for (size_t c = 0; c < x.columns.size(); ++c) {
    const auto& a = *x.columns[c];
    const auto& b = *y.columns[c];
    ASSERT_EQ(a.type, b.type);
    ASSERT_EQ(a.null_count, b.null_count) << "column " << c;
    for (int64_t r = 0; r < x.num_rows; ++r) {
      ASSERT_EQ(a.is_null(r), b.is_null(r));
      if (a.type.id == arrow::TypeId::Utf8View) {
        ASSERT_EQ(a.binary_value(r), b.binary_value(r)) << "column " << c << " row " << r;
      } else if (!a.is_null(r)) {
        ASSERT_EQ(std::memcmp(a.values<double>() + r, b.values<double>() + r, 8), 0);
      }
    }
  }
}

}  // namespace

TEST(SavScanner, BatchesFollowTheRequestAndTheDataEnd) {
  struct Case {
    size_t rows;
    int32_t ncases;
    size_t max_rows;
    std::vector<int64_t> sizes;
  };
  const Case cases[] = {
      {10, 10, 4, {4, 4, 2}},
      {10, 10, 100, {10}},
      {2500, -1, 100000, {2500}},  // an unknown count sizes the first allocation only
      {7, 5, 100000, {5}},         // the header's count ends the data: 2 rows more are not cases
      {7, 5, 2, {2, 2, 1}},
      {3, 0, 100000, {3}},  // a count of 0 is a hint too: the data decide
      {0, 0, 100000, {}},
      {0, -1, 100000, {}},
  };
  for (const auto& c : cases) {
    auto s = open_bytes(numeric_file(c.rows, c.ncases));
    EXPECT_EQ(batch_sizes(*s, c.max_rows), c.sizes) << c.rows << " rows, ncases " << c.ncases;
  }
}

TEST(SavScanner, CapacityAndChunkRows) {
  EXPECT_EQ(batch_capacity(100000, 250000), 100000u);
  EXPECT_EQ(batch_capacity(SIZE_MAX, 250000), 250000u);
  EXPECT_EQ(batch_capacity(SIZE_MAX, 5000000), 1000000u);
  EXPECT_EQ(batch_capacity(SIZE_MAX, -1), 1000u);
  EXPECT_EQ(batch_capacity(SIZE_MAX, 0), 1000u);
  EXPECT_EQ(batch_capacity(4, -1), 4u);
  // 2 slots per row: 268,435,456 / 16 is more than the capacity.
  EXPECT_EQ(chunk_row_count(16, 1000000), 1000000u);
  // 40,000 slots (320,000 bytes): 838 rows are raised to 1024.
  EXPECT_EQ(chunk_row_count(320000, 1000000), 1024u);
  // Beyond 256 MiB a row still gets its chunk of 1024.
  EXPECT_EQ(chunk_row_count(size_t{300} << 20, 1000000), 1024u);
  EXPECT_EQ(chunk_row_count(800, 1000), 1000u);
  EXPECT_EQ(chunk_row_count(800, 1000000), 335544u);
}

TEST(SavScanner, MaxRowsZeroLeavesTheSourceUntouched) {
  auto s = open_bytes(numeric_file(10, 10));
  auto none = s->read_batch_columnar(0);
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none.value().has_value());
  EXPECT_EQ(batch_sizes(*s, 100), (std::vector<int64_t>{10}));
}

TEST(SavScanner, ValuesLandInTheirColumns) {
  auto s = open_bytes(numeric_file(5, 5));
  auto b = s->read_batch_columnar(100);
  ASSERT_TRUE(b.ok() && b.value());
  const auto& batch = *b.value();
  ASSERT_EQ(batch.num_columns(), 3);
  EXPECT_EQ(batch.schema->fields[1].name, "B");
  EXPECT_EQ(num(batch, 0, 4), 40.0);
  EXPECT_EQ(num(batch, 2, 3), 32.0);
  EXPECT_EQ(batch.columns[0]->null_count, 0);
  EXPECT_EQ(batch.columns[0]->buffers[0], nullptr);  // no validity bitmap without nulls
}

TEST(SavScanner, BigEndianNumbersComeOutRight) {
  auto s = open_bytes(numeric_file(4, 4, /*big_endian=*/true));
  auto b = s->read_batch_columnar(100);
  ASSERT_TRUE(b.ok() && b.value());
  EXPECT_EQ(num(*b.value(), 1, 3), 31.0);
  EXPECT_EQ(s->metadata().number_rows, 4);
}

TEST(SavScanner, BigEndianSystemMissingIsNull) {
  SavBuilder b(/*big_endian=*/true);
  b.header().numeric("X").end_dictionary();
  b.u64(kSysmis).f64(-2.5);  // both in the file's byte order
  auto s = open_bytes(b.take());
  auto batch = s->read_batch_columnar(10);
  ASSERT_TRUE(batch.ok() && batch.value());
  const auto& col = *batch.value()->columns[0];
  EXPECT_EQ(col.null_count, 1);
  EXPECT_TRUE(col.is_null(0));
  EXPECT_EQ(col.values<double>()[1], -2.5);
}

TEST(SavScanner, SelectProjectsAndReportsUnknownNames) {
  auto s = open_bytes(numeric_file(3, 3));
  ASSERT_TRUE(s->select({"B", "A"}).ok());
  auto bad = s->select({"A", "x\"y"});
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(), "invalid variable record: column not found: \"x\\\"y\"");
  EXPECT_FALSE(s->select({"a"}).ok());  // names match exactly
  auto b = s->read_batch_columnar(1);
  ASSERT_TRUE(b.ok() && b.value());
  ASSERT_EQ(b.value()->num_columns(), 2);
  EXPECT_EQ(b.value()->schema->fields[0].name, "B");
  EXPECT_EQ(num(*b.value(), 0, 0), 1.0);
  EXPECT_EQ(num(*b.value(), 1, 0), 0.0);

  ASSERT_TRUE(s->select({"C", "C"}).ok());
  b = s->read_batch_columnar(1);
  ASSERT_TRUE(b.ok() && b.value());
  EXPECT_EQ(b.value()->num_columns(), 2);
  EXPECT_EQ(num(*b.value(), 1, 0), 12.0);  // the second row: earlier rows are not read again
}

TEST(SavScanner, EmptyProjection) {
  auto s = open_bytes(numeric_file(3, 3));
  ASSERT_TRUE(s->select({}).ok());
  auto b = s->read_batch_columnar(10);
  ASSERT_FALSE(b.ok());
  EXPECT_EQ(b.error().message(),
            "arrow error: Invalid argument error: must either specify a row count or at least "
            "one column");
  auto empty = open_bytes(numeric_file(0, 0));
  ASSERT_TRUE(empty->select({}).ok());
  auto none = empty->read_batch_columnar(10);
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none.value().has_value());
}

TEST(SavScanner, SystemMissingIsNullAndOtherPatternsAreValues) {
  SavBuilder b;
  b.header().numeric("X").end_dictionary();
  b.u64(kSysmis).f64(std::nan("")).f64(99.0).u64(kSysmis);
  auto s = open_bytes(b.take());
  auto batch = s->read_batch_columnar(10);
  ASSERT_TRUE(batch.ok() && batch.value());
  const auto& col = *batch.value()->columns[0];
  EXPECT_EQ(col.null_count, 2);
  EXPECT_TRUE(col.is_null(0));
  EXPECT_FALSE(col.is_null(1));
  EXPECT_TRUE(std::isnan(col.values<double>()[1]));
  EXPECT_EQ(col.values<double>()[2], 99.0);
  EXPECT_TRUE(col.is_null(3));
}

TEST(SavScanner, TemporalColumns) {
  SavBuilder b;
  b.header()
      .numeric("D", 0x00140b00)    // DATE11
      .numeric("T", 0x00160d00)    // DATETIME
      .numeric("DUR", 0x00150800)  // TIME8
      .numeric("W", 0x001a0900)    // WKDAY stays a number
      .end_dictionary();
  b.f64(12219379200.0).f64(12219379200.5).f64(3661.25).f64(2.0);
  b.f64(0.0).u64(kSysmis).f64(-1.0).f64(3.0);
  auto s = open_bytes(b.take());
  auto r = s->read_batch_columnar(10);
  ASSERT_TRUE(r.ok() && r.value());
  const auto& batch = *r.value();
  EXPECT_EQ(batch.columns[0]->type.id, arrow::TypeId::Date32);
  EXPECT_EQ(batch.columns[0]->values<int32_t>()[0], 0);
  EXPECT_EQ(batch.columns[0]->values<int32_t>()[1], -141428);
  EXPECT_EQ(batch.columns[1]->type, arrow::DataType::timestamp(arrow::TimeUnit::Microsecond));
  EXPECT_EQ(batch.columns[1]->values<int64_t>()[0], 500000);
  EXPECT_TRUE(batch.columns[1]->is_null(1));
  EXPECT_EQ(batch.columns[2]->values<int64_t>()[0], 3661250000);
  EXPECT_EQ(batch.columns[2]->values<int64_t>()[1], -1000000);
  EXPECT_EQ(batch.columns[3]->type.id, arrow::TypeId::Float64);
  EXPECT_EQ(schema_type_name(batch.columns[1]->type), "Datetime");
  EXPECT_EQ(schema_type_name(batch.columns[0]->type), "Date");
}

TEST(SavScanner, PositiveCaseCountIsTheNumberOfCases) {
  // A positive count stops the data after that many cases, and data that end before it fail
  // like a truncated file; -1 and 0 leave the end to the data. In every compression and byte
  // order, and over batches that end before, at and after the count.
  struct Case {
    size_t rows;
    int32_t ncases;
    size_t max_rows;
    std::vector<int64_t> sizes;  // batches before the end or the error
    std::string error;
  };
  const Case cases[] = {
      {3, 1, 100, {1}, ""},
      {7, 5, 2, {2, 2, 1}, ""},
      {5, 5, 5, {5}, ""},
      {4, 5, 100, {}, "truncated file: expected 5 cases, got 4"},
      {4, 5, 2, {2, 2}, "truncated file: expected 5 cases, got 4"},
      {0, 2, 100, {}, "truncated file: expected 2 cases, got 0"},
      {4, -1, 3, {3, 1}, ""},
      {4, 0, 100, {4}, ""},
  };
  for (int32_t compression : {0, 1, 2}) {
    for (bool big_endian : {false, true}) {
      for (const auto& c : cases) {
        const std::string what = "compression " + std::to_string(compression) + ", big " +
                                 std::to_string(big_endian) + ", " + std::to_string(c.rows) +
                                 " rows, ncases " + std::to_string(c.ncases) + ", batch " +
                                 std::to_string(c.max_rows);
        auto s = open_bytes(numeric_file(compression, c.rows, c.ncases, big_endian));
        ASSERT_TRUE(s) << what;
        std::vector<int64_t> sizes;
        std::string error;
        double last = -1;
        for (int guard = 0; guard < 20; ++guard) {
          auto b = s->read_batch_columnar(c.max_rows);
          if (!b.ok()) {
            error = b.error().message();
            break;
          }
          if (!b.value()) break;
          sizes.push_back(b.value()->num_rows);
          last = num(*b.value(), 2, b.value()->num_rows - 1);
        }
        EXPECT_EQ(sizes, c.sizes) << what;
        EXPECT_EQ(error, c.error) << what;
        size_t delivered = 0;
        for (int64_t n : sizes) delivered += static_cast<size_t>(n);
        if (delivered > 0) {
          EXPECT_EQ(last, static_cast<double>((delivered - 1) * 10 + 2)) << what;
        }
      }
    }
  }
}

TEST(SavScanner, TruncatedRowsAreDropped) {
  auto bytes = numeric_file(4, -1);
  bytes.resize(bytes.size() - 11);  // 13 bytes of the last 24-byte row remain
  auto s = open_bytes(std::move(bytes));
  EXPECT_EQ(batch_sizes(*s, 100), (std::vector<int64_t>{3}));
}

namespace {

// A batch built from `rows` raw rows pushed in chunks of `chunk` rows.
arrow::RecordBatch build(const std::vector<uint8_t>& raw, size_t rows, size_t slots,
                         const std::vector<ColumnMapping>& mappings, size_t chunk,
                         encoding::Encoding enc = encoding::Encoding::UTF_8) {
  ColumnarBatchBuilder builder(enc, false);
  for (size_t i = 0; i < mappings.size(); ++i) {
    std::string name = "c";
    name += std::to_string(i);
    arrow::Field f{name,
                   mappings[i].storage.is_string ? arrow::TypeId::Utf8View : arrow::TypeId::Float64,
                   true};
    EXPECT_TRUE(builder.add_column(f, mappings[i], i % 2 == 1, std::nullopt, 16).ok());
  }
  for (size_t start = 0; start < rows; start += chunk) {
    size_t n = std::min(chunk, rows - start);
    EXPECT_TRUE(
        builder.push_raw_chunk(raw.data() + start * slots * 8, n * slots * 8, n, slots).ok());
  }
  auto b = builder.finish();
  EXPECT_TRUE(b.ok()) << b.error().message();
  return std::move(b).value();
}

std::vector<uint8_t> random_rows(size_t rows, size_t slots, const std::vector<ColumnMapping>& m) {
  std::vector<uint8_t> raw(rows * slots * 8, ' ');
  uint64_t state = 12345;
  auto next = [&] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
  };
  for (size_t r = 0; r < rows; ++r) {
    uint8_t* row = raw.data() + r * slots * 8;
    for (const auto& c : m) {
      if (c.storage.is_string) {
        size_t len = next() % (c.width + 1);
        for (size_t k = 0; k < len; ++k) {
          size_t pos = (c.segment_count >= 2) ? (k / 255) * 256 + k % 255 : k;
          row[c.first_slot * 8 + pos] = static_cast<uint8_t>('a' + next() % 3);
        }
      } else {
        double d = (next() % 10 == 0) ? 0.0 : static_cast<double>(next() % 1000);
        uint64_t bits;
        std::memcpy(&bits, &d, 8);
        if (next() % 7 == 0) bits = kSysmis;
        std::memcpy(row + c.first_slot * 8, &bits, 8);
      }
    }
  }
  return raw;
}

}  // namespace

TEST(ColumnarBatchBuilder, SequentialAndParallelPathsAgree) {
  // Narrow rows: 9,999-row chunks run sequentially, 10,000-row chunks in parallel.
  std::vector<ColumnMapping> narrow = {
      ColumnMapping::make(VarType::numeric(), 0, 1),
      ColumnMapping::make(VarType::string(20), 1, 1),
      ColumnMapping::make(VarType::numeric(), 4, 1),
      ColumnMapping::make(VarType::string(3), 5, 1),
  };
  auto raw = random_rows(20000, 6, narrow);
  auto parallel = build(raw, 20000, 6, narrow, 10000);
  auto sequential = build(raw, 20000, 6, narrow, 9999);
  expect_same_batch(parallel, sequential);

  // Wide rows (2,000 slots, 16,000 bytes) go through tiles of 262 rows.
  std::vector<ColumnMapping> wide = {
      ColumnMapping::make(VarType::numeric(), 0, 1),
      ColumnMapping::make(VarType::string(600), 1, 3),
      ColumnMapping::make(VarType::numeric(), 1999, 1),
  };
  auto wide_raw = random_rows(700, 2000, wide);
  auto tiled = build(wide_raw, 700, 2000, wide, 700);
  auto one_by_one = build(wide_raw, 700, 2000, wide, 1);
  expect_same_batch(tiled, one_by_one);
}

TEST(ColumnarBatchBuilder, StringValues) {
  struct Case {
    std::string bytes;  // the variable's slots
    size_t width;
    encoding::Encoding enc;
    std::string value;
  };
  using E = encoding::Encoding;
  const Case cases[] = {
      {"ab        ", 10, E::UTF_8, "ab"},
      {"  ab      ", 10, E::UTF_8, "  ab"},
      {std::string("ab\0\0  \0   ", 10), 10, E::UTF_8, "ab"},
      {"0123456789XXXXXX", 10, E::UTF_8, "0123456789"},  // padding bytes of the last slot unused
      {"\xE9t\xE9     ", 8, E::windows_1252, "\xC3\xA9t\xC3\xA9"},
      {"\xE9       ", 8, E::UTF_8, "\xEF\xBF\xBD"},
      // A byte-order mark selects UTF-16LE: a, U+0101.
      {std::string("\xFF\xFE"
                   "a\0\x01\x01  ",
                   8),
       8, E::windows_1252, "a\xC4\x81"},
      {"        ", 8, E::UTF_8, ""},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> raw(c.bytes.begin(), c.bytes.end());
    raw.resize((raw.size() + 7) / 8 * 8, ' ');
    size_t slots = raw.size() / 8;
    auto batch =
        build(raw, 1, slots, {ColumnMapping::make(VarType::string(c.width), 0, 1)}, 1, c.enc);
    EXPECT_EQ(text(batch, 0, 0), c.value) << c.bytes;
  }
}

TEST(ColumnarBatchBuilder, VeryLongStringJoinsSegmentsWithoutPadding) {
  auto m = ColumnMapping::make(VarType::string(600), 0, 3);
  EXPECT_EQ(m.segment_widths, (std::vector<size_t>{255, 255, 90}));
  std::vector<uint8_t> raw(96 * 8, 'P');  // padding bytes would show if used
  std::string expected;
  for (size_t seg = 0; seg < 3; ++seg) {
    size_t w = m.segment_widths[seg];
    for (size_t k = 0; k < w; ++k) {
      char ch = static_cast<char>('a' + seg);
      raw[seg * 256 + k] = static_cast<uint8_t>(ch);
      expected += ch;
    }
  }
  // Trailing blanks of the whole value go; the last segment ends in spaces.
  for (size_t k = 80; k < 90; ++k) raw[512 + k] = ' ';
  expected.resize(590);
  auto batch = build(raw, 1, 96, {m}, 1);
  EXPECT_EQ(text(batch, 0, 0), expected);
}

TEST(ReadProgress, NextRequestFollowsLimitBatchSizeAndEnd) {
  struct Case {
    std::optional<size_t> limit;
    size_t batch_size, rows_read;
    bool exhausted;
    size_t wanted, next;
  };
  const Case cases[] = {
      {std::nullopt, 100, 0, false, SIZE_MAX, 100},  // no limit: batch by batch
      {std::nullopt, 0, 0, false, SIZE_MAX, 0},      // batch size 0 asks for nothing
      {5, 100, 0, false, 5, 5},                      // the limit is smaller than a batch
      {8, 100, 5, false, 3, 3},                      // the limit counts from the start
      {3, 100, 5, false, 0, 0},                      // a limit already passed
      {250, 100, 200, false, 50, 50},
      {std::nullopt, 100, 7, true, SIZE_MAX, 0},  // the data have ended
  };
  for (const auto& c : cases) {
    ReadProgress p;
    p.row_limit = c.limit;
    p.batch_size = c.batch_size;
    p.rows_read = c.rows_read;
    p.exhausted = c.exhausted;
    EXPECT_EQ(p.rows_wanted(), c.wanted) << c.batch_size << " " << c.rows_read;
    EXPECT_EQ(p.next_batch_rows(), c.next) << c.batch_size << " " << c.rows_read;
  }
}
