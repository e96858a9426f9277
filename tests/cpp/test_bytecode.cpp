#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bytecode_stream.hpp"
#include "case_source.hpp"
#include "compression/bytecode.hpp"
#include "temp_file.hpp"

using korvel::BytecodeSource;
using korvel::BytecodeState;
using korvel::DecodeOutcome;
using korvel::DecodeResult;

using korvel::testing::bits_of;
using korvel::testing::double_of;
using korvel::testing::StreamBuilder;
using korvel::testing::TempFile;

namespace {

BytecodeState state_over(const std::vector<uint8_t>& data, double bias = 100.0, bool swap = false) {
  BytecodeState st = BytecodeState::make(bias, swap);
  st.data = data.data();
  st.size = data.size();
  return st;
}

std::vector<uint64_t> slots_of(const std::vector<uint8_t>& bytes, size_t n) {
  std::vector<uint64_t> s(n);
  if (n > 0) std::memcpy(s.data(), bytes.data(), n * 8);
  return s;
}

// The decoder written out plainly, one code at a time, as the format describes it.
struct Reference {
  std::vector<uint64_t> slots;  // complete rows only
  DecodeOutcome outcome;
  uint64_t expected = 0, got = 0;
};

Reference reference_decode(const std::vector<uint8_t>& data, double bias, size_t spr) {
  Reference ref;
  size_t pos = 0;
  std::vector<uint64_t> row;
  for (;;) {
    if (pos + 8 > data.size()) {
      ref.outcome = DecodeOutcome::OutOfInput;
      return ref;
    }
    const uint8_t* block = data.data() + pos;
    pos += 8;
    for (int k = 0; k < 8; ++k) {
      uint8_t c = block[k];
      uint64_t slot;
      if (c == 0) continue;
      if (c == 252) {
        ref.outcome = DecodeOutcome::End;
        return ref;
      }
      if (c == 253) {
        if (pos + 8 > data.size()) {
          ref.outcome = DecodeOutcome::Truncated;
          ref.expected = pos + 8;
          ref.got = data.size();
          return ref;
        }
        std::memcpy(&slot, data.data() + pos, 8);
        pos += 8;
      } else if (c == 254) {
        slot = korvel::kBlankBits;
      } else if (c == 255) {
        slot = korvel::kSysmisBits;
      } else {
        slot = bits_of(static_cast<double>(c) - bias);
      }
      row.push_back(slot);
      if (row.size() == spr) {
        ref.slots.insert(ref.slots.end(), row.begin(), row.end());
        row.clear();
      }
    }
  }
}

// A stream of random codes (with raw values), optionally closed by 252. `plain_percent` of the
// codes are 1..251; the rest are spread over 253, 0, 254 and 255.
std::vector<uint8_t> random_stream(std::mt19937_64& rng, size_t n_codes, bool with_end,
                                   int plain_percent = 45) {
  StreamBuilder sb;
  std::uniform_int_distribution<int> kind(0, 99);
  std::uniform_int_distribution<int> small(1, 251);
  for (size_t i = 0; i < n_codes; ++i) {
    int k = kind(rng);
    if (k < plain_percent) {
      sb.code(static_cast<uint8_t>(small(rng)));
      continue;
    }
    int rest = (k - plain_percent) * 100 / (100 - plain_percent);
    if (rest < 45) {
      sb.raw(rng());
    } else if (rest < 64) {
      sb.code(0);
    } else if (rest < 82) {
      sb.code(254);
    } else {
      sb.code(255);
    }
  }
  if (with_end) sb.code(252);
  return sb.finish();
}

// Decodes everything with batches of `batch` rows; returns the complete rows and the outcome
// that ended the data.
Reference decode_in_batches(BytecodeState st, size_t spr, size_t batch) {
  Reference got;
  std::vector<uint8_t> buf(batch * spr * 8);
  for (;;) {
    DecodeResult r = korvel::decode_rows(st, buf.data(), spr, batch);
    auto s = slots_of(buf, r.rows * spr);
    got.slots.insert(got.slots.end(), s.begin(), s.end());
    if (r.outcome != DecodeOutcome::Complete) {
      got.outcome = r.outcome;
      got.expected = r.expected;
      got.got = r.got;
      return got;
    }
  }
}

}  // namespace

