// Extension records (type 7): each parsed subtype, its malformed forms, and that every record
// consumes exactly its declared body.
#include <gtest/gtest.h>

#include "dictionary_test_util.hpp"
#include "info_records/display_params.hpp"
#include "info_records/encoding_name.hpp"
#include "info_records/long_names.hpp"
#include "info_records/long_string_labels.hpp"
#include "info_records/long_string_missing.hpp"
#include "info_records/machine_info.hpp"
#include "info_records/var_attributes.hpp"
#include "info_records/very_long_strings.hpp"

using namespace korvel;
using namespace korvel::testing;
using encoding::Encoding;

namespace {

ByteSpan span_of(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

Bytes bytes_of(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

template <typename V>
std::vector<std::string> keys_of(const VarMap<V>& m) {
  std::vector<std::string> out;
  for (const auto& [k, v] : m) out.push_back(k);
  return out;
}

// A dictionary with one numeric variable "X", the given extension, and "Y" after it: "Y"
// is read correctly only when the extension consumed exactly its declared body.
RawDictionary parse_with_extension(int32_t subtype, int32_t size, int32_t count,
                                   const std::string& body, bool big = false) {
  auto b = with_header(big);
  b.numeric("X").extension(subtype, size, count, body).numeric("Y").end_dictionary();
  auto raw = parse_bytes(b.take());
  EXPECT_TRUE(raw.ok()) << raw.error().message();
  if (!raw.ok()) return {};
  EXPECT_EQ(raw->variables.size(), 2u);
  if (raw->variables.size() == 2) {
    EXPECT_EQ(as_string(raw->variables[1].raw_name), "Y");
  }
  return std::move(raw).value();
}

std::string ints(std::initializer_list<int32_t> values, bool big = false) {
  SavBuilder b(big);
  for (int32_t v : values) b.i32(v);
  return b.str();
}

TEST(DictionaryExtensions, IntegerInfo) {
  for (bool big : {false, true}) {
    auto raw = parse_with_extension(3, 4, 8, ints({21, 0, 1, 720, 1, 1, 2, 65001}, big), big);
    ASSERT_TRUE(raw.integer_info.has_value());
    EXPECT_EQ(raw.integer_info->version_major, 21);
    EXPECT_EQ(raw.integer_info->machine_code, 720);
    EXPECT_EQ(raw.integer_info->character_code, 65001);
  }
  // An unusual size: the extra integers are ignored and the loop stays in step.
  auto longer = parse_with_extension(3, 4, 10, ints({1, 2, 3, 4, 5, 6, 7, 1252, 99, 98}));
  ASSERT_TRUE(longer.integer_info.has_value());
  EXPECT_EQ(longer.integer_info->character_code, 1252);
  // Too short to hold the character code: no integer info at all.
  auto shorter = parse_with_extension(3, 4, 4, ints({1, 2, 3, 4}));
  EXPECT_FALSE(shorter.integer_info.has_value());
  auto empty = parse_with_extension(3, 4, 0, "");
  EXPECT_FALSE(empty.integer_info.has_value());
}

TEST(DictionaryExtensions, FloatInfo) {
  for (bool big : {false, true}) {
    SavBuilder body(big);
    body.f64(-1.5).f64(1e300).f64(-1e300);
    auto raw = parse_with_extension(4, 8, 3, body.str(), big);
    ASSERT_TRUE(raw.float_info.has_value());
    EXPECT_EQ(raw.float_info->sysmis, -1.5);
    EXPECT_EQ(raw.float_info->highest, 1e300);
    EXPECT_EQ(raw.float_info->lowest, -1e300);
  }
  auto shorter = parse_with_extension(4, 8, 2, std::string(16, '\0'));
  EXPECT_FALSE(shorter.float_info.has_value());
  auto longer = parse_with_extension(4, 8, 5, std::string(40, '\0'));
  EXPECT_TRUE(longer.float_info.has_value());
}

TEST(DictionaryExtensions, DisplayParameters) {
  using E = VarDisplayEntry;
  struct Case {
    int32_t size;
    int32_t count;
    std::vector<int32_t> values;
    std::vector<E> expected;
  };
  const Case cases[] = {
      {4,
       6,
       {1, 10, 0, 3, 12, 1},
       {{10, Measure::Nominal, Alignment::Left}, {12, Measure::Scale, Alignment::Right}}},
      {4,
       4,
       {2, 2, 1, 0},
       {{8, Measure::Ordinal, Alignment::Center}, {8, Measure::Nominal, Alignment::Left}}},
      {4, 3, {0, 5, 7}, {{5, Measure::Unknown, Alignment::Unknown}}},
      {4,
       5,
       {1, 1, 2, 2, 3},
       {{8, Measure::Nominal, Alignment::Right}, {8, Measure::Ordinal, Alignment::Center}}},
      // Element size 8: the count still decides the layout; values are read 4 bytes apiece.
      {8, 3, {3, 9, 2, 0, 0, 0}, {{9, Measure::Scale, Alignment::Center}}},
      // Element size 1: the body holds fewer values than the count announces.
      {1, 12, {3, 9, 2}, {{9, Measure::Scale, Alignment::Center}}},
      {4, 0, {}, {}},
  };
  for (bool big : {false, true}) {
    for (const auto& c : cases) {
      SavBuilder body(big);
      for (int32_t v : c.values) body.i32(v);
      std::string bytes = body.str();
      bytes.resize(static_cast<size_t>(c.size) * static_cast<size_t>(c.count), '\0');
      auto raw = parse_with_extension(11, c.size, c.count, bytes, big);
      EXPECT_EQ(raw.display_entries, c.expected) << "size " << c.size << " count " << c.count;
    }
  }
}

TEST(DictionaryExtensions, LongNames) {
  using P = std::pair<std::string, std::string>;
  struct Case {
    std::string body;
    Encoding encoding;
    std::vector<P> expected;
  };
  const Case cases[] = {
      {"a=Age\tb = Birth Date\t\tc\tD = Dept \t",
       Encoding::UTF_8,
       {{"A", "Age"}, {"B", "Birth Date"}, {"D", "Dept"}}},
      // A long name may itself contain "=".
      {"X=a=b", Encoding::UTF_8, {{"X", "a=b"}}},
      // Not UTF-8: read in the file's encoding, the short name upper-cased after decoding.
      {"V\xd6LLIG=v\xf6llig\tsp\xe4=Spa\xdf",
       Encoding::windows_1252,
       {{"V\xC3\x96LLIG", "v\xC3\xB6llig"}, {"SP\xC3\x84", "Spa\xC3\x9F"}}},
      // A non-breaking space (0xA0 in windows-1252) is trimmed like any white space.
      {"A=\xa0x\xa0", Encoding::windows_1252, {{"A", "x"}}},
      // Valid UTF-8 stands as it is whatever the encoding; in a UTF-8 file bad bytes are U+FFFD.
      {"\xc3\xa4=\xc3\xa4x", Encoding::windows_1252, {{"\xC3\x84", "\xC3\xA4x"}}},
      {"V\xd6LLIG=v\xf6llig", Encoding::UTF_8, {{"V\xEF\xBF\xBDLLIG", "v\xEF\xBF\xBDllig"}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_long_names(span_of(c.body), c.encoding), c.expected) << c.body;
  }
}

TEST(DictionaryExtensions, VeryLongStrings) {
  std::string body("LONGSTR=01000\0\tX=abc\0\tY=+5\0\t", 29);
  using P = std::pair<std::string, size_t>;
  EXPECT_EQ(parse_very_long_strings(span_of(body), Encoding::UTF_8),
            (std::vector<P>{{"LONGSTR", 1000}, {"Y", 5}}));
  std::string bad("a=-5\0b=+\0c=\0d=99999999999999999999999\0e\0f= 12 \0", 48);
  EXPECT_EQ(parse_very_long_strings(span_of(bad), Encoding::UTF_8), (std::vector<P>{{"F", 12}}));
  std::string latin("l\xe4ng=300\0", 9);
  EXPECT_EQ(parse_very_long_strings(span_of(latin), Encoding::windows_1252),
            (std::vector<P>{{"L\xC3\x84NG", 300}}));
}

TEST(DictionaryExtensions, VariableAttributes) {
  using Attrs = std::vector<std::pair<std::string, std::vector<std::string>>>;
  struct Case {
    std::string text;
    std::vector<VarAttributeSet> expected;
  };
  const std::vector<Case> cases = {
      {"Q1:Label('Age'\n)Note('a'\n'b'\n)/Q2:$@Role('1'\n)",
       {{"Q1", Attrs{{"Label", {"Age"}}, {"Note", {"a", "b"}}}}, {"Q2", Attrs{{"$@Role", {"1"}}}}}},
      {"Q1:Path('a/b'\n)", {{"Q1", Attrs{{"Path", {"a/b"}}}}}},
      {"Q1:Say('It''s'\n)", {{"Q1", Attrs{{"Say", {"It", "s"}}}}}},
      {"Q1:('x'\n)", {}},
      {"Q1:('x'\n)Keep('y'\n)", {{"Q1", Attrs{{"Keep", {"y"}}}}}},
      {"q1 : Empty()  Two('1'\n'2'\n)", {{"q1", Attrs{{"Empty", {}}, {"Two", {"1", "2"}}}}}},
      {"noColon('x')/Q3:A('v'\n)", {{"Q3", Attrs{{"A", {"v"}}}}}},
      {"Q1:Open('unclosed", {{"Q1", Attrs{{"Open", {"unclosed"}}}}}},
      {std::string("Q1:A('v'\n)\0\0\0", 13), {{"Q1", Attrs{{"A", {"v"}}}}}},
      {"Q1:NoParen", {}},
      {"", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_var_attributes(span_of(c.text), Encoding::UTF_8), c.expected) << c.text;
  }
  // Not UTF-8: names and values read in the file's encoding; names keep their case.
  EXPECT_EQ(
      parse_var_attributes(span_of("\xfc"
                                   "ber:Not\xe9('caf\xe9'\n'\x80'\n)"),
                           Encoding::windows_1252),
      (std::vector<VarAttributeSet>{{"\xC3\xBC"
                                     "ber",
                                     Attrs{{"Not\xC3\xA9", {"caf\xC3\xA9", "\xE2\x82\xAC"}}}}}));
}

TEST(DictionaryExtensions, EncodingName) {
  std::string body("windows-1252\0\0  ", 16);
  EXPECT_EQ(parse_encoding_name(span_of(body)), "windows-1252");
  EXPECT_EQ(parse_encoding_name({}), "");
  auto raw = parse_with_extension(20, 1, 5, "UTF-8");
  EXPECT_EQ(raw.encoding_name, std::optional<std::string>("UTF-8"));
}

// Builds a subtype-21 block.
void label_block(SavBuilder& b, std::string_view name, int32_t width,
                 const std::vector<std::pair<std::string, std::string>>& labels) {
  b.i32(static_cast<int32_t>(name.size())).bytes(name).i32(width);
  b.i32(static_cast<int32_t>(labels.size()));
  for (const auto& [v, l] : labels) {
    b.i32(static_cast<int32_t>(v.size())).bytes(v).i32(static_cast<int32_t>(l.size())).bytes(l);
  }
}

TEST(DictionaryExtensions, LongStringLabels) {
  for (bool big : {false, true}) {
    SavBuilder body(big);
    label_block(body, " Comment ", 20, {{"apple               ", "Apple"}, {"pear", "Pear"}});
    label_block(body, "Other", 9, {{"x", "X label"}});
    auto sets = parse_long_string_labels(body.data(), big);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].var_name, bytes_of(" Comment "));  // decoded in resolution
    ASSERT_EQ(sets[0].labels.size(), 2u);
    EXPECT_EQ(sets[0].labels[0].first, bytes_of("apple               "));
    EXPECT_EQ(sets[0].labels[0].second, bytes_of("Apple"));
    EXPECT_EQ(sets[0].labels[1].second, bytes_of("Pear"));
    EXPECT_EQ(sets[1].var_name, bytes_of("Other"));

    auto raw = parse_with_extension(21, 1, static_cast<int32_t>(body.size()), body.str(), big);
    EXPECT_EQ(raw.long_string_labels, sets);
  }
}

TEST(DictionaryExtensions, LongStringLabelsCutShort) {
  SavBuilder body;
  label_block(body, "S", 20, {{"a", "first"}, {"b", "second label"}});
  std::string bytes = body.str();
  // The last label's text is cut off: the set keeps the label before it.
  auto cut = parse_long_string_labels(span_of(bytes.substr(0, bytes.size() - 3)), false);
  ASSERT_EQ(cut.size(), 1u);
  ASSERT_EQ(cut[0].labels.size(), 1u);
  EXPECT_EQ(cut[0].labels[0].second, bytes_of("first"));

  // A name that runs past the end, a negative name length, a missing width/count pair.
  SavBuilder past;
  past.i32(50).bytes("S");
  EXPECT_TRUE(parse_long_string_labels(past.data(), false).empty());
  SavBuilder negative;
  negative.i32(-3).bytes("SSSSSSSSSSSS");
  EXPECT_TRUE(parse_long_string_labels(negative.data(), false).empty());
  SavBuilder no_count;
  no_count.i32(1).bytes("S").i32(20);
  EXPECT_TRUE(parse_long_string_labels(no_count.data(), false).empty());

  // A negative value length ends the record after the labels before it; later blocks are not
  // read.
  SavBuilder neg_value;
  neg_value.i32(1).bytes("S").i32(20).i32(3);
  neg_value.i32(1).bytes("a").i32(1).bytes("A");
  neg_value.i32(-1);
  label_block(neg_value, "T", 20, {{"t", "T"}});
  auto sets = parse_long_string_labels(neg_value.data(), false);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].labels.size(), 1u);

