#include <gtest/gtest.h>

#include <cerrno>

#include "error.hpp"

using korvel::Result;
using korvel::SpssError;

TEST(SpssError, DisplayMessages) {
  struct Case {
    SpssError error;
    const char* message;
  };
  const Case cases[] = {
      {SpssError::unexpected_eof(), "I/O error: failed to fill whole buffer"},
      {SpssError::invalid_magic({0x50, 0x4B, 0x03, 0x04}),
       "invalid magic number: expected \"$FL2\" or \"$FL3\", found [80, 75, 3, 4]"},
      {SpssError::unsupported_compression(-1), "unsupported compression type: -1"},
      {SpssError::unsupported_compression(3), "unsupported compression type: 3"},
      {SpssError::unexpected_record_type(8, 2048), "unexpected record type 8 at offset 2048"},
      {SpssError::invalid_variable("column not found: \"abc\""),
       "invalid variable record: column not found: \"abc\""},
      {SpssError::zlib("single block decompression buffer too small"),
       "zlib decompression failed: single block decompression buffer too small"},
      {SpssError::arrow("Invalid argument error: x"), "arrow error: Invalid argument error: x"},
      {SpssError::truncated_file(80, 16), "truncated file: expected 80 bytes, got 16"},
      {SpssError::invalid_value_label("type 4 record with 0 variables"),
       "invalid value label record: type 4 record with 0 variables"},
      {SpssError::write("bad"), "write error: bad"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.message(), c.message);
}

TEST(SpssError, OsErrorCarriesSystemText) {
  std::string m = SpssError::os(ENOENT).message();
  EXPECT_EQ(m.rfind("I/O error: ", 0), 0u);
  EXPECT_NE(m.find("No such file or directory"), std::string::npos);
  EXPECT_EQ(SpssError::os(ENOENT).kind(), SpssError::Kind::Io);
}

namespace {
Result<int> half(int x) {
  if (x % 2) return SpssError::write("odd");
  return x / 2;
}
Result<int> quarter(int x) {
  KORVEL_ASSIGN_OR_RETURN(int h, half(x));
  KORVEL_ASSIGN_OR_RETURN(int q, half(h));
  return q;
}
}  // namespace

TEST(Result, PropagatesTheFirstError) {
  EXPECT_EQ(*quarter(8), 2);
  auto r = quarter(6);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "write error: odd");
}
