// Arrow data types and their C Data Interface format strings.
#include <gtest/gtest.h>

#include <string>

#include "arrow/types.hpp"
#include "arrow_test_util.hpp"

using namespace korvel::arrow;
using namespace korvel::arrow::testing;
using korvel::SpssError;

// The format strings in the order and with the words of the Arrow C Data Interface's own list
// (arrow.apache.org/docs/format/CDataInterface.html, "Data type description"), so that a wrong
// entry in our table shows as a disagreement with Arrow's documentation. The formats the
// reader exports are also checked against pyarrow's (tests/python/test_read_consumers.py).
TEST(ArrowTypes, FormatStringsRoundTripAndDisplay) {
  struct Case {
    const char* format;
    const char* description;  // Arrow's description of the format
    TypeId id;
    const char* display;
  } cases[] = {
      {"n", "null", TypeId::Null, "Null"},
      {"b", "boolean", TypeId::Boolean, "Boolean"},
      {"c", "int8", TypeId::Int8, "Int8"},
      {"C", "uint8", TypeId::UInt8, "UInt8"},
      {"s", "int16", TypeId::Int16, "Int16"},
      {"S", "uint16", TypeId::UInt16, "UInt16"},
      {"i", "int32", TypeId::Int32, "Int32"},
      {"I", "uint32", TypeId::UInt32, "UInt32"},
      {"l", "int64", TypeId::Int64, "Int64"},
      {"L", "uint64", TypeId::UInt64, "UInt64"},
      {"e", "float16", TypeId::Float16, "Float16"},
      {"f", "float32", TypeId::Float32, "Float32"},
      {"g", "float64", TypeId::Float64, "Float64"},
      {"z", "binary", TypeId::Binary, "Binary"},
      {"Z", "large binary", TypeId::LargeBinary, "LargeBinary"},
      {"vz", "binary view", TypeId::BinaryView, "BinaryView"},
      {"u", "utf-8 string", TypeId::Utf8, "Utf8"},
      {"U", "large utf-8 string", TypeId::LargeUtf8, "LargeUtf8"},
      {"vu", "utf-8 view", TypeId::Utf8View, "Utf8View"},
      {"d:10,2", "decimal128 [precision 10, scale 2]", TypeId::Other, "Decimal"},
      {"w:16", "fixed-width binary [16 bytes]", TypeId::Other, "FixedSizeBinary"},
      {"tdD", "date32 [days]", TypeId::Date32, "Date32"},
      {"tdm", "date64 [milliseconds]", TypeId::Date64, "Date64"},
      {"tts", "time32 [seconds]", TypeId::Time32, "Time32(Second)"},
      {"ttm", "time32 [milliseconds]", TypeId::Time32, "Time32(Millisecond)"},
      {"ttu", "time64 [microseconds]", TypeId::Time64, "Time64(Microsecond)"},
      {"ttn", "time64 [nanoseconds]", TypeId::Time64, "Time64(Nanosecond)"},
      {"tss:UTC", "timestamp [seconds] with timezone UTC", TypeId::Timestamp,
       "Timestamp(Second, Some(\"UTC\"))"},
      {"tsu:", "timestamp [microseconds], no timezone", TypeId::Timestamp,
       "Timestamp(Microsecond, None)"},
      {"tsn:Europe/Paris", "timestamp [nanoseconds] with timezone Europe/Paris", TypeId::Timestamp,
       "Timestamp(Nanosecond, Some(\"Europe/Paris\"))"},
      {"tDm", "duration [milliseconds]", TypeId::Duration, "Duration(Millisecond)"},
      {"tDu", "duration [microseconds]", TypeId::Duration, "Duration(Microsecond)"},
      {"+l", "list", TypeId::Other, "List"},
      {"+s", "struct", TypeId::Other, "Struct"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.format) + ": " + c.description);
    DataType t = take(parse_format(c.format));
    EXPECT_EQ(t.id, c.id);
    EXPECT_EQ(format_string(t), c.format);
    EXPECT_EQ(to_string(t), c.display);
  }
  EXPECT_EQ(take(parse_format("tsu:")), DataType::timestamp(TimeUnit::Microsecond));
  EXPECT_FALSE(take(parse_format("tsu:UTC")) == DataType::timestamp(TimeUnit::Microsecond));
  for (const char* bad : {"", "x", "gg", "ts", "tsx:", "tDx", "tsu", "t"}) {
    auto r = korvel::from_arrow(parse_format(bad));
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_EQ(r.error().kind(), SpssError::Kind::Arrow);
  }
}
