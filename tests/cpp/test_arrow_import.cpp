// Import of other producers' arrays, schemas and streams.
#include <gtest/gtest.h>

#include <cerrno>
#include <limits>
#include <string>

#include "arrow/builders.hpp"
#include "arrow/import.hpp"
#include "arrow/record_batch.hpp"
#include "arrow_test_util.hpp"

using namespace korvel::arrow;
using namespace korvel::arrow::testing;
using korvel::SpssError;

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
    auto r = korvel::from_arrow(import_record_batch(&root, schema_of({{"c", c.type, true}})));
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
  auto r = korvel::from_arrow(import_record_batch(&root, schema_of({})));
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
    auto r = korvel::from_arrow(import_schema(&c.schema));
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
    auto next = korvel::from_arrow(reader.next());
    ASSERT_FALSE(next.ok());
    EXPECT_EQ(next.error().message(), "arrow error: C Data interface error: disk on fire");
    EXPECT_EQ(g_fake_schema_releases, 1);  // the schema; the stream goes with the reader
  }
  EXPECT_EQ(g_fake_schema_releases, 2);

  // A stream already released (or taken over) cannot be imported again.
  auto again = korvel::from_arrow(import_stream(&stream));
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().message(),
            "arrow error: C Data interface error: input stream is already released");
}
