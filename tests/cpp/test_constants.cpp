#include <gtest/gtest.h>

#include "constants.hpp"

using korvel::SpssFormat;

TEST(SpssFormat, ParsesTextForms) {
  struct Case {
    const char* text;
    uint8_t type, width, decimals;
  };
  const Case cases[] = {
      {"F8.2", 5, 8, 2},
      {" f8.2 ", 5, 8, 2},
      {"DATETIME20", 22, 20, 0},
      {"A255", 1, 255, 0},
      {"F", 5, 8, 0},
      {"A", 1, 8, 0},
      {"F10", 5, 10, 0},
      {"F+10.+2", 5, 10, 2},
      {"F300.400", 5, 255, 255},
      {"A8.3", 1, 8, 3},
      {"\u00a0comma10.0", 3, 10, 0},
      {"ymdhms19", 41, 19, 0},
      {"F4294967295", 5, 255, 0},
  };
  for (const auto& c : cases) {
    auto f = SpssFormat::from_string(c.text);
    ASSERT_TRUE(f.has_value()) << c.text;
    EXPECT_EQ(f->format_type, c.type) << c.text;
    EXPECT_EQ(f->width, c.width) << c.text;
    EXPECT_EQ(f->decimals, c.decimals) << c.text;
  }
}

TEST(SpssFormat, RejectsNonFormats) {
  for (const char* text : {"F8.", "F.2", "F-8", "X8", "", "   ", "F8.2x", "F+", "F8.-1",
                           "F4294967296", "DATE 11", "F8..2"}) {
    EXPECT_FALSE(SpssFormat::from_string(text).has_value()) << "'" << text << "'";
  }
}

TEST(SpssFormat, TextForm) {
  struct Case {
    SpssFormat f;
    const char* text;
  };
  const Case cases[] = {
      {{5, 8, 0}, "F8.0"},       {{20, 11, 0}, "DATE11"},   {{21, 11, 2}, "TIME11"},
      {{3, 10, 0}, "COMMA10.0"}, {{1, 8, 0}, "A8"},         {{22, 20, 3}, "DATETIME20"},
      {{26, 9, 0}, "WKDAY9"},    {{41, 19, 0}, "YMDHMS19"}, {{17, 10, 3}, "E10.3"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.f.to_string().value(), c.text);
  EXPECT_FALSE((SpssFormat{0, 8, 2}.to_string().has_value()));
}

TEST(SpssFormat, FromWord) {
  EXPECT_EQ(SpssFormat::from_word(0x00050802), (SpssFormat{5, 8, 2}));
  // Invalid type codes become unknown; width and decimals are kept.
  EXPECT_EQ(SpssFormat::from_word(0x000D0A00), (SpssFormat{0, 10, 0}));
  EXPECT_EQ(SpssFormat::from_word(0xFF2A0800), (SpssFormat{0, 8, 0}));
  // Bits 24 to 31 are ignored.
  EXPECT_EQ(SpssFormat::from_word(0x7F140B00), (SpssFormat{20, 11, 0}));
}

TEST(FormatTypes, ValidCodesAndClasses) {
  for (uint32_t code = 0; code < 256; ++code) {
    bool valid =
        (code >= 1 && code <= 12) || (code >= 15 && code <= 17) || (code >= 20 && code <= 41);
    EXPECT_EQ(korvel::is_valid_format_type(code), valid) << code;
  }
  EXPECT_TRUE(korvel::is_date_format(39));
  EXPECT_FALSE(korvel::is_date_format(26));
  EXPECT_TRUE(korvel::is_duration_format(40));
  EXPECT_TRUE(korvel::is_datetime_format(41));
  EXPECT_TRUE(korvel::format_prints_without_decimals(27));
  EXPECT_FALSE(korvel::format_prints_without_decimals(31));
  EXPECT_TRUE(korvel::format_prints_without_decimals(30));
}

TEST(Enumerations, CodesAndTextForms) {
  using namespace korvel;
  EXPECT_EQ(to_string(measure_from_code(1)), "nominal");
  EXPECT_EQ(to_string(measure_from_code(3)), "scale");
  EXPECT_EQ(to_string(measure_from_code(0)), "unknown");
  EXPECT_EQ(to_string(alignment_from_code(0)), "left");
  EXPECT_EQ(to_string(alignment_from_code(2)), "center");
  EXPECT_EQ(to_string(alignment_from_code(7)), "unknown");
  EXPECT_EQ(to_string(Role::Partition), "partition");
  EXPECT_EQ(to_string(Compression::Zlib), "zlib");
  EXPECT_EQ(to_string(MrType::Dichotomy), "dichotomy");
  EXPECT_EQ(role_from_string("split"), Role::Split);
  EXPECT_FALSE(role_from_string("Split").has_value());
  EXPECT_EQ(compression_from_string("bytecode"), Compression::Bytecode);
  EXPECT_EQ(static_cast<int>(Role::Input), 0);
  EXPECT_EQ(static_cast<int>(Measure::Unknown), 0);
}
