// The record loop and the fixed records: variables (type 2), value labels (types 3 and 4),
// documents (type 6), extension headers (type 7) and the termination record.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <functional>

#include "dictionary_test_util.hpp"

using namespace korvel;
using namespace korvel::testing;

namespace {

std::string label_text(const VariableRecord& v) {
  return v.label ? std::string(v.label->begin(), v.label->end()) : "<none>";
}

TEST(DictionaryRecords, StringWithContinuationsTakesOneRecordPerSlot) {
  auto b = with_header();
  b.string("NAME", 20).numeric("AGE").end_dictionary();
  auto raw = parse_bytes(b.take());
  ASSERT_TRUE(raw.ok()) << raw.error().message();
  ASSERT_EQ(raw->variables.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(raw->variables[i].slot_index, i);
  EXPECT_EQ(raw->variables[0].var_type, VarType::string(20));
  EXPECT_FALSE(raw->variables[0].skip);
  EXPECT_TRUE(raw->variables[1].skip);
  EXPECT_TRUE(raw->variables[2].skip);
  EXPECT_EQ(raw->variables[1].var_type, VarType::numeric());
  EXPECT_FALSE(raw->variables[3].skip);
  EXPECT_EQ(as_string(raw->variables[3].raw_name), "AGE");
}

TEST(DictionaryRecords, NameIsTrimmedAndKeptUndecoded) {
  auto b = with_header();
  VarSpec v;
  v.name = std::string("\xe4ge\0 \0", 6);  // windows-1252 "äge" padded with NULs and a space
  b.variable(v).end_dictionary();
  auto raw = parse_bytes(b.take());
  ASSERT_TRUE(raw.ok());
  // Decoding and upper-casing wait for the file's encoding, known only after every record.
  EXPECT_EQ(as_string(raw->variables[0].raw_name), "\xe4ge");
}

TEST(DictionaryRecords, LabelLengthsAndFlags) {
  struct Case {
    std::optional<std::string> label;
    std::optional<int32_t> flag;
    std::string expected;
  };
  const Case cases[] = {
      {"Hello", std::nullopt, "Hello"},        // 5 bytes, padded to 8
      {"12345678", std::nullopt, "12345678"},  // 8 bytes, no padding
      {"", std::nullopt, ""},                  // flag 1, length 0: present and empty
      {"ignored", 2, "<none>"},                // flag 2: no label and no length field
      {"ignored", 0, "<none>"},
  };
  for (const auto& c : cases) {
    auto b = with_header();
    VarSpec v;
    v.name = "X";
    v.label = c.label;
    v.label_flag = c.flag;
    // A record after the label shows that exactly the padded label was consumed.
    b.variable(v).numeric("NEXT").end_dictionary();
    auto raw = parse_bytes(b.take());
    ASSERT_TRUE(raw.ok()) << c.expected << ": " << raw.error().message();
    ASSERT_EQ(raw->variables.size(), 2u);
    EXPECT_EQ(label_text(raw->variables[0]), c.expected);
    EXPECT_EQ(as_string(raw->variables[1].raw_name), "NEXT");
  }
}

TEST(DictionaryRecords, MissingValueForms) {
  using K = MissingValues::Kind;
  struct Case {
    int32_t type_code;
    int32_t n;
    std::vector<double> numbers;
    std::vector<std::string> strings;
    K kind;
  };
  const Case cases[] = {
      {0, 0, {}, {}, K::None},
      {0, 3, {1, 2, 3}, {}, K::Discrete},
      {0, -1, {7}, {}, K::Discrete},
      {0, -2, {1, 5}, {}, K::Range},
      {0, -3, {1, 5, 9}, {}, K::RangeAndValue},
      {8, -2, {}, {"a", "bb"}, K::Strings},
      {8, 2, {}, {"x", "yy"}, K::Strings},
  };
  for (bool big : {false, true}) {
    for (const auto& c : cases) {
      auto b = with_header(big);
      VarSpec v;
      v.name = "V";
      v.type_code = c.type_code;
      v.n_missing = c.n;
      v.missing = c.numbers;
      v.missing_raw = c.strings;
      b.variable(v).numeric("NEXT").end_dictionary();
      auto raw = parse_bytes(b.take());
      ASSERT_TRUE(raw.ok()) << raw.error().message();
      const MissingValues& mv = raw->variables[0].missing_values;
      EXPECT_EQ(mv.kind, c.kind) << "n=" << c.n;
      EXPECT_EQ(mv.numbers, c.numbers) << "n=" << c.n << " big=" << big;
      ASSERT_EQ(mv.strings.size(), c.strings.size());
      for (size_t i = 0; i < c.strings.size(); ++i) {
        std::string expected = c.strings[i];
        expected.resize(8, ' ');
        EXPECT_EQ(std::string(mv.strings[i].begin(), mv.strings[i].end()), expected);
      }
      EXPECT_EQ(as_string(raw->variables[1].raw_name), "NEXT");
    }
  }
}

// An indicator outside -3..3 leaves the record's length unknown: reading stops at that record,
// naming it, instead of misreading the records after it.
TEST(DictionaryRecords, InvalidMissingValueIndicatorFailsAtItsRecord) {
  for (bool big : {false, true}) {
    for (int32_t type_code : {0, 8}) {
      for (int32_t n : {4, -4, -5, 100, INT32_MIN, INT32_MAX}) {
        auto b = with_header(big);
        VarSpec v;
        v.name = "AGE";
        v.type_code = type_code;
        v.n_missing = n;
        // Enough values for the indicators a lenient reader would take as a count.
        v.missing = std::vector<double>(5, 1.0);
        b.numeric("FIRST").variable(v).numeric("NEXT").end_dictionary();
        EXPECT_EQ(parse_error(b.take()),
                  "invalid variable record: missing value indicator " + std::to_string(n) +
                      " out of range -3 to 3 for variable AGE in type 2 record")
            << n << " big=" << big << " type=" << type_code;
      }
    }
  }
}

TEST(DictionaryRecords, FormatWordsAndDefaultDisplayWidth) {
  struct Case {
    uint32_t word;
    SpssFormat format;
    uint32_t display_width;
  };
  const Case cases[] = {
      {0x00050802, {5, 8, 2}, 8},    {0x00050C00, {5, 12, 0}, 12},
      {0x000D0A00, {0, 10, 0}, 8},   // type 13 is not a format
      {0x7F050A03, {5, 10, 3}, 10},  // the top byte is ignored
      {0x00140B00, {20, 11, 0}, 11},
  };
  for (const auto& c : cases) {
    auto b = with_header();
    VarSpec v;
    v.name = "V";
    v.print_format = c.word;
    v.write_format = 0x00050802;
    b.variable(v).end_dictionary();
    auto raw = parse_bytes(b.take());
    ASSERT_TRUE(raw.ok());
    EXPECT_EQ(raw->variables[0].print_format, c.format) << std::hex << c.word;
    EXPECT_EQ(raw->variables[0].write_format, (SpssFormat{5, 8, 2}));
    EXPECT_EQ(raw->variables[0].display_width, c.display_width) << std::hex << c.word;
    EXPECT_EQ(raw->variables[0].measure, Measure::Unknown);
    EXPECT_EQ(raw->variables[0].alignment, Alignment::Unknown);
    EXPECT_EQ(raw->variables[0].n_segments, 1u);
  }
}

TEST(DictionaryRecords, ValueLabelPaddingAndIndices) {
  for (bool big : {false, true}) {
    auto b = with_header(big);
    b.numeric("A").numeric("B");
    // Labels of 7, 8, 0 and 15 bytes: 7 needs no padding, 8 needs 7 bytes, 0 needs 7.
    b.numeric_labels({{1.0, "seven.."}, {2.0, "eight..."}, {3.0, ""}, {4.0, "fifteen........"}},
                     {2, 1});
    b.document({"after"}).end_dictionary();
    auto raw = parse_bytes(b.take());
    ASSERT_TRUE(raw.ok()) << raw.error().message();
    ASSERT_EQ(raw->value_label_sets.size(), 1u);
    const ValueLabelSet& set = raw->value_label_sets[0];
    ASSERT_EQ(set.labels.size(), 4u);
    EXPECT_EQ(as_string(set.labels[0].second), "seven..");
    EXPECT_EQ(as_string(set.labels[1].second), "eight...");
    EXPECT_EQ(as_string(set.labels[2].second), "");
    EXPECT_EQ(as_string(set.labels[3].second), "fifteen........");
    // Values are kept exactly as stored, in the file's byte order.
    std::string stored(set.labels[1].first.begin(), set.labels[1].first.end());
    EXPECT_EQ(stored, SavBuilder::number_bytes(2.0, big));
    EXPECT_EQ(set.variable_indices, (std::vector<size_t>{1, 0}));
    ASSERT_EQ(raw->documents.size(), 1u);
    EXPECT_EQ(as_string(raw->documents[0]), "after");
  }
}

TEST(DictionaryRecords, ValueLabelSetWithNoLabelsIsAllowed) {
  auto b = with_header();
  b.numeric("A").numeric_labels({}, {1}).end_dictionary();
  auto raw = parse_bytes(b.take());
  ASSERT_TRUE(raw.ok()) << raw.error().message();
  ASSERT_EQ(raw->value_label_sets.size(), 1u);
  EXPECT_TRUE(raw->value_label_sets[0].labels.empty());
}

TEST(DictionaryRecords, DocumentsAccumulateInFileOrder) {
  auto b = with_header(true);
  b.document({"one", "two  "}).numeric("X").document({"three", "", "five\0\0"}).end_dictionary();
  auto raw = parse_bytes(b.take());
  ASSERT_TRUE(raw.ok());
  std::vector<std::string> lines;
  for (const auto& l : raw->documents) lines.push_back(as_string(l));
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "three", "", "five"}));
}