TEST(BytecodeValueTable, CodesMinusBias) {
  struct Case {
    double bias;
    uint8_t code;
    double value;
  };
  const Case cases[] = {
      {100.0, 1, -99.0}, {100.0, 100, 0.0},  {100.0, 251, 151.0},
      {50.0, 1, -49.0},  {50.0, 251, 201.0}, {0.0, 7, 7.0},
  };
  for (const auto& c : cases) {
    auto data = StreamBuilder().code(c.code).finish();
    BytecodeState st = state_over(data, c.bias);
    std::vector<uint8_t> row(8);
    ASSERT_EQ(korvel::decode_row(st, row.data(), 1).outcome, DecodeOutcome::Complete);
    EXPECT_EQ(double_of(slots_of(row, 1)[0]), c.value) << "bias " << c.bias << " code " << +c.code;
  }
}

TEST(BytecodeDecode, FixedPatternsAndPadding) {
  // A block of eight 0s yields nothing; 0s between slots of a row are skipped.
  auto data = StreamBuilder()
                  .codes({0, 0, 0, 0, 0, 0, 0, 0})
                  .codes({254, 0, 255, 0, 0})
                  .raw_double(2.5)
                  .codes({0, 101})
                  .finish();
  BytecodeState st = state_over(data);
  std::vector<uint8_t> row(4 * 8);
  DecodeResult r = korvel::decode_row(st, row.data(), 4);
  ASSERT_EQ(r.outcome, DecodeOutcome::Complete);
  auto s = slots_of(row, 4);
  EXPECT_EQ(s[0], korvel::kBlankBits);
  EXPECT_EQ(std::memcmp(row.data(), "        ", 8), 0);
  EXPECT_EQ(s[1], korvel::kSysmisBits);
  EXPECT_EQ(double_of(s[2]), 2.5);
  EXPECT_EQ(double_of(s[3]), 1.0);
}

TEST(BytecodeDecode, RowsShareCommandBlocks) {
  // Three slots per row over codes 1..16: row 2 takes codes 4-6 of block 1, row 3 its codes 7
  // and 8 and the first code of block 2.
  StreamBuilder sb;
  for (uint8_t c = 1; c <= 16; ++c) sb.code(c);
  auto data = sb.finish();
  BytecodeState st = state_over(data, 0.0);
  std::vector<uint8_t> row(3 * 8);
  const double expect[][3] = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
  const size_t index_after[] = {3, 6, 1};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(korvel::decode_row(st, row.data(), 3).outcome, DecodeOutcome::Complete);
    auto s = slots_of(row, 3);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(double_of(s[k]), expect[i][k]) << "row " << i;
    EXPECT_EQ(st.command_index, index_after[i]) << "row " << i;
  }
  EXPECT_EQ(st.position, 16u);
}

TEST(BytecodeDecode, TwoRawValuesInOneBlock) {
  auto data = StreamBuilder().code(110).raw_double(-1.5).code(120).raw_double(1e300).finish();
  ASSERT_EQ(data.size(), 8u + 16u);
  BytecodeState st = state_over(data);
  std::vector<uint8_t> row(4 * 8);
  ASSERT_EQ(korvel::decode_row(st, row.data(), 4).outcome, DecodeOutcome::Complete);
  auto s = slots_of(row, 4);
  EXPECT_EQ(double_of(s[0]), 10.0);
  EXPECT_EQ(double_of(s[1]), -1.5);
  EXPECT_EQ(double_of(s[2]), 20.0);
  EXPECT_EQ(double_of(s[3]), 1e300);
  EXPECT_EQ(st.position, 24u);
}

