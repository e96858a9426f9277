// Resolution of the raw records into metadata, the column list and the encoding.
#include <gtest/gtest.h>

#include <cmath>

#include "column_types.hpp"
#include "dictionary_test_util.hpp"
#include "scanner.hpp"

using namespace korvel;
using namespace korvel::testing;
using encoding::Encoding;

namespace {

template <typename V>
std::vector<std::string> keys(const VarMap<V>& m) {
  std::vector<std::string> out;
  for (const auto& [k, v] : m) out.push_back(k);
  return out;
}

std::vector<std::string> names_of(const ResolvedDictionary& d) {
  std::vector<std::string> out;
  for (const auto& v : d.variables) out.push_back(v.name);
  return out;
}

// Every column's slots, segments included, lie inside the row.
void expect_columns_inside_row(const ResolvedDictionary& d) {
  for (const auto& v : d.variables) {
    EXPECT_LE(v.slot_index + slots_occupied(v.var_type, v.n_segments), d.slots_per_row) << v.name;
  }
}

// ---------------------------------------------------------------------------------------------
// Encoding

TEST(DictionaryEncoding, ChoiceTable) {
  struct Case {
    std::optional<std::string> name;
    std::optional<int32_t> code;
    std::string expected;
  };
  const Case cases[] = {
      {"UTF-8", 1252, "UTF-8"},
      {"latin1", std::nullopt, "windows-1252"},
      {"x-unknown", 65001, "windows-1252"},
      {"  utf-8 \t", std::nullopt, "UTF-8"},
      {"", 65001, "windows-1252"},
      {"Shift_JIS", std::nullopt, "Shift_JIS"},
      {"GB2312", std::nullopt, "GBK"},
      {"ISO-8859-15", std::nullopt, "ISO-8859-15"},
      {std::nullopt, 65001, "UTF-8"},
      {std::nullopt, 28591, "windows-1252"},
      {std::nullopt, 437, "IBM866"},
      {std::nullopt, 866, "IBM866"},
      {std::nullopt, 1252, "windows-1252"},
      {std::nullopt, 2, "windows-1252"},
      {std::nullopt, 1250, "windows-1250"},
      {std::nullopt, 1258, "windows-1258"},
      {std::nullopt, 28592, "ISO-8859-2"},
      {std::nullopt, 28598, "ISO-8859-8"},
      {std::nullopt, 28599, "windows-1254"},
      {std::nullopt, 28603, "ISO-8859-13"},
      {std::nullopt, 28605, "ISO-8859-15"},
      {std::nullopt, 874, "windows-874"},
      {std::nullopt, 932, "Shift_JIS"},
      {std::nullopt, 936, "GBK"},
      {std::nullopt, 52936, "GBK"},
      {std::nullopt, 949, "EUC-KR"},
      {std::nullopt, 950, "Big5"},
      {std::nullopt, 50220, "ISO-2022-JP"},
      {std::nullopt, 51932, "EUC-JP"},
      {std::nullopt, 54936, "gb18030"},
      {std::nullopt, 1200, "UTF-16LE"},
      {std::nullopt, 1201, "UTF-16BE"},
      {std::nullopt, std::nullopt, "windows-1252"},
  };
  for (const auto& c : cases) {
    auto b = with_header();
    b.numeric("X");
    if (c.code) b.integer_info(*c.code);
    if (c.name) b.text_extension(20, *c.name);
    b.end_dictionary();
    ResolvedDictionary d = resolve_bytes(b.take());
    EXPECT_EQ(d.metadata.file_encoding, c.expected)
        << c.name.value_or("<no name>") << " / " << c.code.value_or(-1);
    EXPECT_EQ(encoding::encoding_name(d.encoding), c.expected);
  }
}

// A dictionary with one numeric variable labelled `label`, in a file of the given encoding.
ResolvedDictionary labelled(const std::string& label, const std::string& encoding_name) {
  auto b = with_header();
  VarSpec v;
  v.name = "X";
  v.label = label;
  b.variable(v).text_extension(20, encoding_name).end_dictionary();
  return resolve_bytes(b.take());
}

TEST(DictionaryEncoding, LabelsAreDecodedAndCleaned) {
  struct Case {
    std::string label;
    std::string encoding;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"\xEF\xBB\xBF"
       "Age",
       "UTF-8",
       "\xEF\xBB\xBF"
       "Age"},  // a valid UTF-8 file keeps the mark
      {"\xEF\xBB\xBF"
       "Age",
       "windows-1252", "Age"},              // elsewhere the mark selects UTF-8
      {"Income  \xC3", "UTF-8", "Income"},  // cut multi-byte character
      {"Income \xE2\x82", "UTF-8", "Income"},
      {"\xE9t\xE9", "windows-1252", "\xC3\xA9t\xC3\xA9"},
      {"\xE9t\xE9", "UTF-8", "\xEF\xBF\xBDt"},  // a leading replacement stays, a trailing one goes
      {"  lead", "UTF-8", "  lead"},
      {"    ", "UTF-8", std::nullopt},  // nothing left: no entry
      {"", "UTF-8", std::nullopt},
  };
  for (const auto& c : cases) {
    ResolvedDictionary d = labelled(c.label, c.encoding);
    const std::string* got = d.metadata.variable_labels.find("X");
    if (c.expected) {
      ASSERT_NE(got, nullptr) << c.label;
      EXPECT_EQ(*got, *c.expected) << c.label;
    } else {
      EXPECT_EQ(got, nullptr) << c.label;
    }
  }
}

