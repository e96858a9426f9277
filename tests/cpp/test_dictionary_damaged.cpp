// Damaged dictionaries: truncated at every byte, and real files with bytes changed. Each must
// end in a clear error or a sound result; never a crash or a hang.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "dictionary_test_util.hpp"

using namespace korvel;
using namespace korvel::testing;

namespace {

namespace fs = std::filesystem;

// A dictionary using every record kind the reader parses.
std::vector<uint8_t> rich_dictionary(bool big) {
  auto b = with_header(big);
  VarSpec v;
  v.name = "ID";
  v.label = "Identifier";
  v.n_missing = -3;
  v.missing = {1, 5, 9};
  b.variable(v).string("NAME", 30).string("LONG", 255).string("LONG0", 45).numeric("W");
  b.numeric_labels({{1, "one"}, {2, "two"}}, {1, 6}).string_labels({{"ab", "AB"}}, {2});
  b.document({"a note"}).integer_info(65001).float_info();
  b.display_params({{1, 8, 0}, {1, 30, 0}, {1, 297, 0}, {1, 297, 0}, {3, 8, 1}});
  b.text_extension(13, "ID=id\tNAME=Name\tLONG=Long\tW=weight");
  b.text_extension(14, std::string("LONG=297\0", 9));
  b.text_extension(7, "$s=C 3 Set ID W\n");
  b.text_extension(18, "id:$@Role('1'\n)Note('x'\n)");
  b.text_extension(20, "UTF-8");
  SavBuilder labels(big);
  labels.i32(4).bytes("Name").i32(30).i32(1).i32(2).bytes("ab").i32(2).bytes("AB");
  b.extension(21, 1, static_cast<int32_t>(labels.size()), labels.str());
  SavBuilder missing(big);
  missing.i32(4).bytes("NAME").u8(1).i32(8).bytes("none    ");
  b.extension(22, 1, static_cast<int32_t>(missing.size()), missing.str());
  b.end_dictionary();
  return b.take();
}

void expect_sound(const ResolvedDictionary& d) {
  ASSERT_EQ(d.variables.size(), d.metadata.number_columns);
  ASSERT_EQ(d.metadata.variable_names.size(), d.metadata.number_columns);
  for (const auto& v : d.variables) {
    EXPECT_LE(v.slot_index + slots_occupied(v.var_type, v.n_segments), d.slots_per_row);
  }
}

TEST(DictionaryDamaged, EveryTruncationFailsWithEndOfInput) {
  for (bool big : {false, true}) {
    const std::vector<uint8_t> full = rich_dictionary(big);
    auto whole = parse_bytes(full);
    ASSERT_TRUE(whole.ok()) << whole.error().message();
    expect_sound(resolve_dictionary(std::move(whole).value()));
    for (size_t n = 0; n < full.size(); ++n) {
      std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
      EXPECT_EQ(parse_error(std::move(cut)), "I/O error: failed to fill whole buffer")
          << "cut at " << n << (big ? " (big-endian)" : "");
    }
  }
}

std::vector<uint8_t> read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(DictionaryDamaged, ChangedBytesGiveAnErrorOrASoundResult) {
  const fs::path dir = fs::path(KORVEL_SHARED_DIR) / "fixtures";
  if (!fs::is_directory(dir)) GTEST_SKIP() << "fixtures not found at " << dir;
  const char* files[] = {"savreaderwriter/spssio_test.sav", "pyreadstat/mr_simple_alltypes.sav",
                         "savreaderwriter/greetings.sav", "pyreadstat/tegulu.sav"};
  std::mt19937 rng(20240305);
  for (const char* name : files) {
    const std::vector<uint8_t> original = read_file(dir / name);
    ASSERT_GT(original.size(), 200u) << name;
    // Changes land in the dictionary part: after the header, within the first few KiB.
    const size_t span = std::min<size_t>(original.size(), 4096) - 176;
    for (int round = 0; round < 400; ++round) {
      std::vector<uint8_t> bytes = original;
      const int changes = 1 + static_cast<int>(rng() % 4);
      for (int c = 0; c < changes; ++c) {
        const size_t at = 176 + rng() % span;
        // Mostly extreme values, which is where lengths and counts go wrong.
        static constexpr uint8_t kValues[] = {0x00, 0xFF, 0x7F, 0x80, 0x01, 0x20, 0x27, 0x2F};
        bytes[at] = rng() % 2 ? kValues[rng() % 8] : static_cast<uint8_t>(rng());
      }
      auto raw = parse_bytes(std::move(bytes));
      if (!raw.ok()) {
        EXPECT_FALSE(raw.error().message().empty());
        continue;
      }
      expect_sound(resolve_dictionary(std::move(raw).value()));
    }
  }
}

}  // namespace