TEST(BytecodeDecode, HowTheDataEnds) {
  struct Case {
    const char* name;
    std::vector<uint8_t> data;
    size_t rows;
    DecodeOutcome outcome;
  };
  // Two slots per row.
  const Case cases[] = {
      {"252 then seven 0s", StreamBuilder().codes({101, 102, 103, 104, 252}).finish(), 2,
       DecodeOutcome::End},
      {"no 252 after whole rows", StreamBuilder().codes({101, 102, 103, 104, 105, 106}).finish(), 3,
       DecodeOutcome::OutOfInput},
      {"252 inside a row", StreamBuilder().codes({101, 102, 103, 252, 104}).finish(), 1,
       DecodeOutcome::End},
      {"bytes short of a block",
       [] {
         auto d = StreamBuilder().codes({101, 102, 103, 104}).finish();
         d.insert(d.end(), {1, 2, 3, 4, 5});
         return d;
       }(),
       2, DecodeOutcome::OutOfInput},
      {"empty", {}, 0, DecodeOutcome::OutOfInput},
  };
  for (const auto& c : cases) {
    for (size_t batch : {size_t{1}, size_t{2}, size_t{100}}) {
      Reference got = decode_in_batches(state_over(c.data), 2, batch);
      EXPECT_EQ(got.slots.size(), c.rows * 2) << c.name << ", batch " << batch;
      EXPECT_EQ(got.outcome, c.outcome) << c.name << ", batch " << batch;
    }
    // Through the source: the rows, then nothing, however often asked.
    BytecodeSource src(korvel::BufferedReader::from_memory(c.data), 100.0, false);
    std::vector<uint8_t> buf(100 * 16);
    auto first = src.read_rows(buf.data(), 2, 100);
    ASSERT_TRUE(first.ok()) << c.name;
    EXPECT_EQ(*first, c.rows) << c.name;
    for (int again = 0; again < 2; ++again) {
      auto next = src.read_rows(buf.data(), 2, 100);
      ASSERT_TRUE(next.ok()) << c.name;
      EXPECT_EQ(*next, 0u) << c.name;
    }
  }
}

TEST(BytecodeDecode, TruncatedRawValue) {
  auto data = StreamBuilder().codes({101, 102}).raw_double(7.0).finish();
  data.resize(data.size() - 3);  // 5 of the 8 raw bytes remain
  BytecodeState st = state_over(data);
  std::vector<uint8_t> row(3 * 8);
  DecodeResult r = korvel::decode_row(st, row.data(), 3);
  ASSERT_EQ(r.outcome, DecodeOutcome::Truncated);
  EXPECT_EQ(r.expected, 16u);
  EXPECT_EQ(r.got, 13u);
  EXPECT_EQ(r.expected - r.got, 3u);
  EXPECT_EQ(r.partial_slots, 2u);

  // Through the source, also when the raw value straddles two windows of the file.
  for (size_t window : {size_t{64}, korvel::kBytecodeWindowBytes}) {
    std::vector<uint8_t> file(50 + data.size(), 0xAB);  // the dictionary, then the case data
    std::copy(data.begin(), data.end(), file.begin() + 50);
    TempFile tmp(file);
    auto reader = korvel::BufferedReader::open_file(tmp.path, 4096);
    ASSERT_TRUE(reader.ok());
    ASSERT_TRUE((*reader)->seek(50).ok());
    BytecodeSource src(std::move(*reader), 100.0, false, window);
    for (int attempt = 0; attempt < 2; ++attempt) {
      auto rows = src.read_rows(row.data(), 3, 1);
      ASSERT_FALSE(rows.ok());
      EXPECT_EQ(rows.error().message(), "truncated file: expected 16 bytes, got 13");
    }
  }
  BytecodeSource src(korvel::BufferedReader::from_memory(data), 100.0, false);
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto rows = src.read_rows(row.data(), 3, 1);
    ASSERT_FALSE(rows.ok());
    EXPECT_EQ(rows.error().message(), "truncated file: expected 16 bytes, got 13");
  }
}

TEST(BytecodeDecode, BatchesMatchThePlainDecoder) {
  std::mt19937_64 rng(12345);
  const size_t row_widths[] = {1, 2, 3, 7, 8, 9, 16, 33, 250};
  for (size_t spr : row_widths) {
    for (int plain : {45, 97}) {
      bool with_end = plain == 45;
      auto data = random_stream(rng, 3000, with_end, plain);
      Reference want = reference_decode(data, 100.0, spr);
      for (size_t batch : {size_t{1}, size_t{3}, size_t{64}, size_t{5000}}) {
        Reference got = decode_in_batches(state_over(data), spr, batch);
        ASSERT_EQ(got.outcome, want.outcome) << "spr " << spr << " batch " << batch;
        ASSERT_EQ(got.slots, want.slots) << "spr " << spr << " batch " << batch;
      }
    }
  }
}