TEST(DictionaryEncoding, CleanLabel) {
  EXPECT_EQ(clean_label("abc  "), "abc");
  EXPECT_EQ(clean_label("abc \xEF\xBF\xBD \xEF\xBF\xBD"), "abc");
  EXPECT_EQ(clean_label("a\xEF\xBF\xBD"
                        "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(clean_label(" a\t"), " a\t");
  EXPECT_EQ(clean_label("   "), "");
}

// ---------------------------------------------------------------------------------------------
// File-level fields

TEST(DictionaryResolve, CreationTime) {
  struct Case {
    std::string date, time, expected;
  };
  const Case cases[] = {
      {"05 Mar 24", "14:30:00", "2024-03-05 14:30:00"},
      {"5 MAR 24", "10:00:00", "2024-03-05 10:00:00"},
      {"05 Mar 2024", "10:00:00", "4024-03-05 10:00:00"},
      {"30 Apr 96", "10:00:00", "1996-04-30 10:00:00"},
      {"1 Jan 70", "t", "1970-01-01 t"},
      {"31 Dec 99", "t", "1999-12-31 t"},
      {"1 Jan 69", "t", "2069-01-01 t"},
      {"1 Jan 00", "t", "2000-01-01 t"},
      {"1 Jan 100", "t", "2100-01-01 t"},
      {"+7 dec 9", "x", "2009-12-07 x"},
      {"31 Jan xx", "t", "2000-01-31 t"},
      {"00 Mar 24", "10:00:00", "00 Mar 24 10:00:00"},
      {"5 March 24", "10:00:00", "5 March 24 10:00:00"},
      {"5 Mar", "10:00:00", "5 Mar 10:00:00"},
      {" 1-Jan- 5", "12:00", " 1-Jan- 5 12:00"},
      {"", "", " "},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_creation_time(c.date, c.time), c.expected) << c.date;
  }
}

// The header's texts: UTF-8 where they are valid UTF-8, else the file's encoding.
TEST(DictionaryResolve, HeaderTextsInTheFilesEncoding) {
  struct Case {
    std::string label;
    std::string date;
    std::string time;
    std::optional<std::string> encoding;  // subtype 20; none means windows-1252
    std::string expected_label;
    std::string expected_created;
  };
  const Case cases[] = {
      {"\xF4\xF5\xF6\xF8", "30 Apr 96", "10:00:00", std::nullopt,
       "\xC3\xB4\xC3\xB5\xC3\xB6\xC3\xB8", "1996-04-30 10:00:00"},
      {"\xC3\xB4 ok", "30 Apr 96", "10:00:00", std::nullopt, "\xC3\xB4 ok", "1996-04-30 10:00:00"},
      {"\xC3\xB4 ok", "30 Apr 96", "10:00:00", "UTF-8", "\xC3\xB4 ok", "1996-04-30 10:00:00"},
      {"\xF4 bad", "30 Apr 96", "10:00:00", "UTF-8", "\xEF\xBF\xBD bad", "1996-04-30 10:00:00"},
      {"\xC0 la carte", "1 J\xE4n 24",
       "10\xB7"
       "00",
       std::nullopt, "\xC3\x80 la carte",
       "1 J\xC3\xA4n 24 10\xC2\xB7"
       "00"},  // a date of another shape stays as stored
      {"Plain", "1 Jan 24", "10:00:00", "Shift_JIS", "Plain", "2024-01-01 10:00:00"},
  };
  for (bool big : {false, true}) {
    for (const auto& c : cases) {
      HeaderSpec h;
      h.file_label = c.label;
      h.creation_date = c.date;
      h.creation_time = c.time;
      auto b = with_header(big, h);
      b.numeric("X");
      if (c.encoding) b.text_extension(20, *c.encoding);
      b.end_dictionary();
      const SpssMetadata md = resolve_bytes(b.take()).metadata;
      EXPECT_EQ(md.file_label, c.expected_label) << c.label << " big=" << big;
      EXPECT_EQ(md.creation_time, c.expected_created) << c.date << " big=" << big;
    }
  }
}

TEST(DictionaryResolve, FileLevelFields) {
  HeaderSpec h;
  h.file_label = "Survey \xE9";
  h.ncases = 12;
  h.compression = 2;
  h.creation_date = "11 Dec 13";
  h.creation_time = "09:08:07";
  auto b = with_header(false, h);
  b.numeric("X").document({"caf\xE9", "line two"}).integer_info(1252).end_dictionary();
  ResolvedDictionary d = resolve_bytes(b.take());
  const SpssMetadata& md = d.metadata;
  // The header label is not UTF-8, so it is read in the file's encoding, like the documents.
  EXPECT_EQ(md.file_label, "Survey \xC3\xA9");
  EXPECT_EQ(md.notes, (std::vector<std::string>{"caf\xC3\xA9", "line two"}));
  EXPECT_EQ(md.number_rows, std::optional<int64_t>(12));
  EXPECT_EQ(md.file_format, "zsav");
  EXPECT_EQ(md.compression, Compression::Zlib);
  EXPECT_EQ(md.creation_time, "2013-12-11 09:08:07");
  EXPECT_EQ(md.file_encoding, "windows-1252");

  for (auto [ncases, expected] :
       {std::pair{-1, std::optional<int64_t>()}, std::pair{0, std::optional<int64_t>(0)}}) {
    HeaderSpec h2;
    h2.ncases = ncases;
    h2.compression = 1;
    auto b2 = with_header(false, h2);
    b2.numeric("X").end_dictionary();
    ResolvedDictionary d2 = resolve_bytes(b2.take());
    EXPECT_EQ(d2.metadata.number_rows, expected);
    EXPECT_EQ(d2.metadata.file_format, "sav");
    EXPECT_EQ(d2.metadata.compression, Compression::Bytecode);
  }
}

// ---------------------------------------------------------------------------------------------
// Row layout

TEST(DictionaryResolve, RowWidthComesFromTheVariableRecords) {
  for (int32_t nominal : {-1, 0, 1, 1000}) {
    HeaderSpec h;
    h.nominal_case_size = nominal;
    auto b = with_header(false, h);
    b.numeric("A").string("S", 20).numeric("B").end_dictionary();
    ResolvedDictionary d = resolve_bytes(b.take());
    EXPECT_EQ(d.slots_per_row, 5u) << nominal;
    EXPECT_EQ(d.header.nominal_case_size, nominal);
    ASSERT_EQ(d.variables.size(), 3u);
    EXPECT_EQ(d.variables[2].slot_index, 4u);
    expect_columns_inside_row(d);
  }
}

TEST(DictionaryResolve, ColumnsNeverReachPastTheRow) {
  // A string of width 20 without its continuation records, at the end of the row.
  auto b = with_header();
  VarSpec s;
  s.name = "S";
  s.type_code = 20;
  b.numeric("A").variable(s).end_dictionary();
  ResolvedDictionary d = resolve_bytes(b.take());
  ASSERT_EQ(d.variables.size(), 2u);
  EXPECT_EQ(d.variables[1].var_type, VarType::string(8));
  EXPECT_EQ(*d.metadata.variable_storage_widths.find("S"), 8u);
  expect_columns_inside_row(d);

  // Very long strings declared wider than the records that follow them.
  struct Case {
    std::string entry;
    int32_t records;  // 255-byte records after the first
    size_t width;
    size_t segments;
  };
  const Case cases[] = {
      {"L=600", 0, 252, 1},   // one segment's worth of slots
      {"L=600", 1, 504, 2},   // the third segment is missing
      {"L=1000", 2, 764, 4},  // TAIL becomes the fourth segment, of one slot
      {"X=300", -1, 8, 1},    // a numeric record widened by the entry
  };
  for (const auto& c : cases) {
    auto b2 = with_header();
    if (c.records < 0) {
      b2.numeric("X");
    } else {
      b2.string("L", 255);
      for (int32_t i = 0; i < c.records; ++i)
        b2.string(std::string("L").append(std::to_string(i)), 255);
    }
    if (c.entry == "L=1000") b2.numeric("TAIL");  // one slot after the third segment
    b2.text_extension(14, c.entry).end_dictionary();
    ResolvedDictionary d2 = resolve_bytes(b2.take());
    ASSERT_GE(d2.variables.size(), 1u);
    EXPECT_EQ(d2.variables[0].var_type.width, c.width) << c.entry << " " << c.records;
    EXPECT_EQ(d2.variables[0].n_segments, c.segments) << c.entry << " " << c.records;
    expect_columns_inside_row(d2);
  }
}

// ---------------------------------------------------------------------------------------------
// Names, very long strings, display entries

TEST(DictionaryResolve, LongNames) {
  auto b = with_header();
  b.numeric("AGE").numeric("INCOME").numeric("OTHER");
  b.text_extension(13, "AGE=age_years\tincome=First\tINCOME=Income_2024");
  b.end_dictionary();
  ResolvedDictionary d = resolve_bytes(b.take());
  EXPECT_EQ(d.metadata.variable_names,
            (std::vector<std::string>{"age_years", "Income_2024", "OTHER"}));
  EXPECT_EQ(names_of(d), d.metadata.variable_names);
  EXPECT_EQ(d.variables[0].short_name, "AGE");
  EXPECT_EQ(d.metadata.number_columns, 3u);
}

TEST(DictionaryResolve, VeryLongStringOfThreeSegments) {
  // Width 600: segments of 255, 255 and 96 bytes, each followed by its continuation records.
  auto b = with_header();
  b.string("LONGSTR", 255).string("LONGS0", 255).string("LONGS1", 96).numeric("AFTER");
  b.text_extension(13, "LONGSTR=LongStr\tAFTER=after");
  b.text_extension(14, std::string("LONGSTR=600\0\t", 13));
  b.display_params({{1, 40, 0}, {2, 50, 1}, {2, 60, 1}, {3, 9, 2}});
  b.end_dictionary();
  ResolvedDictionary d = resolve_bytes(b.take());
  const SpssMetadata& md = d.metadata;
  EXPECT_EQ(md.variable_names, (std::vector<std::string>{"LongStr", "after"}));
  ASSERT_EQ(d.variables.size(), 2u);
  const VariableRecord& s = d.variables[0];
  EXPECT_EQ(s.var_type, VarType::string(600));
  EXPECT_EQ(s.n_segments, 3u);
  EXPECT_EQ(s.slot_index, 0u);
  EXPECT_EQ(d.variables[1].slot_index, 76u);  // 32 + 32 + 12 slots
  EXPECT_EQ(d.slots_per_row, 77u);
  expect_columns_inside_row(d);
  // Each segment consumed a display entry; only the first one applies to the column.
  EXPECT_EQ(*md.variable_measures.find("LongStr"), Measure::Nominal);
  EXPECT_EQ(*md.variable_display_widths.find("LongStr"), 40u);
  EXPECT_EQ(*md.variable_alignments.find("LongStr"), Alignment::Left);
  EXPECT_EQ(*md.variable_measures.find("after"), Measure::Scale);
  EXPECT_EQ(*md.variable_display_widths.find("after"), 9u);
  EXPECT_EQ(*md.variable_alignments.find("after"), Alignment::Center);
  EXPECT_EQ(*md.variable_formats.find("LongStr"), "A600");
  EXPECT_EQ(*md.variable_storage_widths.find("LongStr"), 600u);
  EXPECT_EQ(*md.arrow_data_types.find("LongStr"), "String");
}

TEST(DictionaryResolve, SegmentNamedLikeAnotherEntryIsNotWidened) {
  // B is the second segment of A and also has an entry of its own; it must not swallow X.
  for (bool big : {false, true}) {
    auto b = with_header(big);
    b.string("A", 255).string("B", 255).string("C", 96).numeric("X");
    b.text_extension(14, std::string("A=600\0B=300\0", 12)).end_dictionary();
    ResolvedDictionary d = resolve_bytes(b.take());
    EXPECT_EQ(d.metadata.variable_names, (std::vector<std::string>{"A", "X"})) << big;
    EXPECT_EQ(d.variables[0].var_type, VarType::string(600)) << big;
  }
}

TEST(DictionaryResolve, DisplayEntriesSkipOnlyContinuations) {
  auto b = with_header();
  b.numeric("A").string("S", 16).numeric("B").numeric("C");
  b.display_params({{1, 11, 0}, {2, 12, 1}, {3, 13, 2}});  // C gets none
  b.end_dictionary();
  ResolvedDictionary d = resolve_bytes(b.take());
  const SpssMetadata& md = d.metadata;
  EXPECT_EQ(*md.variable_display_widths.find("S"), 12u);
  EXPECT_EQ(*md.variable_measures.find("B"), Measure::Scale);
  EXPECT_EQ(*md.variable_measures.find("C"), Measure::Unknown);
  EXPECT_EQ(*md.variable_alignments.find("C"), Alignment::Unknown);
  EXPECT_EQ(*md.variable_display_widths.find("C"), 8u);  // the print width F8.2
}

TEST(DictionaryResolve, FormatsWidthsAndTypes) {
  auto b = with_header();
  b.string("S1", 1).string("S9", 9).string("S255", 255);
  b.string("V300", 255).string("V3001", 48);
  b.numeric("F", 0x00050802).numeric("D", 0x00140B00).numeric("DT", 0x00161400);
  b.numeric("T", 0x00150B02).numeric("WK", 0x001A0900).numeric("NOFMT", 0x000D0A00);
  b.text_extension(14, "V300=300");
  // The very long string's display entry says width 0: it gets its full width.
  b.display_params({{1, 1, 0},
                    {1, 9, 0},
                    {1, 255, 0},
                    {1, 0, 0},
                    {1, 0, 0},
                    {3, 8, 1},
                    {3, 11, 1},
                    {3, 20, 1},
                    {3, 11, 1},
                    {3, 9, 1},
                    {3, 10, 1}});
  b.end_dictionary();
  ResolvedDictionary d = resolve_bytes(b.take());
  const SpssMetadata& md = d.metadata;
  EXPECT_EQ(md.variable_names, (std::vector<std::string>{"S1", "S9", "S255", "V300", "F", "D", "DT",
                                                         "T", "WK", "NOFMT"}));
  auto storage = [&](const char* n) { return *md.variable_storage_widths.find(n); };
  EXPECT_EQ(storage("S1"), 8u);
  EXPECT_EQ(storage("S9"), 16u);
  EXPECT_EQ(storage("S255"), 256u);
  EXPECT_EQ(storage("V300"), 300u);
  EXPECT_EQ(storage("F"), 8u);
  EXPECT_EQ(*md.variable_display_widths.find("V300"), 300u);
  EXPECT_EQ(*md.variable_display_widths.find("S255"), 255u);
  auto format = [&](const char* n) {
    const std::string* f = md.variable_formats.find(n);
    return f ? *f : std::string("<none>");
  };
  EXPECT_EQ(format("S9"), "A9");
  EXPECT_EQ(format("V300"), "A300");
  EXPECT_EQ(format("F"), "F8.2");
  EXPECT_EQ(format("D"), "DATE11");
  EXPECT_EQ(format("T"), "TIME11");
  EXPECT_EQ(format("NOFMT"), "<none>");
  EXPECT_EQ(keys(md.variable_formats),
            (std::vector<std::string>{"S1", "S9", "S255", "V300", "F", "D", "DT", "T", "WK"}));
  auto type = [&](const char* n) { return *md.arrow_data_types.find(n); };
  EXPECT_EQ(type("S1"), "String");
  EXPECT_EQ(type("F"), "f64");
  EXPECT_EQ(type("D"), "Date32");
  EXPECT_EQ(type("DT"), "Timestamp[us]");
  EXPECT_EQ(type("T"), "Duration[us]");
  EXPECT_EQ(type("WK"), "f64");
  EXPECT_EQ(type("NOFMT"), "f64");
  // Every per-variable map with an entry for each column follows the column order.
  EXPECT_EQ(keys(md.variable_measures), md.variable_names);
  EXPECT_EQ(keys(md.variable_alignments), md.variable_names);
  EXPECT_EQ(keys(md.variable_storage_widths), md.variable_names);
  EXPECT_EQ(keys(md.variable_display_widths), md.variable_names);
  EXPECT_EQ(keys(md.arrow_data_types), md.variable_names);
}

TEST(ColumnTypeRule, EveryFormatCode) {
  for (unsigned code = 0; code < 256; ++code) {
    auto t = static_cast<uint8_t>(code);
    ColumnType expected = ColumnType::Float64;
    if (code == 20 || code == 23 || code == 24 || code == 28 || code == 29 || code == 30 ||
        code == 38 || code == 39) {
      expected = ColumnType::Date32;
    } else if (code == 21 || code == 25 || code == 40) {
      expected = ColumnType::DurationUs;
    } else if (code == 22 || code == 41) {
      expected = ColumnType::TimestampUs;
    }
    EXPECT_EQ(column_type(VarType::numeric(), t), expected) << code;
    EXPECT_EQ(column_type(VarType::string(8), t), ColumnType::String) << code;
  }
  struct Names {
    ColumnType type;
    uint8_t print_format;  // a format type that gives the column type
    const char* arrow;
    const char* schema;
    std::optional<arrow::TemporalKind> kind;
  };
  const Names names[] = {
      {ColumnType::Float64, 5, "f64", "Float64", std::nullopt},
      {ColumnType::String, 1, "String", "String", std::nullopt},
      {ColumnType::Date32, 20, "Date32", "Date", arrow::TemporalKind::Date},
      {ColumnType::TimestampUs, 22, "Timestamp[us]", "Datetime", arrow::TemporalKind::Timestamp},
      {ColumnType::DurationUs, 21, "Duration[us]", "Duration", arrow::TemporalKind::Duration},
  };
  for (const auto& n : names) {
    EXPECT_EQ(arrow_data_type_name(n.type), n.arrow);
    // The batch reader's name, through the field that the reader builds for such a column.
    VariableRecord column;
    column.name = "v";
    column.var_type = n.type == ColumnType::String ? VarType::string(8) : VarType::numeric();
    column.print_format.format_type = n.print_format;
    EXPECT_EQ(schema_type_name(column_field(column).type), n.schema);
    EXPECT_EQ(temporal_kind(n.type), n.kind);
  }
}

// ---------------------------------------------------------------------------------------------
// Weight

TEST(DictionaryResolve, WeightVariable) {
  struct Case {
    int32_t index;
    std::optional<std::string> expected;
  };
  // Slots: A=0, S=1..2 (S plus one continuation), W=3.
  const Case cases[] = {
      {1, "A"},          {2, "s_long"},      {4, "w"},
      {3, std::nullopt},  // a continuation slot
      {0, std::nullopt}, {-1, std::nullopt}, {5, std::nullopt},
  };
  for (bool big : {false, true}) {
    for (const auto& c : cases) {
      HeaderSpec h;
      h.weight_index = c.index;
      auto b = with_header(big, h);
      b.numeric("A").string("S", 16).numeric("W").text_extension(13, "S=s_long\tW=w");
      b.end_dictionary();
      EXPECT_EQ(resolve_bytes(b.take()).metadata.weight_variable, c.expected)
          << c.index << " big=" << big;
    }
  }
}

// A weight index at a continuation or at a very long string's later segment names a record
// that is no column: there is no weight, rather than a weight variable that no column has.
TEST(DictionaryResolve, WeightIndexAtASegmentNamesNoColumn) {
  // Slots: L = 0..31 (first segment), L0 = 32..63 (second segment), N = 64.
  struct Case {
    int32_t index;
    std::optional<std::string> expected;
  };
  const Case cases[] = {{1, "L"}, {2, std::nullopt}, {33, std::nullopt}, {65, "N"}};
  for (bool big : {false, true}) {
    for (const auto& c : cases) {
      HeaderSpec h;
      h.weight_index = c.index;
      auto b = with_header(big, h);
      b.string("L", 255).string("L0", 255).numeric("N").text_extension(14, "L=400");
      b.end_dictionary();
      ResolvedDictionary d = resolve_bytes(b.take());
      ASSERT_EQ(d.metadata.variable_names, (std::vector<std::string>{"L", "N"}));
      EXPECT_EQ(d.metadata.weight_variable, c.expected) << c.index << " big=" << big;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Value labels

const ValueLabels* labels_of(const SpssMetadata& md, const std::string& name) {
  return md.variable_value_labels.find(name);
}

TEST(DictionaryResolve, ValueLabelKeysFollowTheFirstVariablesStorage) {
  // Slot 0: an 8-byte string; slot 1: numeric; slot 2: numeric.
  auto b = with_header();
  b.string("S", 8).numeric("N").numeric("M");
  b.string_labels({{"a", "Apple"}, {"caf\xE9", "Cafe"}}, {1, 3});
  b.text_extension(20, "windows-1252").end_dictionary();
  ResolvedDictionary d = resolve_bytes(b.take());
  const ValueLabels* s = labels_of(d.metadata, "S");
  const ValueLabels* m = labels_of(d.metadata, "M");
  ASSERT_TRUE(s && m);
  EXPECT_EQ(*s, *m);
  ASSERT_EQ(s->size(), 2u);
  EXPECT_EQ(s->at_index(0).first, Value::string("a"));
  EXPECT_EQ(s->at_index(1).first, Value::string("caf\xC3\xA9"));
  EXPECT_EQ(labels_of(d.metadata, "N"), nullptr);
}

TEST(DictionaryResolve, NumericValueLabelsInBothByteOrders) {
  for (bool big : {false, true}) {
    auto b = with_header(big);
    b.numeric("N");
    b.numeric_labels(
        {{1.0, "One  "}, {-0.0, "neg zero"}, {0.0, "zero"}, {1.0, "Uno"}, {2.5, "    "}}, {1});
    b.end_dictionary();
    ResolvedDictionary d = resolve_bytes(b.take());
    const ValueLabels* n = labels_of(d.metadata, "N");
    ASSERT_NE(n, nullptr);
    ASSERT_EQ(n->size(), 4u) << big;
    // A repeated key keeps its position and takes the later label.
    EXPECT_EQ(n->at_index(0), (std::pair{Value::number(1.0), std::string("Uno")})) << big;
    EXPECT_EQ(n->at_index(1), (std::pair{Value::number(-0.0), std::string("neg zero")}));
    EXPECT_EQ(n->at_index(2), (std::pair{Value::number(0.0), std::string("zero")}));
    EXPECT_EQ(n->at_index(3), (std::pair{Value::number(2.5), std::string("")}));
  }
}

TEST(DictionaryResolve, ValueLabelSetsReplaceAndFollowColumnOrder) {
  auto b = with_header();
  b.numeric("A").string("S", 16).numeric("B");
  b.numeric_labels({{1, "b-first"}, {2, "b-two"}}, {4});
  b.numeric_labels({{1, "a"}}, {1, 2, 3, 9});  // 2 is a continuation, 9 is no record
  b.numeric_labels({{3, "b-second"}}, {4});    // replaces B's labels completely
  b.end_dictionary();
  ResolvedDictionary d = resolve_bytes(b.take());
  const SpssMetadata& md = d.metadata;
  EXPECT_EQ(keys(md.variable_value_labels), (std::vector<std::string>{"A", "S", "B"}));
  const ValueLabels* bl = labels_of(md, "B");
  ASSERT_NE(bl, nullptr);
  ASSERT_EQ(bl->size(), 1u);
  EXPECT_EQ(bl->at_index(0).second, "b-second");
  // S is a string but the set's first variable is numeric: the key stays a number.
  EXPECT_EQ(labels_of(md, "S")->at_index(0).first, Value::number(1.0));
}

TEST(DictionaryResolve, LongStringValueLabels) {
  SavBuilder body;
  auto block = [&](std::string_view name, std::vector<std::pair<std::string, std::string>> l) {
    body.i32(static_cast<int32_t>(name.size())).bytes(name).i32(20);
    body.i32(static_cast<int32_t>(l.size()));
    for (auto& [v, t] : l) {
      body.i32(static_cast<int32_t>(v.size())).bytes(v).i32(static_cast<int32_t>(t.size()));
      body.bytes(t);
    }
  };
  block("comment", {{"caf\xE9      ", "Caf\xE9  "}, {"x", "first"}, {"x", "second"}});
  block("COMMENT", {{"y", "by short name"}});  // names are taken as written
  block("nowhere", {{"z", "dropped"}});
  block("other", {});
  auto b = with_header();
  b.string("COMMENT", 20).string("OTHER", 20).text_extension(13, "COMMENT=comment\tOTHER=other");
  b.extension(21, 1, static_cast<int32_t>(body.size()), body.str());
  b.text_extension(20, "windows-1252").end_dictionary();
  ResolvedDictionary d = resolve_bytes(b.take());
  const SpssMetadata& md = d.metadata;
  EXPECT_EQ(keys(md.variable_value_labels), (std::vector<std::string>{"comment"}));
  const ValueLabels* c = labels_of(md, "comment");
  ASSERT_EQ(c->size(), 2u);
  EXPECT_EQ(c->at_index(0), (std::pair{Value::string("caf\xC3\xA9"), std::string("Caf\xC3\xA9")}));
  EXPECT_EQ(c->at_index(1), (std::pair{Value::string("x"), std::string("second")}));
}

// ---------------------------------------------------------------------------------------------
// Missing values

TEST(DictionaryResolve, MissingValuesFromVariableRecords) {
  auto b = with_header();
  auto var = [&](const char* name, int32_t type, int32_t n, std::vector<double> nums,
                 std::vector<std::string> strs) {
    VarSpec v;
    v.name = name;
    v.type_code = type;
    v.n_missing = n;
    v.missing = std::move(nums);
    v.missing_raw = std::move(strs);
    b.variable(v);
  };
  var("D", 0, 2, {1, 2}, {});
  var("R", 0, -2, {-1.5, 9}, {});
  var("RV", 0, -3, {1, 5, 9}, {});
  var("NONE", 0, 0, {}, {});
  var("S", 8, 2, {}, {"no  ", std::string("x\0", 2)});
  b.end_dictionary();
  ResolvedDictionary d = resolve_bytes(b.take());
  const auto& mv = d.metadata.variable_missing_values;
  EXPECT_EQ(keys(mv), (std::vector<std::string>{"D", "R", "RV", "S"}));
  EXPECT_EQ(*mv.find("D"), (std::vector{MissingSpec::discrete(1), MissingSpec::discrete(2)}));
  EXPECT_EQ(*mv.find("R"), (std::vector{MissingSpec::range(-1.5, 9)}));
  EXPECT_EQ(*mv.find("RV"), (std::vector{MissingSpec::range(1, 5), MissingSpec::discrete(9)}));
  // Trailing white space goes; a NUL is not white space and stays.
  EXPECT_EQ(*mv.find("S"), (std::vector{MissingSpec::discrete_string("no"),
                                        MissingSpec::discrete_string(std::string("x\0", 2))}));
}

TEST(DictionaryResolve, LongStringMissingValues) {
  SavBuilder body;
  auto block = [&](std::string_view name, uint8_t count, int32_t len, std::string_view values) {
    body.i32(static_cast<int32_t>(name.size())).bytes(name).u8(count).i32(len).bytes(values);
  };
  block("NAME", 1, 8, "Unknown ");
  block("LATER", 1, 8, "later   ");
  block("EMPTY", 0, 8, "");
  block("ghost", 1, 4, "boo ");
  block("TOP", 2, 8, "caf\xE9    none    ");
  auto b = with_header();
  VarSpec top;
  top.name = "TOP";
  top.type_code = 8;
  top.n_missing = 1;
  top.missing_raw = {"old"};
  b.variable(top).string("NAME", 16).string("LATER", 16).string("EMPTY", 16);
  b.text_extension(13, "NAME=name");
  b.extension(22, 1, static_cast<int32_t>(body.size()), body.str());
  b.text_extension(20, "windows-1252").end_dictionary();
  ResolvedDictionary d = resolve_bytes(b.take());
  const auto& mv = d.metadata.variable_missing_values;
  // TOP is replaced in place; the others follow in the record's order, under their final
  // names; a name that is no column stays as written.
  EXPECT_EQ(keys(mv), (std::vector<std::string>{"TOP", "name", "LATER", "ghost"}));
  EXPECT_EQ(*mv.find("name"), (std::vector{MissingSpec::discrete_string("Unknown")}));
  EXPECT_EQ(*mv.find("TOP"), (std::vector{MissingSpec::discrete_string("caf\xC3\xA9"),
                                          MissingSpec::discrete_string("none")}));
  EXPECT_EQ(*mv.find("ghost"), (std::vector{MissingSpec::discrete_string("boo")}));
}

// ---------------------------------------------------------------------------------------------
// Multiple-response sets

TEST(DictionaryResolve, MultipleResponseSets) {
  auto b = with_header();
  b.numeric("Q1").numeric("Q2").numeric("Q3").text_extension(13, "Q1=q1\tQ2=q2\tQ3=Q3x");
  b.text_extension(7,
                   "$short=C 5 Short q1 q2 nothere\n"
                   "$dich=D1 1 4 Dich Q3\n"
                   "$none=C 1 x zz\n"
                   "$short=C 6 Second q2\n");
  b.end_dictionary();
  ResolvedDictionary d = resolve_bytes(b.take());
  const auto& sets = d.metadata.mr_sets;
  EXPECT_EQ(keys(sets), (std::vector<std::string>{"short", "dich"}));
  const MrSet* s = sets.find("short");
  EXPECT_EQ(s->label, "Second");
  EXPECT_EQ(s->variables, (std::vector<std::string>{"q2"}));
  EXPECT_EQ(s->mr_type, MrType::Category);
  EXPECT_FALSE(s->counted_value.has_value());
  const MrSet* dich = sets.find("dich");
  EXPECT_EQ(dich->variables, (std::vector<std::string>{"Q3x"}));
  EXPECT_EQ(dich->counted_value, std::optional<std::string>("1"));
  EXPECT_EQ(dich->mr_type, MrType::Dichotomy);

  // Subtype 19 lists full names: exact match first, else a match ignoring ASCII case.
  auto b2 = with_header();
  b2.numeric("Q1").numeric("Q2").numeric("A").text_extension(13, "Q1=q1\tQ2=Q2\tA=a");
  b2.text_extension(19, "$s=C 3 Set Q1 Q2 q2 Z A\n$t=C 1 t Q9\n").end_dictionary();
  ResolvedDictionary d2 = resolve_bytes(b2.take());
  ASSERT_EQ(d2.metadata.mr_sets.size(), 1u);
  EXPECT_EQ(d2.metadata.mr_sets.find("s")->variables,
            (std::vector<std::string>{"q1", "Q2", "Q2", "a"}));
}

// ---------------------------------------------------------------------------------------------
// Attributes and roles

TEST(DictionaryResolve, AttributesAndRoles) {
  auto b = with_header();
  b.numeric("Q1").numeric("Q2").numeric("Q3").numeric("Q4");
  b.text_extension(13, "Q3=LongThree\tQ4=four");
  b.text_extension(18,
                   "Q1:$@Role('1'\n)Note('x'\n)/"
                   "Q2:$@Role('7'\n)/"
                   "LongThree:A('1'\n)B('2'\n)A('3'\n'4'\n)/"
                   "q4:$@Role(' 5 '\n)$@Role()/"
                   "ghost:Z('z'\n)/"
                   "Q1:More('m'\n)$@Role('0'\n)");
  b.end_dictionary();
  ResolvedDictionary d = resolve_bytes(b.take());
  const SpssMetadata& md = d.metadata;
  EXPECT_EQ(keys(md.variable_roles), (std::vector<std::string>{"Q1", "four"}));
  EXPECT_EQ(*md.variable_roles.find("Q1"), Role::Input);  // the later role replaces
  EXPECT_EQ(*md.variable_roles.find("four"), Role::Split);
  EXPECT_EQ(keys(md.variable_attributes),
            (std::vector<std::string>{"Q1", "LongThree", "four", "ghost"}));
  using Attrs = OrderedMap<std::string, std::vector<std::string>>;
  Attrs q1;
  q1.insert("Note", {"x"});
  q1.insert("More", {"m"});
  EXPECT_EQ(*md.variable_attributes.find("Q1"), q1);
  Attrs three;
  three.insert("A", {"3", "4"});
  three.insert("B", {"2"});
  EXPECT_EQ(*md.variable_attributes.find("LongThree"), three);
  // "$@Role" without values is an ordinary attribute.
  Attrs four;
  four.insert("$@Role", {});
  EXPECT_EQ(*md.variable_attributes.find("four"), four);
}

// ---------------------------------------------------------------------------------------------
// The metadata invariants on a dictionary that uses everything at once.

TEST(DictionaryResolve, ColumnListMatchesMetadata) {
  auto b = with_header(true);
  VarSpec v;
  v.name = "ID";
  v.label = "Identifier";
  v.n_missing = 1;
  v.missing = {-9};
  b.variable(v).string("NAME", 30).string("LONG", 255).string("LONG0", 45).numeric("W");
  b.text_extension(13, "ID=id\tNAME=Name\tLONG=Long\tW=weight");
  b.text_extension(14, std::string("LONG=297\0", 9));
  b.numeric_labels({{1, "one"}}, {1}).string_labels({{"ab", "AB"}}, {2});
  b.integer_info(65001).float_info().end_dictionary();
  ResolvedDictionary d = resolve_bytes(b.take());
  const SpssMetadata& md = d.metadata;
  EXPECT_EQ(md.variable_names, (std::vector<std::string>{"id", "Name", "Long", "weight"}));
  EXPECT_EQ(names_of(d), md.variable_names);
  EXPECT_EQ(md.number_columns, d.variables.size());
  for (const auto& col : d.variables) EXPECT_FALSE(col.skip);
  EXPECT_EQ(d.variables[3].slot_index, 1u + 4u + 32u + 6u);
  EXPECT_EQ(d.slots_per_row, 44u);
  expect_columns_inside_row(d);
  EXPECT_EQ(labels_of(md, "id")->at_index(0).first, Value::number(1.0));
  EXPECT_EQ(labels_of(md, "Name")->at_index(0).first, Value::string("ab"));
  EXPECT_EQ(md.file_encoding, "UTF-8");
}

}  // namespace
