// The writer's layout, dictionary records, bytecode encoder and .zsav framing, each checked
// against the reader's own parsing of what was written.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>

#include "arrow/builders.hpp"
#include "compression/bytecode.hpp"
#include "compression/bytecode_encoder.hpp"
#include "dictionary_test_util.hpp"
#include "writer/layout.hpp"
#include "writer/records.hpp"
#include "writer/write_sav.hpp"

namespace korvel {
namespace {

using arrow::DataType;
using arrow::Field;
using arrow::Schema;
using arrow::TypeId;

Schema schema_of(std::vector<std::pair<std::string, TypeId>> cols) {
  Schema s;
  for (auto& [name, id] : cols) s.fields.push_back(Field{name, DataType(id), true});
  return s;
}

CaseLayout layout_of(const Schema& s, const SpssMetadata& m) {
  auto r = build_case_layout(s, m);
  EXPECT_TRUE(r.ok()) << r.error().message();
  return r.ok() ? std::move(r).value() : CaseLayout{};
}

// ----- layout -----------------------------------------------------------------------------

TEST(WriterLayout, ShortNamesAreUniqueUpperCaseAndAtMostEightBytes) {
  struct Case {
    std::vector<std::string> names;
    std::vector<std::string> expected;
  };
  std::vector<std::string> twelve,
      twelve_short = {"QUESTION", "QUESTIO0", "QUESTIO1", "QUESTIO2", "QUESTIO3", "QUESTIO4",
                      "QUESTIO5", "QUESTIO6", "QUESTIO7", "QUESTIO8", "QUESTIO9", "QUESTI10"};
  for (int i = 1; i <= 12; ++i)
    twelve.push_back("questionnaire_" + std::string(i < 10 ? "0" : "") + std::to_string(i));
  const Case cases[] = {
      {{"age", "Age", "AGE"}, {"AGE", "AGE0", "AGE1"}},
      {{"1st_score", "",
        "\xC3\xBC"
        "ber"},
       {"V1ST_SCO", "V", "V_BER"}},
      {twelve, twelve_short},
  };
  for (const Case& c : cases) {
    ShortNames names;
    for (size_t i = 0; i < c.names.size(); ++i) {
      auto taken = names.take(c.names[i]);
      ASSERT_TRUE(taken.ok());
      EXPECT_EQ(taken.value(), c.expected[i]) << c.names[i];
    }
  }
}

TEST(WriterLayout, StringWidthsSlotsAndSegments) {
  struct Case {
    std::string format;
    std::optional<size_t> storage;
    size_t slots;
    std::vector<int32_t> segment_types;  // type codes of the non-continuation records
  };
  const Case cases[] = {
      {"A8", {}, 1, {8}},
      {"A9", {}, 2, {9}},
      {"A255", {}, 32, {255}},
      {"A256", {}, 33, {255, 4}},
      {"A1000", {}, 127, {255, 255, 255, 244}},
      {"A300", 600, 32 + 32 + 12, {255, 255, 96}},
      {"AHEX20", {}, 3, {20}},
  };
  for (const Case& c : cases) {
    SpssMetadata m;
    m.variable_formats.insert("s", c.format);
    if (c.storage) m.variable_storage_widths.insert("s", *c.storage);
    CaseLayout l = layout_of(schema_of({{"s", TypeId::Utf8}}), m);
    EXPECT_EQ(l.total_slots, c.slots) << c.format;
    std::vector<int32_t> types;
    for (const SlotRecord& r : l.slots)
      if (!r.is_continuation) types.push_back(r.type_code);
    EXPECT_EQ(types, c.segment_types) << c.format;
  }
}

TEST(WriterLayout, SegmentNamesAvoidTakenNames) {
  SpssMetadata m;
  m.variable_formats.insert("COMME001", "F8.0");
  m.variable_formats.insert("comment", "A600");
  CaseLayout l = layout_of(schema_of({{"COMME001", TypeId::Int64}, {"comment", TypeId::Utf8}}), m);
  std::vector<std::string> names;
  for (const SlotRecord& r : l.slots)
    if (!r.is_continuation) names.push_back(r.name);
  EXPECT_EQ(names, (std::vector<std::string>{"COMME001", "COMMENT", "COMME1", "COMME002"}));
  ASSERT_EQ(l.very_long_strings.size(), 1u);
  EXPECT_EQ(l.very_long_strings[0], (std::pair<std::string, size_t>{"COMMENT", 600}));
}

TEST(WriterLayout, MissingValueForms) {
  SpssMetadata m;
  m.variable_missing_values.insert(
      "x", {MissingSpec::range(1, 5), MissingSpec::discrete(9), MissingSpec::discrete(10)});
  m.variable_missing_values.insert("s", {MissingSpec::discrete_string("NA")});
  m.variable_formats.insert("s", "A20");
  CaseLayout l = layout_of(schema_of({{"x", TypeId::Float64}, {"s", TypeId::Utf8}}), m);
  EXPECT_EQ(l.variables[0].missing_values.kind, MissingValues::Kind::RangeAndValue);
  EXPECT_EQ(l.variables[0].missing_values.numbers, (std::vector<double>{1, 5, 9}));
  EXPECT_EQ(missing_value_count(l.slots[0].missing_values), -3);
  ASSERT_EQ(l.variables[1].missing_values.strings.size(), 1u);
  EXPECT_EQ(std::string(l.variables[1].missing_values.strings[0].begin(),
                        l.variables[1].missing_values.strings[0].end()),
            "NA      ");
  EXPECT_EQ(l.slots[1].missing_values.kind, MissingValues::Kind::None);  // width 20 > 8
}

TEST(WriterLayout, NameRules) {
  const std::pair<std::string, bool> cases[] = {
      {"age", true},
      {"x.", true},
      {"\xC3\xBC"
       "ber",
       true},
      {"a b", false},
      {"1st", false},
      {"_x", false},
      {"and", false},
      {"WITH", false},
      {"with_x", true},
      {std::string(64, 'v'), true},
      {std::string(65, 'v'), false},
  };
  for (const auto& [name, ok] : cases) {
    std::unordered_set<std::string> seen;
    EXPECT_EQ(check_variable_name(name, seen).ok(), ok) << name;
  }
  std::unordered_set<std::string> seen;
  EXPECT_TRUE(check_variable_name("Age", seen).ok());
  EXPECT_EQ(check_variable_name("aGE", seen).error().message(),
            "write error: column 'aGE': another column has the same name apart from case");
}

// ----- dictionary records -----------------------------------------------------------------

std::vector<uint8_t> dictionary_bytes(const CaseLayout& l, const SpssMetadata& m,
                                      uint64_t rows = 3) {
  auto w = BufferedWriter::to_memory();
  SavWriteExt out(*w);
  HeaderValues h;
  h.total_slots = l.total_slots;
  h.rows = rows;
  h.file_label = m.file_label;
  std::tie(h.creation_date, h.creation_time) = *parse_iso_to_spss_parts("2024-03-05 14:30:00");
  EXPECT_TRUE(write_dictionary(out, h, l, m).ok());
  EXPECT_TRUE(w->flush().ok());
  return w->bytes();
}

TEST(WriterRecords, TheReaderResolvesWhatWasWritten) {
  SpssMetadata m;
  m.file_label = "Label";
  m.notes = {"one", std::string(100, 'n')};
  m.variable_labels.insert("income", "Income, yearly");
  m.variable_formats.insert("income", "F10.2");
  m.variable_formats.insert("city", "A30");
  m.variable_value_labels.insert("city", {});
  m.variable_value_labels.find("city")->insert(Value::string("B"), "Berlin");
  m.variable_value_labels.insert("income", {});
  m.variable_value_labels.find("income")->insert(Value::number(1), "low");
  m.variable_measures.insert("city", Measure::Nominal);
  m.variable_alignments.insert("city", Alignment::Center);
  m.variable_display_widths.insert("city", 12);
  m.variable_roles.insert("city", Role::Target);
  m.variable_roles.insert("income", Role::Input);
  CaseLayout l = layout_of(schema_of({{"income", TypeId::Float64}, {"city", TypeId::Utf8}}), m);
  ResolvedDictionary d = testing::resolve_bytes(dictionary_bytes(l, m));
  const SpssMetadata& r = d.metadata;
  EXPECT_EQ(r.file_label, "Label");
  EXPECT_EQ(r.notes, (std::vector<std::string>{"one", std::string(80, 'n'), std::string(20, 'n')}));
  EXPECT_EQ(r.variable_names, (std::vector<std::string>{"income", "city"}));
  EXPECT_EQ(*r.variable_labels.find("income"), "Income, yearly");
  EXPECT_EQ(*r.variable_formats.find("city"), "A30");
  EXPECT_EQ(*r.variable_value_labels.find("city"), *m.variable_value_labels.find("city"));
  EXPECT_EQ(*r.variable_value_labels.find("income"), *m.variable_value_labels.find("income"));
  EXPECT_EQ(*r.variable_alignments.find("city"), Alignment::Center);
  EXPECT_EQ(*r.variable_display_widths.find("city"), 12u);
  EXPECT_EQ(*r.variable_roles.find("city"), Role::Target);
  EXPECT_EQ(d.header.creation_date, "05 Mar 24");
  EXPECT_EQ(d.header.creation_time, "14:30:00");
  EXPECT_EQ(d.header.ncases, 3);
}

TEST(WriterRecords, ExtensionRecordsInOrder) {
  SpssMetadata m;
  m.variable_roles.insert("x", Role::Input);
  CaseLayout l = layout_of(schema_of({{"x", TypeId::Float64}}), m);
  ASSERT_TRUE(testing::parse_bytes(dictionary_bytes(l, m)).ok());
  // Walk the extension records from the first one (subtype 3) to the termination record.
  std::vector<uint8_t> b = dictionary_bytes(l, m);
  auto i32 = [&](size_t at) {
    int32_t v;
    std::memcpy(&v, &b[at], 4);
    return v;
  };
  size_t at = 176;
  while (!(i32(at) == 7 && i32(at + 4) == 3)) at += 4;
  std::vector<int32_t> subtypes;
  while (i32(at) == 7) {
    subtypes.push_back(i32(at + 4));
    at += 16 + static_cast<size_t>(i32(at + 8)) * static_cast<size_t>(i32(at + 12));
  }
  EXPECT_EQ(i32(at), 999);
  EXPECT_EQ(subtypes, (std::vector<int32_t>{3, 4, 11, 13, 20, 18}));
}

TEST(WriterRecords, HeaderCaseCountBeyond32BitsIsUnknown) {
  SpssMetadata m;
  CaseLayout l = layout_of(schema_of({{"x", TypeId::Float64}}), m);
  for (auto [rows, expected] : {std::pair<uint64_t, int32_t>{0x7FFFFFFF, 0x7FFFFFFF},
                                {0x80000000ull, -1},
                                {0x100000005ull, -1}}) {
    std::vector<uint8_t> b = dictionary_bytes(l, m, rows);
    int32_t n;
    std::memcpy(&n, &b[80], 4);
    EXPECT_EQ(n, expected);
  }
}

TEST(WriterRecords, IsoCreationTimes) {
  EXPECT_EQ(*parse_iso_to_spss_parts("2023-12-01 08:05:09"),
            (std::pair<std::string, std::string>{"01 Dec 23", "08:05:09"}));
  EXPECT_EQ(parse_iso_to_spss_parts("2023-12-01 08:05:09.123456")->second, "08:05:09.123456");
  for (const char* bad : {"2023-12-01T08:05:09", "2023-13-01 00:00", "2023-12 00:00",
                          "2023-12-01-02 00:00", "x-12-01 00:00"})
    EXPECT_FALSE(parse_iso_to_spss_parts(bad).has_value()) << bad;
}

TEST(WriterRecords, TextsAreCutBetweenCharacters) {
  EXPECT_EQ(cut_utf8("ab\xC3\xA9", 3), "ab");
  EXPECT_EQ(cut_utf8("ab\xC3\xA9", 4), "ab\xC3\xA9");
  EXPECT_EQ(cut_utf8("\xE6\x97\xA5\xE6\x9C\xAC", 5), "\xE6\x97\xA5");
  std::string note;
  for (int i = 0; i < 50; ++i) note += "\xC3\xA9";  // 100 bytes
  auto lines = document_lines(note);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 80u);
  EXPECT_EQ(lines[0] + lines[1], note);
}

// ----- bytecode encoder -------------------------------------------------------------------

std::vector<uint8_t> encode(const std::vector<uint64_t>& slots, size_t per_row) {
  BytecodeEncoder enc;
  enc.encode_rows(reinterpret_cast<const uint8_t*>(slots.data()), slots.size() / per_row, per_row);
  enc.write_eof();
  return {enc.output().begin(), enc.output().end()};
}

TEST(BytecodeEncoder, CodesOfTheSpecifiedValues) {
  std::vector<uint64_t> slots;
  for (double v : {1.0, 151.0, 152.0, -99.0, -100.0, 0.5})
    slots.push_back(std::bit_cast<uint64_t>(v));
  slots.push_back(sav::kSysmisBits);
  slots.push_back(sav::kBlankBits);
  std::vector<uint8_t> out = encode(slots, 8);
  ASSERT_EQ(out.size(), 8u + 3 * 8 + 8);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 8),
            (std::vector<uint8_t>{101, 251, 253, 1, 253, 253, 255, 254}));
  double raw[3];
  std::memcpy(raw, out.data() + 8, 24);
  EXPECT_EQ(raw[0], 152.0);
  EXPECT_EQ(raw[1], -100.0);
  EXPECT_EQ(raw[2], 0.5);
  EXPECT_EQ(std::vector<uint8_t>(out.end() - 8, out.end()),
            (std::vector<uint8_t>{252, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(encode({}, 1), (std::vector<uint8_t>{252, 0, 0, 0, 0, 0, 0, 0}));
  // -0.0 is not the integer 0: stored raw.
  EXPECT_EQ(encode({std::bit_cast<uint64_t>(-0.0)}, 1)[0], 253);
}

TEST(BytecodeEncoder, TheDecoderGivesBackEveryRow) {
  std::mt19937_64 rng(7);
  const double pool[] = {0.0, 1.0, -99.0, 151.0, 152.0, 0.25, -1e300, 1e300, NAN, INFINITY};
  for (size_t per_row : {1u, 3u, 8u, 13u}) {
    std::vector<uint64_t> slots(per_row * 1000);
    for (auto& s : slots) {
      const uint64_t r = rng() % 12;
      s = r < 10 ? std::bit_cast<uint64_t>(pool[r]) : r == 10 ? sav::kSysmisBits : sav::kBlankBits;
      if (rng() % 5 == 0) s = rng();  // arbitrary text or number bits
    }
    std::vector<uint8_t> stream = encode(slots, per_row);
    BytecodeState st = BytecodeState::make(100.0, false);
    st.data = stream.data();
    st.size = stream.size();
    std::vector<uint64_t> back(slots.size() + per_row);
    DecodeResult r = decode_rows(st, reinterpret_cast<uint8_t*>(back.data()), per_row, 1001);
    EXPECT_EQ(r.rows, 1000u);
    EXPECT_EQ(r.outcome, DecodeOutcome::End);
    back.resize(slots.size());
    EXPECT_EQ(back, slots) << per_row;
  }
}

// ----- .zsav framing ----------------------------------------------------------------------

TEST(ZsavWriter, AnEmptyTableWritesOneEndBlockAndItsTrailer) {
  WriteTable t;
  t.schema = std::make_shared<const Schema>();
  auto w = BufferedWriter::to_memory();
  SavWriteExt out(*w);
  ASSERT_TRUE(write_dictionary(out, HeaderValues{}, CaseLayout{}, SpssMetadata{}).ok());
  const uint64_t h = w->position();
  auto rows = RowAssembler::make(t, CaseLayout{});
  ASSERT_TRUE(rows.ok());
  ASSERT_TRUE(write_data_zsav(*w, rows.value(), 0, 6).ok());
  ASSERT_TRUE(w->flush().ok());
  const auto& b = w->bytes();
  int64_t zh[3];
  std::memcpy(zh, &b[h], 24);
  EXPECT_EQ(zh[0], static_cast<int64_t>(h));
  EXPECT_EQ(zh[2], 48);
  EXPECT_EQ(static_cast<uint64_t>(zh[1] + zh[2]), b.size());
  const size_t trailer = static_cast<size_t>(zh[1]);
  int64_t first_entry[2];
  int32_t sizes[2], count;
  std::memcpy(&count, &b[trailer + 20], 4);
  std::memcpy(first_entry, &b[trailer + 24], 16);
  std::memcpy(sizes, &b[trailer + 40], 8);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(first_entry[0], static_cast<int64_t>(h));
  EXPECT_EQ(first_entry[1], static_cast<int64_t>(h + 24));
  EXPECT_EQ(sizes[0], 8);
}

}  // namespace
}  // namespace korvel
