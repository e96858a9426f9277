// Export through the C Data and C Stream interfaces.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "arrow/builders.hpp"
#include "arrow/export.hpp"
#include "arrow/import.hpp"
#include "arrow/record_batch.hpp"
#include "arrow/temporal.hpp"
#include "arrow_test_util.hpp"

using namespace korvel::arrow;
using namespace korvel::arrow::testing;

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
  Float64Builder f(kNullBits);
  for (double v : {1.0, 2.5, -3.0}) EXPECT_TRUE(f.append(v).ok());
  EXPECT_TRUE(f.append_null().ok());
  ArrayRef nums = take(f.finish());
  StringViewBuilder s(true);
  for (const char* v : {"short", "a rather long string value", "", "a rather long string value"})
    EXPECT_TRUE(s.append(v).ok());
  ArrayRef strs = take(s.finish());
  Float64Builder t(kNullBits);
  for (double v : {0.0, 12219379200.5, 3661.25}) EXPECT_TRUE(t.append(v).ok());
  EXPECT_TRUE(t.append_null().ok());
  ArrayRef secs = take(t.finish());
  auto schema = schema_of({{"num", TypeId::Float64, true},
                           {"str", TypeId::Utf8View, true},
                           {"date", TypeId::Date32, true},
                           {"ts", DataType::timestamp(TimeUnit::Microsecond), true},
                           {"dur", DataType::duration(TimeUnit::Microsecond), true}});
  return take(make_record_batch(
      schema,
      {nums, strs, take(convert_float64_to_temporal(*secs, TemporalKind::Date, kOriginDays)),
       take(convert_float64_to_temporal(*secs, TemporalKind::Timestamp, kOriginDays)),
       take(convert_float64_to_temporal(*secs, TemporalKind::Duration, kOriginDays))}));
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
  Float64Builder fb(kNullBits);
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
  auto r = korvel::from_arrow(import_stream(&stream));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(),
            "arrow error: C Data interface error: Cannot get schema from input stream. Error "
            "code: 22: Not yet implemented: export of field 'l' of type List");

  // Batches must match the stream's schema.
  auto other = schema_of({{"x", TypeId::Float64, true}});
  EXPECT_FALSE(export_stream(other, {sample_batch()}, &stream).ok());
}