  // A negative label count gives a set without labels and ends the record.
  SavBuilder neg_count;
  neg_count.i32(1).bytes("S").i32(20).i32(-1);
  label_block(neg_count, "T", 20, {{"t", "T"}});
  auto neg = parse_long_string_labels(neg_count.data(), false);
  ASSERT_EQ(neg.size(), 1u);
  EXPECT_TRUE(neg[0].labels.empty());
}

void missing_block(SavBuilder& b, std::string_view name, uint8_t count, int32_t len,
                   std::string_view values) {
  b.i32(static_cast<int32_t>(name.size())).bytes(name).u8(count).i32(len).bytes(values);
}

TEST(DictionaryExtensions, LongStringMissing) {
  for (bool big : {false, true}) {
    SavBuilder body(big);
    missing_block(body, "NAME", 2, 8, "UnknownXNone    ");
    missing_block(body, "EMPTY", 2, 0, "");
    auto entries = parse_long_string_missing(body.data(), big);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].var_name, bytes_of("NAME"));
    EXPECT_EQ(entries[0].count, 2);
    EXPECT_EQ(entries[0].values, (std::vector<Bytes>{bytes_of("UnknownX"), bytes_of("None    ")}));
    EXPECT_EQ(entries[1].values, (std::vector<Bytes>{{}, {}}));
    auto raw = parse_with_extension(22, 1, static_cast<int32_t>(body.size()), body.str(), big);
    EXPECT_EQ(raw.long_string_missing, entries);
  }

  // A value cut off: the values before it stay, and the record ends.
  SavBuilder cut;
  missing_block(cut, "A", 3, 4, "aaaabbbbcc");
  auto c = parse_long_string_missing(cut.data(), false);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].count, 3);
  EXPECT_EQ(c[0].values, (std::vector<Bytes>{bytes_of("aaaa"), bytes_of("bbbb")}));

  // No room for the count byte and value length: the block is dropped.
  SavBuilder short_block;
  short_block.i32(1).bytes("A").u8(1).bytes("xy");
  EXPECT_TRUE(parse_long_string_missing(short_block.data(), false).empty());

  // A negative value length reads no values.
  SavBuilder negative;
  missing_block(negative, "A", 2, -8, "aaaaaaaabbbbbbbb");
  auto n = parse_long_string_missing(negative.data(), false);
  ASSERT_EQ(n.size(), 1u);
  EXPECT_TRUE(n[0].values.empty());
}

