// Names and the other name-like texts (long names, widths, attributes, multiple-response sets,
// long-string record names) of files whose bytes are not UTF-8: read in the file's encoding.
#include <gtest/gtest.h>

#include "dictionary_test_util.hpp"

using namespace korvel;
using namespace korvel::testing;

namespace {

// How a test file declares its encoding.
struct Declared {
  const char* name = nullptr;  // subtype 20
  int32_t code = 0;            // integer info's character code; 0 for no integer info
};

SavBuilder& declare(SavBuilder& b, const Declared& d) {
  if (d.code != 0) b.integer_info(d.code);
  if (d.name) b.text_extension(20, d.name);
  return b;
}

template <typename V>
std::vector<std::string> keys(const VarMap<V>& m) {
  std::vector<std::string> out;
  for (const auto& [k, v] : m) out.push_back(k);
  return out;
}

TEST(DictionaryNames, ShortNamesAreDecodedThenUpperCased) {
  struct Case {
    std::string raw;  // the stored 8-byte name, padded with spaces
    Declared declared;
    std::string expected;
  };
  const Case cases[] = {
      {"\xDC"
       "BER",
       {"windows-1252", 0},
       "\xC3\x9C"
       "BER"},
      // Upper-casing works on the decoded text.
      {"\xFC"
       "ber",
       {"windows-1252", 0},
       "\xC3\x9C"
       "BER"},
      // No declaration at all: windows-1252.
      {"\xDC"
       "BER",
       {},
       "\xC3\x9C"
       "BER"},
      // The character code decides when there is no subtype 20.
      {"\xE4\xE0", {nullptr, 1251}, "\xD0\x94\xD0\x90"},  // "да" -> "ДА"
      {"\x83\x41", {nullptr, 932}, "\xE3\x82\xA2"},       // Shift_JIS katakana A
      // Valid UTF-8 stands as it is, whatever the file declares.
      {"\xC3\xA4ge", {"windows-1252", 0}, "\xC3\x84GE"},
      {"\xC3\xA4ge", {nullptr, 1251}, "\xC3\x84GE"},
      // A UTF-8 file with a byte that is not UTF-8 keeps U+FFFD.
      {"\xDC"
       "BER",
       {"UTF-8", 0},
       "\xEF\xBF\xBD"
       "BER"},
      {"\xDC"
       "BER",
       {nullptr, 65001},
       "\xEF\xBF\xBD"
       "BER"},
  };
  for (const auto& c : cases) {
    auto b = with_header();
    b.numeric(c.raw);
    declare(b, c.declared).end_dictionary();
    ResolvedDictionary d = resolve_bytes(b.take());
    ASSERT_EQ(d.variables.size(), 1u) << c.raw;
    EXPECT_EQ(d.variables[0].short_name, c.expected) << c.raw;
    EXPECT_EQ(d.metadata.variable_names, (std::vector<std::string>{c.expected})) << c.raw;
  }
}

TEST(DictionaryNames, LongNamesMatchDecodedShortNames) {
  // The encoding record comes after the variable records, as SPSS writes it.
  auto b = with_header();
  b.numeric(
       "\xDC"
       "BERHAUP")
      .numeric("V\xD6LLIG")
      .numeric("PLAIN");
  b.text_extension(13,
                   "\xDC"
                   "BERHAUP=\xFC"
                   "berhaupt\tV\xD6LLIG=v\xF6llig\tPLAIN=plain");
  b.text_extension(20, "windows-1252").end_dictionary();
  ResolvedDictionary d = resolve_bytes(b.take());
  EXPECT_EQ(d.metadata.variable_names, (std::vector<std::string>{"\xC3\xBC"
                                                                 "berhaupt",
                                                                 "v\xC3\xB6llig", "plain"}));
  EXPECT_EQ(d.variables[0].short_name,
            "\xC3\x9C"
            "BERHAUP");

  // In a UTF-8 file the same bytes are malformed: U+FFFD on both sides, which still match.
  auto u = with_header();
  u.numeric(
       "\xDC"
       "BERHAUP")
      .text_extension(13,
                      "\xDC"
                      "BERHAUP=\xFC"
                      "berhaupt")
      .text_extension(20, "UTF-8")
      .end_dictionary();
  EXPECT_EQ(resolve_bytes(u.take()).metadata.variable_names,
            (std::vector<std::string>{"\xEF\xBF\xBD"
                                      "berhaupt"}));
}

TEST(DictionaryNames, NamesDifferingInOneNonAsciiByteStayDistinct) {
  // Read as UTF-8 both names would become "V\uFFFDLLIG": one column could not be selected and
  // the second set of labels would land on the first column.
  for (bool with_long_names : {false, true}) {
    auto b = with_header();
    b.numeric("V\xD6LLIG").numeric("V\xC4LLIG");
    if (with_long_names) b.text_extension(13, "V\xD6LLIG=v\xF6llig\tV\xC4LLIG=v\xE4llig");
    b.numeric_labels({{1, "first"}}, {1}).numeric_labels({{1, "second"}}, {2});
    b.integer_info(1252).end_dictionary();
    const SpssMetadata md = resolve_bytes(b.take()).metadata;
    const std::vector<std::string> names =
        with_long_names ? std::vector<std::string>{"v\xC3\xB6llig", "v\xC3\xA4llig"}
                        : std::vector<std::string>{"V\xC3\x96LLIG", "V\xC3\x84LLIG"};
    EXPECT_EQ(md.variable_names, names);
    ASSERT_EQ(keys(md.variable_value_labels), names);
    EXPECT_EQ(md.variable_value_labels.find(names[0])->at_index(0).second, "first");
    EXPECT_EQ(md.variable_value_labels.find(names[1])->at_index(0).second, "second");
  }
}

TEST(DictionaryNames, LongStringRecordsFindTheirVariables) {
  // A very long string "LÄNG" of width 300 (two segments), with labels (subtype 21, long
  // name as written) and missing values (subtype 22, short name) in windows-1252.
  SavBuilder labels;
  labels.i32(5).bytes("l\xE4ng ").i32(300).i32(1);
  labels.i32(3).bytes("gr\xFC").i32(5).bytes("Gr\xFCn ");
  SavBuilder missing;
  missing.i32(4).bytes("L\xC4NG").u8(1).i32(8).bytes("n\xE4      ");
  auto b = with_header();
  b.string("L\xC4NG", 255).string("L\xC4NG0", 45).numeric("X");
  b.text_extension(13, "L\xC4NG=l\xE4ng");
  b.text_extension(14, std::string("L\xC4NG=300\0", 9));
  b.extension(21, 1, static_cast<int32_t>(labels.size()), labels.str());
  b.extension(22, 1, static_cast<int32_t>(missing.size()), missing.str());
  b.text_extension(20, "windows-1252").end_dictionary();
  ResolvedDictionary d = resolve_bytes(b.take());
  const SpssMetadata& md = d.metadata;
  const std::string name = "l\xC3\xA4ng";
  EXPECT_EQ(md.variable_names, (std::vector<std::string>{name, "X"}));
  EXPECT_EQ(d.variables[0].var_type, VarType::string(300));
  ValueLabels expected;
  expected.insert(Value::string("gr\xC3\xBC"), "Gr\xC3\xBCn");
  ASSERT_NE(md.variable_value_labels.find(name), nullptr);
  EXPECT_EQ(*md.variable_value_labels.find(name), expected);
  ASSERT_NE(md.variable_missing_values.find(name), nullptr);
  EXPECT_EQ(*md.variable_missing_values.find(name),
            (std::vector{MissingSpec::discrete_string("n\xC3\xA4")}));
}

TEST(DictionaryNames, AttributesInTheFilesEncoding) {
  auto b = with_header();
  b.numeric(
       "\xDC"
       "BER")
      .numeric("Q2");
  // The first set names the column by its short name in lower case, the second by its name.
  b.text_extension(18,
                   "\xFC"
                   "ber:Not\xE9('caf\xE9'\n'\x80'\n)$@Role('1'\n)/"
                   "Q2:Titel('Gr\xF6\xDF"
                   "e'\n)");
  b.text_extension(20, "windows-1252").end_dictionary();
  const SpssMetadata md = resolve_bytes(b.take()).metadata;
  const std::string uber =
      "\xC3\x9C"
      "BER";
  EXPECT_EQ(keys(md.variable_attributes), (std::vector<std::string>{uber, "Q2"}));
  EXPECT_EQ(*md.variable_attributes.find(uber)->find("Not\xC3\xA9"),
            (std::vector<std::string>{"caf\xC3\xA9", "\xE2\x82\xAC"}));
  EXPECT_EQ(*md.variable_attributes.find("Q2")->find("Titel"),
            (std::vector<std::string>{"Gr\xC3\xB6\xC3\x9F"
                                      "e"}));
  EXPECT_EQ(*md.variable_roles.find(uber), Role::Target);
}

TEST(DictionaryNames, MultipleResponseSetsInTheFilesEncoding) {
  for (int32_t subtype : {7, 19}) {
    auto b = with_header();
    b.numeric(
         "\xDC"
         "BER")
        .numeric("A");
    // Subtype 7 names members by short name (any case), subtype 19 by full name.
    std::string members = subtype == 7 ? "\xFC"
                                         "ber a"
                                       : "\xDC"
                                         "BER A";
    // Lengths count the stored bytes: one for "\xE9", eight for "Qualit\xE4t".
    b.text_extension(subtype, "$s\xE4tze=D1 \xE9 8 Qualit\xE4t " + members + "\n");
    b.text_extension(20, "windows-1252").end_dictionary();
    const SpssMetadata md = resolve_bytes(b.take()).metadata;
    ASSERT_EQ(keys(md.mr_sets), (std::vector<std::string>{"s\xC3\xA4tze"})) << subtype;
    const MrSet& s = *md.mr_sets.find("s\xC3\xA4tze");
    EXPECT_EQ(s.label, "Qualit\xC3\xA4t") << subtype;
    EXPECT_EQ(s.counted_value, std::optional<std::string>("\xC3\xA9")) << subtype;
    EXPECT_EQ(s.variables, (std::vector<std::string>{"\xC3\x9C"
                                                     "BER",
                                                     "A"}))
        << subtype;
  }
}

}  // namespace

