// Multiple-response set text (extension subtypes 7 and 19).
#include <gtest/gtest.h>

#include "info_records/mr_sets.hpp"

using namespace korvel;

namespace {

std::vector<RawMrSet> parse(std::string_view text, bool is_v2 = false,
                            encoding::Encoding e = encoding::Encoding::UTF_8) {
  return parse_mr_sets_inner({reinterpret_cast<const uint8_t*>(text.data()), text.size()}, is_v2,
                             e);
}

RawMrSet set(std::string name, std::string label, MrType type, std::optional<std::string> counted,
             std::vector<std::string> vars, bool v2 = false) {
  RawMrSet s;
  s.name = std::move(name);
  s.label = std::move(label);
  s.mr_type = type;
  s.counted_value = std::move(counted);
  s.variables = std::move(vars);
  s.is_v2 = v2;
  return s;
}

constexpr auto C = MrType::Category;
constexpr auto D = MrType::Dichotomy;

TEST(MrSetText, LineSyntax) {
  struct Case {
    std::string line;
    std::vector<RawMrSet> expected;
  };
  const std::vector<Case> cases = {
      {"$q5=C 7 Sources Q5_TV Q5_RADIO",
       {set("q5", "Sources", C, std::nullopt, {"Q5_TV", "Q5_RADIO"})}},
      {"$q6=D1 1 7 Sources a b", {set("q6", "Sources", D, "1", {"a", "b"})}},
      {"$q7=E 11 1 1 7 Sources a b", {set("q7", "Sources", D, "1", {"a", "b"})}},
      {"$q=E1 1 1 7 Sources a b", {set("q", "Sources", D, "1", {"a", "b"})}},
      // No white space allowed between "D" and the length.
      {"$q=D 1 1 7 Sources a b", {}},
      {"$q=C 10 Short a b", {set("q", "Short a b", C, std::nullopt, {})}},
      {"$q=C 0  a b", {set("q", "", C, std::nullopt, {"a", "b"})}},
      {"$q=D5 1 7 Sources", {}},
      {"$q=D9 1", {}},
      {"$q=D0 0  x", {set("q", "", D, "", {"x"})}},
      {"$q=D3 Yes 4 Pets cat\tdog  bird", {set("q", "Pets", D, "Yes", {"cat", "dog", "bird"})}},
      {"$=C 1 x a", {set("", "x", C, std::nullopt, {"a"})}},
      {"$q=C 3 Set", {set("q", "Set", C, std::nullopt, {})}},
      {"q5=C 7 Sources a", {}},
      {"$q5 C 7 Sources a", {}},
      {"$q5=X 7 Sources a", {}},
      {"$q5=c 7 Sources a", {}},
      {"$q5=", {}},
      {"$q5=C Sources a", {}},
      {"$q5=C 99999999999999999999999 a", {}},
      {"$q=C 7 Sources a\r", {set("q", "Sources", C, std::nullopt, {"a"})}},
      {std::string("\0\0$q=C 1 x a\0", 13), {set("q", "x", C, std::nullopt, {"a"})}},
      {"  $q=C 1 x a  ", {set("q", "x", C, std::nullopt, {"a"})}},
      // Names with "." and non-ASCII characters; a label with a multi-byte character.
      {"$s.1=C 5 \xc3\xa9t\xc3\xa9 \xc3\xa4 b",
       {set("s.1", "\xc3\xa9t\xc3\xa9", C, std::nullopt, {"\xc3\xa4", "b"})}},
      // A label length ending inside a multi-byte character: the line is skipped.
      {"$s=C 1 \xc3\xa9 a", {}},
      // In a UTF-8 file a byte that is not UTF-8 becomes U+FFFD; lengths count stored bytes.
      {"$s=C 1 \xe9 a", {set("s", "\xEF\xBF\xBD", C, std::nullopt, {"a"})}},
      {"$s=C 3 \xe9 a", {set("s", "\xEF\xBF\xBD a", C, std::nullopt, {})}},
  };
  for (const auto& c : cases) EXPECT_EQ(parse(c.line), c.expected) << c.line;
}

TEST(MrSetText, TextThatIsNotUtf8IsReadInTheFilesEncoding) {
  const auto cp1252 = encoding::Encoding::windows_1252;
  const std::string uber =
      "\xC3\xBC"
      "ber";
  struct Case {
    std::string line;
    std::vector<RawMrSet> expected;
  };
  const std::vector<Case> cases = {
      // Lengths count the stored bytes, as the writer counted them; the pieces are decoded.
      {"$s\xe4tze=D1 \xe9 8 Qualit\xe4t \xfc"
       "ber b",
       {set("s\xC3\xA4tze", "Qualit\xC3\xA4t", D, "\xC3\xA9", {uber, "b"})}},
      // The line as GNU PSPP writes it for a windows-1252 dictionary.
      {"$s\xe4tze=C 13 Qualit\xe4t \xfc"
       "bel \xfc"
       "ber a b",
       {set("s\xC3\xA4tze",
            "Qualit\xC3\xA4t \xC3\xBC"
            "bel",
            C, std::nullopt, {uber, "a", "b"})}},
      {"$s=E 1 2 \x80\x80 2 \xe9\xe9 a",
       {set("s", "\xC3\xA9\xC3\xA9", D, "\xE2\x82\xAC\xE2\x82\xAC", {"a"})}},
      // A label longer than the rest of the line.
      {"$s=C 9 \xe9t\xe9 ", {set("s", "\xC3\xA9t\xC3\xA9", C, std::nullopt, {})}},
      // Valid UTF-8 stands as it is in a file of any encoding.
      {"$s=C 2 \xc3\xa9 a", {set("s", "\xC3\xA9", C, std::nullopt, {"a"})}},
  };
  for (const auto& c : cases) EXPECT_EQ(parse(c.line, false, cp1252), c.expected) << c.line;
  // Each line is judged on its own.
  EXPECT_EQ(parse("$a=C 2 \xc3\xa9 x\n$b=C 1 \xe9 y", false, cp1252),
            (std::vector{set("a", "\xC3\xA9", C, std::nullopt, {"x"}),
                         set("b", "\xC3\xA9", C, std::nullopt, {"y"})}));
}

TEST(MrSetText, LinesAreIndependent) {
  auto sets = parse("$a=C 1 x v1\nbroken line\n$b=D1 2 1 y v2 v3\n\n$a=C 1 z v4\n");
  ASSERT_EQ(sets.size(), 3u);
  EXPECT_EQ(sets[0].name, "a");
  EXPECT_EQ(sets[1], set("b", "y", D, "2", {"v2", "v3"}));
  EXPECT_EQ(sets[2].label, "z");
}

TEST(MrSetText, SubtypeNineteenMarksSets) {
  auto sets = parse("$s=C 3 Set Q1 Q2", true);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0], set("s", "Set", C, std::nullopt, {"Q1", "Q2"}, true));
  EXPECT_TRUE(parse("", true).empty());
}

TEST(MrSetText, ParseNumber) {
  auto r = parse_decimal_prefix("123 rest");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->first, 123u);
  EXPECT_EQ(r->second, " rest");
  EXPECT_EQ(parse_decimal_prefix("18446744073709551615")->first, UINT64_MAX);
  EXPECT_EQ(parse_decimal_prefix("0")->second, "");
  EXPECT_FALSE(parse_decimal_prefix("18446744073709551616").has_value());
  EXPECT_FALSE(parse_decimal_prefix("").has_value());
  EXPECT_FALSE(parse_decimal_prefix(" 1").has_value());
  EXPECT_FALSE(parse_decimal_prefix("+1").has_value());
  EXPECT_FALSE(parse_decimal_prefix("-1").has_value());
  EXPECT_FALSE(parse_decimal_prefix("x1").has_value());
}

}  // namespace