TEST(DictionaryRecords, UnknownExtensionSubtypesAreSkipped) {
  auto b = with_header();
  b.numeric("X");
  b.extension(16, 8, 1, std::string(8, '\x01'));
  b.extension(17, 1, 5, "abcde");
  b.extension(5, 1, 0, "");
  b.extension(12, 4, 3000, std::string(12000, 'z'));  // more than one scratch buffer
  b.numeric("Y").end_dictionary();
  auto raw = parse_bytes(b.take());
  ASSERT_TRUE(raw.ok()) << raw.error().message();
  ASSERT_EQ(raw->variables.size(), 2u);
  EXPECT_EQ(as_string(raw->variables[1].raw_name), "Y");
}

TEST(DictionaryRecords, TerminationLeavesReaderAtCaseData) {
  auto b = with_header();
  b.numeric("X").end_dictionary();
  const size_t dict_end = b.size();
  b.f64(42.0);
  SavReader reader = reader_over(b.take());
  auto header = read_file_header(reader);
  ASSERT_TRUE(header.ok());
  auto raw = parse_dictionary(reader, *header);
  ASSERT_TRUE(raw.ok());
  EXPECT_EQ(reader.position(), dict_end);
  EXPECT_EQ(raw->header.compression, Compression::Uncompressed);
}