TEST(BytecodeDecode, OneRowCallsLeaveTheSameStateAsTheBlockPath) {
  // Whole-block decoding must stop where one-row decoding stops: with the codes 0 after a
  // batch's last slot still unconsumed.
  std::mt19937_64 rng(99);
  auto data = random_stream(rng, 4000, true);
  const size_t spr = 5, rows_per_batch = 9;
  BytecodeState by_row = state_over(data);
  BytecodeState by_batch = state_over(data);
  std::vector<uint8_t> a(rows_per_batch * spr * 8), b(rows_per_batch * spr * 8);
  for (;;) {
    size_t got_rows = 0;
    DecodeResult rr{};
    for (size_t i = 0; i < rows_per_batch; ++i) {
      rr = korvel::decode_row(by_row, a.data() + i * spr * 8, spr);
      if (rr.outcome != DecodeOutcome::Complete) break;
      ++got_rows;
    }
    DecodeResult rb = korvel::decode_rows(by_batch, b.data(), spr, rows_per_batch);
    ASSERT_EQ(rb.rows, got_rows);
    ASSERT_EQ(std::memcmp(a.data(), b.data(), got_rows * spr * 8), 0);
    ASSERT_EQ(by_batch.position, by_row.position);
    ASSERT_EQ(by_batch.command_index, by_row.command_index);
    ASSERT_EQ(by_batch.end_seen, by_row.end_seen);
    if (rb.outcome != DecodeOutcome::Complete) break;
  }
  EXPECT_TRUE(by_batch.end_seen);
}

TEST(BytecodeDecode, ResumesWhereInputRanShort) {
  // The data arrives in two parts, cut at every byte: decoding what is there, then resuming
  // with the partial row once the rest is there, gives the rows of one pass.
  std::mt19937_64 rng(7);
  auto data = random_stream(rng, 120, true);
  const size_t spr = 7;
  Reference want = reference_decode(data, 100.0, spr);
  const size_t max_rows = want.slots.size() / spr + 2;
  for (size_t cut = 0; cut <= data.size(); ++cut) {
    BytecodeState st = state_over(data);
    st.size = cut;
    std::vector<uint8_t> buf(max_rows * spr * 8);
    DecodeResult first = korvel::decode_rows(st, buf.data(), spr, max_rows);
    size_t rows = first.rows;
    if (first.outcome == DecodeOutcome::OutOfInput || first.outcome == DecodeOutcome::Truncated) {
      ASSERT_LT(st.size - st.position, 8u) << "cut " << cut;
      st.size = data.size();
      DecodeResult rest = korvel::decode_rows(st, buf.data() + rows * spr * 8, spr, max_rows - rows,
                                              first.partial_slots);
      rows += rest.rows;
      ASSERT_EQ(rest.outcome, DecodeOutcome::End) << "cut " << cut;
    } else {
      ASSERT_EQ(first.outcome, DecodeOutcome::End) << "cut " << cut;
    }
    ASSERT_EQ(slots_of(buf, rows * spr), want.slots) << "cut " << cut;
  }
}

TEST(BytecodeDecode, ZeroWidthRowsYieldNothing) {
  auto data = StreamBuilder().codes({101, 102}).finish();
  BytecodeState st = state_over(data);
  uint8_t dummy[8];
  DecodeResult r = korvel::decode_rows(st, dummy, 0, 10);
  EXPECT_EQ(r.rows, 0u);
  EXPECT_EQ(r.outcome, DecodeOutcome::OutOfInput);
  EXPECT_EQ(st.position, 0u);
  EXPECT_EQ(korvel::decode_rows(st, dummy, 1, 0).rows, 0u);
  EXPECT_EQ(st.command_index, 8u);
}

TEST(BytecodeDecode, BigEndianSlotsAreInFileOrder) {
  // Every numeric slot of a big-endian file comes out big-endian, so one swap in the column
  // builder reads all of them; blanks and raw values are copied as stored.
  const uint64_t raw_be = __builtin_bswap64(bits_of(3.25));
  auto data = StreamBuilder().codes({1, 100, 251, 255, 254}).raw(raw_be).finish();
  BytecodeState st = state_over(data, 100.0, /*swap=*/true);
  std::vector<uint8_t> row(6 * 8);
  ASSERT_EQ(korvel::decode_row(st, row.data(), 6).outcome, DecodeOutcome::Complete);
  auto s = slots_of(row, 6);
  const double numeric[] = {-99.0, 0.0, 151.0};
  for (int k = 0; k < 3; ++k) EXPECT_EQ(double_of(__builtin_bswap64(s[k])), numeric[k]);
  EXPECT_EQ(__builtin_bswap64(s[3]), korvel::kSysmisBits);
  const uint8_t sysmis_be[8] = {0xFF, 0xEF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::memcmp(row.data() + 24, sysmis_be, 8), 0);
  EXPECT_EQ(s[4], korvel::kBlankBits);
  EXPECT_EQ(double_of(__builtin_bswap64(s[5])), 3.25);

  // A little-endian file keeps host order.
  BytecodeState le = state_over(data, 100.0, false);
  ASSERT_EQ(korvel::decode_row(le, row.data(), 6).outcome, DecodeOutcome::Complete);
  EXPECT_EQ(double_of(slots_of(row, 1)[0]), -99.0);
  EXPECT_EQ(slots_of(row, 4)[3], korvel::kSysmisBits);
}