TEST(DictionaryExtensions, LaterRecordOfTheSameKindReplacesEarlier) {
  auto b = with_header();
  b.numeric("X");
  b.text_extension(13, "X=first");
  b.text_extension(13, "X=second");
  b.text_extension(7, "$a=C 1 a X\n$b=C 1 b X");
  b.text_extension(19, "$c=C 1 c second");  // subtype 19 names members by their long names
  b.text_extension(18, "X:A('1'\n)");
  b.text_extension(18, "X:B('2'\n)");
  b.end_dictionary();
  auto raw = parse_bytes(b.take());
  ASSERT_TRUE(raw.ok());
  // The text bodies are kept undecoded until resolution.
  EXPECT_EQ(raw->long_names_body, bytes_of("X=second"));
  EXPECT_EQ(raw->mr_sets_body, bytes_of("$c=C 1 c second"));
  EXPECT_TRUE(raw->mr_sets_v2);
  EXPECT_EQ(raw->variable_attributes_body, bytes_of("X:B('2'\n)"));
  const SpssMetadata md = resolve_dictionary(std::move(raw).value()).metadata;
  EXPECT_EQ(md.variable_names, (std::vector<std::string>{"second"}));
  EXPECT_EQ(keys_of(md.mr_sets), (std::vector<std::string>{"c"}));
  ASSERT_NE(md.variable_attributes.find("second"), nullptr);
  EXPECT_EQ(md.variable_attributes.find("second")->size(), 1u);
  EXPECT_NE(md.variable_attributes.find("second")->find("B"), nullptr);

  // Subtype 7 after 19 wins too, and an MR record without a valid line still replaces.
  auto b2 = with_header();
  b2.numeric("X").text_extension(19, "$c=C 1 c X").text_extension(7, "$a=C 1 a X");
  b2.text_extension(7, "nothing valid").end_dictionary();
  auto raw2 = parse_bytes(b2.take());
  ASSERT_TRUE(raw2.ok());
  EXPECT_FALSE(raw2->mr_sets_v2);
  EXPECT_TRUE(resolve_dictionary(std::move(raw2).value()).metadata.mr_sets.empty());
}

}  // namespace