TEST(DictionaryRecords, BigEndianNumbersAreReversed) {
  auto b = with_header(true);
  VarSpec v;
  v.name = "X";
  v.label = "Age";
  v.n_missing = -2;
  v.missing = {1.5, 9.25};
  v.print_format = 0x00050A03;
  b.variable(v).string("S", 12).numeric_labels({{1.0, "one"}}, {1}).end_dictionary();
  auto raw = parse_bytes(b.take());
  ASSERT_TRUE(raw.ok()) << raw.error().message();
  ASSERT_TRUE(raw->header.swap_bytes);
  ASSERT_EQ(raw->variables.size(), 3u);
  EXPECT_EQ(label_text(raw->variables[0]), "Age");
  EXPECT_EQ(raw->variables[0].missing_values.numbers, (std::vector<double>{1.5, 9.25}));
  EXPECT_EQ(raw->variables[0].print_format, (SpssFormat{5, 10, 3}));
  EXPECT_EQ(raw->variables[1].var_type, VarType::string(12));
  EXPECT_EQ(raw->value_label_sets[0].variable_indices, (std::vector<size_t>{0}));
}

// Structural faults and their messages.
TEST(DictionaryRecords, StructuralErrors) {
  struct Case {
    const char* what;
    std::function<void(SavBuilder&)> build;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"type 3 then type 2",
       [](SavBuilder& b) {
         b.numeric("X").i32(3).i32(1).f64(1.0).u8(1).padded("a", 7).numeric("Y");
       },
       "invalid value label record: expected type 4 record after type 3, got type 2"},
      {"type 4 index 0", [](SavBuilder& b) { b.numeric("X").i32(3).i32(0).i32(4).i32(1).i32(0); },
       "invalid value label record: invalid variable index 0 in type 4 record"},
      {"type 4 index -3",
       [](SavBuilder& b) { b.numeric("X").i32(3).i32(0).i32(4).i32(2).i32(1).i32(-3); },
       "invalid value label record: invalid variable index -3 in type 4 record"},
      {"type 4 with 0 variables", [](SavBuilder& b) { b.numeric("X").i32(3).i32(0).i32(4).i32(0); },
       "invalid value label record: type 4 record with 0 variables"},
      {"type 4 on its own", [](SavBuilder& b) { b.numeric("X").i32(4).i32(1).i32(1); },
       "unexpected record type 4 at offset 208"},
      {"type 5", [](SavBuilder& b) { b.i32(5); }, "unexpected record type 5 at offset 176"},
      {"end of file before termination", [](SavBuilder& b) { b.numeric("X"); },
       "I/O error: failed to fill whole buffer"},
      {"end of file inside a variable record", [](SavBuilder& b) { b.i32(2).i32(0).i32(0); },
       "I/O error: failed to fill whole buffer"},
      {"end of file inside an extension body",
       [](SavBuilder& b) { b.i32(7).i32(13).i32(1).i32(10).bytes("A=a"); },
       "I/O error: failed to fill whole buffer"},
      {"end of file inside a skipped body",
       [](SavBuilder& b) { b.i32(7).i32(16).i32(8).i32(2).zeros(8); },
       "I/O error: failed to fill whole buffer"},
  };
  for (const auto& c : cases) {
    auto b = with_header();
    c.build(b);
    EXPECT_EQ(parse_error(b.take()), c.message) << c.what;
  }
}