namespace {}  // namespace

TEST(BytecodeSourceTest, WindowsOfAnySizeAgree) {
  std::mt19937_64 rng(4242);
  auto stream = random_stream(rng, 20000, true);
  const size_t spr = 11;
  Reference want = reference_decode(stream, 100.0, spr);
  ASSERT_GT(want.slots.size(), 0u);
  // Case data starting off a page boundary and on one; windows from barely more than a
  // command block with its raw values to more than the whole stream.
  for (size_t prefix : {size_t{5003}, size_t{8192}}) {
    std::vector<uint8_t> file(prefix, 0xAB);
    file.insert(file.end(), stream.begin(), stream.end());
    TempFile tmp(file);
    for (size_t window : {size_t{64}, size_t{77}, size_t{4096}, korvel::kBytecodeWindowBytes}) {
      auto reader = korvel::BufferedReader::open_file(tmp.path, 5000);
      ASSERT_TRUE(reader.ok());
      std::vector<uint8_t> skip(prefix);
      for (size_t done = 0; done < prefix;) {
        size_t n = std::min<size_t>(700, prefix - done);
        ASSERT_TRUE((*reader)->read_exact(skip.data() + done, n).ok());
        done += n;
      }
      ASSERT_FALSE((*reader)->buffered().empty());  // the source must start with these
      BytecodeSource src(std::move(*reader), 100.0, false, window);
      EXPECT_GE(src.max_rows_left(spr), want.slots.size() / spr);
      EXPECT_LE(src.max_rows_left(spr), stream.size() / spr);
      std::vector<uint8_t> buf(1000 * spr * 8);
      std::vector<uint64_t> got;
      for (;;) {
        auto r = src.read_rows(buf.data(), spr, 1000);
        ASSERT_TRUE(r.ok());
        auto s = slots_of(buf, *r * spr);
        got.insert(got.end(), s.begin(), s.end());
        if (*r < 1000) break;
      }
      EXPECT_EQ(got, want.slots) << "prefix " << prefix << " window " << window;
      EXPECT_EQ(src.max_rows_left(spr), 0u);
      EXPECT_TRUE(src.state().end_seen);
    }
  }
  TempFile only_prefix(std::vector<uint8_t>(300, 1));
  auto reader = korvel::BufferedReader::open_file(only_prefix.path, 4096);
  ASSERT_TRUE(reader.ok());
  uint8_t skip[300];
  ASSERT_TRUE((*reader)->read_exact(skip, 300).ok());
  BytecodeSource src(std::move(*reader), 100.0, false);
  EXPECT_EQ(src.max_rows_left(1), 0u);
  std::vector<uint8_t> buf(64);
  auto r = src.read_rows(buf.data(), 1, 8);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, 0u);
}

TEST(UncompressedRows, PartialLastRowIsDropped) {
  const size_t spr = 3, row_bytes = spr * 8, full_rows = 5;
  std::vector<uint8_t> file(full_rows * row_bytes + 13);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7);
  TempFile tmp(file);
  for (size_t ask : {size_t{2}, size_t{5}, size_t{100}}) {
    auto reader = korvel::BufferedReader::open_file(tmp.path, 4096);
    ASSERT_TRUE(reader.ok());
    std::vector<uint8_t> buf(ask * row_bytes);
    std::vector<uint8_t> got;
    for (;;) {
      auto r = korvel::read_uncompressed_rows(**reader, buf.data(), row_bytes, ask);
      ASSERT_TRUE(r.ok());
      got.insert(got.end(), buf.begin(), buf.begin() + static_cast<long>(*r * row_bytes));
      if (*r < ask) break;
    }
    EXPECT_EQ(got.size(), full_rows * row_bytes) << "ask " << ask;
    EXPECT_TRUE(std::equal(got.begin(), got.end(), file.begin())) << "ask " << ask;
    // After the end, a request simply obtains nothing.
    auto again = korvel::read_uncompressed_rows(**reader, buf.data(), row_bytes, ask);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, 0u);
  }
}
