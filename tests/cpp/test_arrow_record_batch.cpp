// Record batches checked against their schema.
#include <gtest/gtest.h>

#include "arrow/builders.hpp"
#include "arrow/record_batch.hpp"
#include "arrow_test_util.hpp"

using namespace korvel::arrow;
using namespace korvel::arrow::testing;
using korvel::SpssError;

// ---------------------------------------------------------------- record batches

TEST(RecordBatch, ChecksAgainstTheSchema) {
  Float64Builder fb(kNullBits);
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
    auto r = korvel::from_arrow(make_record_batch(c.schema, c.columns));
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