// Hostile counts and lengths: negative ones are malformed, and ones larger than the rest of
// the input fail before anything is allocated for them.
struct HostileCase {
  const char* what;
  std::function<void(SavBuilder&)> build;
  std::string message;
};

std::vector<HostileCase> hostile_cases() {
  const std::string eof = "I/O error: failed to fill whole buffer";
  return {
      {"negative label length",
       [](SavBuilder& b) { b.i32(2).i32(0).i32(1).i32(0).i32(0).i32(0).padded("X", 8).i32(-1); },
       "invalid variable record: negative label length -1 in type 2 record"},
      {"huge label length",
       [](SavBuilder& b) {
         b.i32(2).i32(0).i32(1).i32(0).i32(0).i32(0).padded("X", 8).i32(INT32_MAX);
       },
       eof},
      {"huge numeric missing count",
       [](SavBuilder& b) { b.i32(2).i32(0).i32(0).i32(INT32_MIN).i32(0).i32(0).padded("X", 8); },
       "invalid variable record: missing value indicator -2147483648 out of range -3 to 3 for "
       "variable X in type 2 record"},
      {"huge string missing count",
       [](SavBuilder& b) { b.i32(2).i32(8).i32(0).i32(INT32_MAX).i32(0).i32(0).padded("X", 8); },
       "invalid variable record: missing value indicator 2147483647 out of range -3 to 3 for "
       "variable X in type 2 record"},
      {"negative value-label count", [](SavBuilder& b) { b.numeric("X").i32(3).i32(-1); },
       "invalid value label record: negative label count -1 in type 3 record"},
      {"huge value-label count", [](SavBuilder& b) { b.numeric("X").i32(3).i32(INT32_MAX); }, eof},
      {"negative variable count",
       [](SavBuilder& b) { b.numeric("X").i32(3).i32(0).i32(4).i32(-2); },
       "invalid value label record: negative variable count -2 in type 4 record"},
      {"huge variable count",
       [](SavBuilder& b) { b.numeric("X").i32(3).i32(0).i32(4).i32(INT32_MAX).i32(1); }, eof},
      {"negative document line count", [](SavBuilder& b) { b.i32(6).i32(-1); },
       "invalid variable record: negative line count -1 in type 6 record"},
      {"huge document line count", [](SavBuilder& b) { b.i32(6).i32(INT32_MAX); }, eof},
      {"negative extension size", [](SavBuilder& b) { b.i32(7).i32(13).i32(-1).i32(4); },
       "invalid variable record: negative element size or count in type 7 subtype 13 record "
       "(size -1, count 4)"},
      {"negative extension count", [](SavBuilder& b) { b.i32(7).i32(3).i32(4).i32(-8); },
       "invalid variable record: negative element size or count in type 7 subtype 3 record "
       "(size 4, count -8)"},
      {"two negative factors", [](SavBuilder& b) { b.i32(7).i32(99).i32(-1).i32(-4); },
       "invalid variable record: negative element size or count in type 7 subtype 99 record "
       "(size -1, count -4)"},
      {"huge parsed extension",
       [](SavBuilder& b) { b.i32(7).i32(18).i32(INT32_MAX).i32(INT32_MAX); }, eof},
      {"huge machine-info extension", [](SavBuilder& b) { b.i32(7).i32(3).i32(4).i32(INT32_MAX); },
       eof},
      {"huge skipped extension",
       [](SavBuilder& b) { b.i32(7).i32(16).i32(INT32_MAX).i32(INT32_MAX); }, eof},
  };
}

TEST(DictionaryRecords, HostileCountsAndLengthsFailClearly) {
  for (const auto& c : hostile_cases()) {
    auto b = with_header();
    c.build(b);
    b.zeros(64).end_dictionary();  // a little input left, far less than any count asks for
    EXPECT_EQ(parse_error(b.take()), c.message) << c.what;
  }
}

// Address space of this process in bytes, from /proc.
size_t address_space_bytes() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0;
  statm >> pages;
  return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

TEST(DictionaryRecords, HostileCountsAllocateNothingLarge) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves more address space than the limit allows";
#endif
  // In a child process whose address space may grow by at most 512 MiB: an attempt to reserve
  // room for a hostile count would fail there and end the child abnormally.
  EXPECT_EXIT(
      {
        rlimit lim{};
        lim.rlim_cur = lim.rlim_max = address_space_bytes() + (size_t{512} << 20);
        setrlimit(RLIMIT_AS, &lim);
        bool all = true;
        for (const auto& c : hostile_cases()) {
          auto b = with_header();
          c.build(b);
          b.zeros(64).end_dictionary();
          all = all && parse_error(b.take()) == c.message;
        }
        std::fflush(nullptr);
        _exit(all ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