// Columns whose resolved names are equal: every one after the first gets the first free
// "_2", "_3", ... name, never one that another column has, and keeps its own metadata.
TEST(DictionaryNames, EqualNamesAreMadeUnique) {
  struct Case {
    std::vector<std::string> short_names;
    std::string long_names;  // subtype 13, empty for none
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {{"Q1", "Q1"}, "", {"Q1", "Q1_2"}},
      {{"Q1", "Q1", "Q1_2"}, "", {"Q1", "Q1_3", "Q1_2"}},
      {{"Q1", "Q1", "Q1"}, "", {"Q1", "Q1_2", "Q1_3"}},
      {{"A", "B", "C"}, "A=Same\tB=Same\tC=Same_2", {"Same", "Same_3", "Same_2"}},
      {{"A", "B"}, "A=x\tB=X", {"x", "X"}},  // names differing in case stay as they are
  };
  for (bool big : {false, true}) {
    for (const auto& c : cases) {
      auto b = with_header(big);
      for (size_t i = 0; i < c.short_names.size(); ++i) {
        VarSpec v;
        v.name = c.short_names[i];
        v.label = "label " + std::to_string(i);
        v.print_format = 0x00050000 | static_cast<uint32_t>(i + 1) << 8;  // F{i+1}.0
        b.variable(v);
      }
      if (!c.long_names.empty()) b.text_extension(13, c.long_names);
      std::vector<std::pair<double, std::string>> labels{{1.0, "one"}};
      b.numeric_labels(labels, {2});  // the second column only
      b.end_dictionary();
      ResolvedDictionary d = resolve_bytes(b.take());
      const SpssMetadata& md = d.metadata;
      ASSERT_EQ(md.variable_names, c.expected) << c.long_names;
      ASSERT_EQ(d.variables.size(), c.expected.size());
      for (size_t i = 0; i < c.expected.size(); ++i) {
        const std::string& name = c.expected[i];
        EXPECT_EQ(d.variables[i].name, name);
        EXPECT_EQ(*md.variable_labels.find(name), "label " + std::to_string(i)) << name;
        EXPECT_EQ(*md.variable_formats.find(name), "F" + std::to_string(i + 1) + ".0") << name;
        EXPECT_EQ(md.variable_value_labels.find(name) != nullptr, i == 1) << name;
      }
      EXPECT_EQ(md.variable_labels.size(), c.expected.size());
      EXPECT_EQ(md.variable_formats.size(), c.expected.size());
    }
  }
}
