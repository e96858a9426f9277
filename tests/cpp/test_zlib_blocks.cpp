#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bytecode_stream.hpp"
#include "compression/bytecode.hpp"
#include "compression/zlib_blocks.hpp"
#include "temp_file.hpp"

using korvel::BufferedReader;
using korvel::SavReader;
using korvel::ZBlock;
using korvel::ZlibSource;

using korvel::testing::bits_of;
using korvel::testing::double_of;
using korvel::testing::StreamBuilder;
using korvel::testing::TempFile;

namespace {

// Codes 101..108 (one command block) then 109 and 252: cut at 8 bytes, two blocks.
std::vector<uint8_t> two_block_stream() {
  return StreamBuilder().codes({101, 102, 103, 104, 105, 106, 107, 108, 109, 252}).finish();
}

std::vector<uint8_t> zlib_compress(const uint8_t* p, size_t n) {
  uLongf len = compressBound(n);
  std::vector<uint8_t> out(len);
  EXPECT_EQ(compress2(out.data(), &len, p, n, 6), Z_OK);
  out.resize(len);
  return out;
}

std::vector<uint8_t> zlib_compress(const std::vector<uint8_t>& v) {
  return zlib_compress(v.data(), v.size());
}

// The case-data area of a .zsav file, after a prefix standing in for header and dictionary:
// zheader, one zlib stream per block, ztrailer.
struct Zsav {
  std::vector<uint8_t> stream;      // the bytecode stream
  std::vector<size_t> block_sizes;  // its cut into blocks; the last block takes the rest
  bool big_endian = false;
  int64_t ztrailer_bias = 100;
  size_t prefix = 40;
  // Changes to the table or the streams before they are written.
  std::function<void(std::vector<ZBlock>&, std::vector<std::vector<uint8_t>>&)> tamper;
  int32_t n_blocks_override = INT32_MIN;

  std::vector<uint8_t> build() const {
    std::vector<std::vector<uint8_t>> chunks;
    size_t at = 0;
    for (size_t s : block_sizes) {
      if (at >= stream.size()) break;
      size_t n = std::min(s, stream.size() - at);
      chunks.emplace_back(stream.begin() + static_cast<long>(at),
                          stream.begin() + static_cast<long>(at + n));
      at += n;
    }
    if (at < stream.size())
      chunks.emplace_back(stream.begin() + static_cast<long>(at), stream.end());

    std::vector<std::vector<uint8_t>> packed;
    std::vector<ZBlock> table;
    uint64_t cofs = prefix + korvel::kZHeaderSize;
    int64_t uofs = static_cast<int64_t>(prefix);
    for (const auto& c : chunks) {
      packed.push_back(zlib_compress(c));
      ZBlock b;
      b.uncompressed_ofs = uofs;
      b.compressed_ofs = static_cast<int64_t>(cofs);
      b.uncompressed_size = static_cast<int32_t>(c.size());
      b.compressed_size = static_cast<int32_t>(packed.back().size());
      table.push_back(b);
      cofs += packed.back().size();
      uofs += static_cast<int64_t>(c.size());
    }
    if (tamper) tamper(table, packed);
    // Offsets of the streams as they end up laid out.
    uint64_t laid = prefix + korvel::kZHeaderSize;
    for (const auto& p : packed) laid += p.size();
    const uint64_t ztrailer_ofs = laid;

    std::vector<uint8_t> out(prefix, 0x5A);
    put64(out, static_cast<int64_t>(prefix));
    put64(out, static_cast<int64_t>(ztrailer_ofs));
    put64(out, static_cast<int64_t>(24 + 24 * table.size()));
    for (const auto& p : packed) out.insert(out.end(), p.begin(), p.end());
    put64(out, ztrailer_bias);
    put64(out, 0);
    put32(out, block_sizes.empty() ? 0 : static_cast<int32_t>(block_sizes[0]));
    put32(out,
          n_blocks_override != INT32_MIN ? n_blocks_override : static_cast<int32_t>(table.size()));
    for (const auto& b : table) {
      put64(out, b.uncompressed_ofs);
      put64(out, b.compressed_ofs);
      put32(out, b.uncompressed_size);
      put32(out, b.compressed_size);
    }
    return out;
  }

  void put64(std::vector<uint8_t>& out, int64_t v) const {
    auto u = static_cast<uint64_t>(v);
    if (big_endian) u = __builtin_bswap64(u);
    uint8_t b[8];
    std::memcpy(b, &u, 8);
    out.insert(out.end(), b, b + 8);
  }
  void put32(std::vector<uint8_t>& out, int32_t v) const {
    auto u = static_cast<uint32_t>(v);
    if (big_endian) u = __builtin_bswap32(u);
    uint8_t b[4];
    std::memcpy(b, &u, 4);
    out.insert(out.end(), b, b + 4);
  }
};

// A SavReader over the file bytes, positioned after the prefix, as open leaves it.
std::unique_ptr<SavReader> reader_at_case_data(const std::vector<uint8_t>& file, size_t prefix,
                                               bool big_endian) {
  auto r = std::make_unique<SavReader>(BufferedReader::from_memory(file));
  r->set_swap_bytes(big_endian);
  std::vector<uint8_t> skip(prefix);
  EXPECT_TRUE(r->read_exact(skip.data(), prefix).ok());
  return r;
}

// All rows of the whole stream decoded in one piece: what any cut into blocks must give.
std::vector<uint64_t> decode_whole(const std::vector<uint8_t>& stream, size_t spr,
                                   bool big_endian = false) {
  korvel::BytecodeState st = korvel::BytecodeState::make(100.0, big_endian);
  st.data = stream.data();
  st.size = stream.size();
  std::vector<uint8_t> buf(stream.size() * 8 + 8);
  korvel::DecodeResult r = korvel::decode_rows(st, buf.data(), spr, stream.size() / spr + 1);
  std::vector<uint64_t> out(r.rows * spr);
  if (!out.empty()) std::memcpy(out.data(), buf.data(), out.size() * 8);
  return out;
}

struct Drained {
  std::vector<uint64_t> slots;
  size_t max_window = 0;
  std::string error;
};

// Reads every row in batches of `batch` rows.
Drained drain(ZlibSource& src, size_t spr, size_t batch) {
  Drained d;
  std::vector<uint8_t> buf(batch * spr * 8);
  for (int guard = 0; guard < 1000000; ++guard) {
    auto r = src.read_rows(buf.data(), spr, batch);
    d.max_window = std::max(d.max_window, src.state().size);
    if (!r.ok()) {
      d.error = r.error().message();
      return d;
    }
    std::vector<uint64_t> s(*r * spr);
    if (!s.empty()) std::memcpy(s.data(), buf.data(), s.size() * 8);
    d.slots.insert(d.slots.end(), s.begin(), s.end());
    if (*r < batch) break;
  }
  return d;
}

std::vector<uint8_t> random_stream(std::mt19937_64& rng, size_t n_codes, bool with_end) {
  StreamBuilder sb;
  std::uniform_int_distribution<int> kind(0, 99);
  std::uniform_int_distribution<int> small(1, 251);
  for (size_t i = 0; i < n_codes; ++i) {
    int k = kind(rng);
    if (k < 50) {
      sb.code(static_cast<uint8_t>(small(rng)));
    } else if (k < 75) {
      sb.raw(rng());
    } else if (k < 85) {
      sb.code(0);
    } else if (k < 92) {
      sb.code(254);
    } else {
      sb.code(255);
    }
  }
  if (with_end) sb.code(252);
  return sb.finish();
}

}  // namespace

TEST(ZlibSourceTest, NoBlocksYieldsNoRows) {
  Zsav z;
  auto file = z.build();
  auto reader = reader_at_case_data(file, z.prefix, false);
  auto src = ZlibSource::open(*reader, 100.0);
  ASSERT_TRUE(src.ok()) << src.error().message();
  EXPECT_EQ(src->trailer().n_blocks, 0);
  EXPECT_EQ(src->state().size, 0u);
  std::vector<uint8_t> buf(80);
  auto r = src->read_rows(buf.data(), 1, 10);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, 0u);
  EXPECT_EQ(src->max_rows_left(1), 0u);
}

TEST(ZlibSourceTest, RowsAcrossBlockBoundaries) {
  // A row starting near the end of block 0 and ending in block 1; a raw value split by the
  // boundary; a command block that ends block 0 exactly with its raw values in block 1.
  const size_t spr = 3;
  std::vector<uint8_t> stream = StreamBuilder()
                                    .code(101)
                                    .code(102)
                                    .code(103)
                                    .code(104)
                                    .code(105)
                                    .raw(bits_of(6.5))
                                    .raw(bits_of(7.5))
                                    .code(108)
                                    .code(109)
                                    .code(252)
                                    .finish();
  struct Case {
    const char* name;
    size_t cut;  // size of block 0
  };
  const Case cases[] = {
      {"command block ends block 0, raw values in block 1", 8},
      {"raw value split across blocks", 12},
      {"second raw value split", 21},
      {"row continues in the next block", 9},
      {"cut after the first raw value", 16},
  };
  const std::vector<uint64_t> want = decode_whole(stream, spr);
  ASSERT_EQ(want.size(), 9u);
  EXPECT_EQ(double_of(want[5]), 6.5);
  for (const auto& c : cases) {
    Zsav z;
    z.stream = stream;
    z.block_sizes = {c.cut};
    auto file = z.build();
    auto reader = reader_at_case_data(file, z.prefix, false);
    auto src = ZlibSource::open(*reader, 100.0);
    ASSERT_TRUE(src.ok()) << c.name;
    ASSERT_EQ(src->blocks().size(), 2u) << c.name;
    EXPECT_EQ(src->next_block(), 1u) << c.name;
    Drained d = drain(*src, spr, 100);
    EXPECT_EQ(d.error, "") << c.name;
    EXPECT_EQ(d.slots, want) << c.name;
    EXPECT_TRUE(src->state().end_seen) << c.name;
  }
}

TEST(ZlibSourceTest, EveryCutGivesTheSameRows) {
  std::mt19937_64 rng(2024);
  for (bool with_end : {true, false}) {
    auto stream = random_stream(rng, 400, with_end);
    for (size_t block : {1, 5, 8, 9, 23, 64, 1000}) {
      Zsav z;
      z.stream = stream;
      z.block_sizes.assign(stream.size() / block + 1, block);
      auto file = z.build();
      for (size_t spr : {1, 4, 13}) {
        const std::vector<uint64_t> want = decode_whole(stream, spr);
        for (size_t batch : {1, 7, 1000}) {
          auto reader = reader_at_case_data(file, z.prefix, false);
          auto src = ZlibSource::open(*reader, 100.0);
          ASSERT_TRUE(src.ok());
          Drained d = drain(*src, spr, batch);
          ASSERT_EQ(d.error, "");
          ASSERT_EQ(d.slots, want) << "spr " << spr << " block " << block << " batch " << batch;
          // The window holds less than a command block or raw value of the previous block,
          // plus the newest block.
          EXPECT_LE(d.max_window, block + 7);
        }
      }
    }
  }
}

TEST(ZlibSourceTest, RowLongerThanABlock) {
  // 40 slots per row (at least 40 bytes of codes) against blocks of 16 bytes: each row needs
  // several blocks; none may be dropped while blocks remain.
  const size_t spr = 40;
  std::mt19937_64 rng(5);
  StreamBuilder sb;
  for (size_t i = 0; i < spr * 6; ++i) {
    if (i % 3 == 0) {
      sb.raw(rng());
    } else {
      sb.code(static_cast<uint8_t>(1 + i % 251));
    }
  }
  auto stream = sb.finish();  // no 252: the data ends with the blocks
  const std::vector<uint64_t> want = decode_whole(stream, spr);
  ASSERT_EQ(want.size(), spr * 6);
  Zsav z;
  z.stream = stream;
  z.block_sizes.assign(stream.size() / 16 + 1, 16);
  auto file = z.build();
  TempFile tmp(file);
  // Through a file (blocks read with pread) and from memory.
  for (bool from_file : {true, false}) {
    for (size_t batch : {size_t{1}, size_t{4}}) {
      std::unique_ptr<SavReader> reader;
      if (from_file) {
        auto br = BufferedReader::open_file(tmp.path, 4096);
        ASSERT_TRUE(br.ok());
        reader = std::make_unique<SavReader>(std::move(*br));
        std::vector<uint8_t> skip(z.prefix);
        ASSERT_TRUE(reader->read_exact(skip.data(), skip.size()).ok());
      } else {
        reader = reader_at_case_data(file, z.prefix, false);
      }
      auto src = ZlibSource::open(*reader, 100.0);
      ASSERT_TRUE(src.ok());
      Drained d = drain(*src, spr, batch);
      EXPECT_EQ(d.error, "");
      EXPECT_EQ(d.slots, want) << "from_file " << from_file << " batch " << batch;
      EXPECT_LE(d.max_window, 16u + 7u);
    }
  }
}

TEST(ZlibSourceTest, PartialLastRowIsDropped) {
  const size_t spr = 2;
  auto stream = StreamBuilder().code(101).code(102).code(103).code(104).code(105).finish();
  Zsav z;
  z.stream = stream;
  z.block_sizes = {4};
  auto file = z.build();
  auto reader = reader_at_case_data(file, z.prefix, false);
  auto src = ZlibSource::open(*reader, 100.0);
  ASSERT_TRUE(src.ok());
  Drained d = drain(*src, spr, 10);
  EXPECT_EQ(d.error, "");
  ASSERT_EQ(d.slots.size(), 4u);
  EXPECT_EQ(double_of(d.slots[3]), 4.0);
  std::vector<uint8_t> buf(160);
  auto again = src->read_rows(buf.data(), spr, 10);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(*again, 0u);
}

TEST(ZlibSourceTest, DeclaredSizesAgainstTheStream) {
  // Codes 101..108 form block 0 (8 bytes); 109 and 252 block 1.
  auto two_blocks = [&](int extra_last, int extra_first) {
    Zsav z;
    z.stream = two_block_stream();
    z.block_sizes = {8};
    z.tamper = [=](std::vector<ZBlock>& t, std::vector<std::vector<uint8_t>>&) {
      t[1].uncompressed_size += extra_last;
      t[0].uncompressed_size += extra_first;
    };
    return z;
  };
  {
    // Declared 4 bytes more than the stream holds: zeros, read as padding.
    Zsav z = two_blocks(4, 0);
    auto file = z.build();
    auto reader = reader_at_case_data(file, z.prefix, false);
    auto src = ZlibSource::open(*reader, 100.0);
    ASSERT_TRUE(src.ok());
    Drained d = drain(*src, 3, 10);
    EXPECT_EQ(d.error, "");
    EXPECT_EQ(d.slots.size(), 9u);
    EXPECT_EQ(double_of(d.slots[8]), 9.0);
  }
  for (bool big_endian : {false, true}) {
    // Declared far more than the stream can produce (4 MiB for a stream of a few bytes): the
    // declared size is an upper bound, and the buffer is bounded by the stream.
    Zsav z = two_blocks(4 << 20, 0);
    z.big_endian = big_endian;
    auto file = z.build();
    auto reader = reader_at_case_data(file, z.prefix, big_endian);
    auto src = ZlibSource::open(*reader, 100.0);
    ASSERT_TRUE(src.ok()) << src.error().message();
    EXPECT_LT(korvel::inflated_capacity(src->blocks()[1]), size_t{1} << 20);
    Drained d = drain(*src, 3, 10);
    EXPECT_EQ(d.error, "");
    EXPECT_EQ(d.slots.size(), 9u);
    EXPECT_LT(d.max_window, size_t{1} << 20);
  }
  const std::string too_small =
      "zlib decompression failed: single block decompression buffer too small";
  {
    // A later block inflating to more than declared fails the read that needs it.
    Zsav z = two_blocks(-4, 0);
    auto file = z.build();
    auto reader = reader_at_case_data(file, z.prefix, false);
    auto src = ZlibSource::open(*reader, 100.0);
    ASSERT_TRUE(src.ok());
    Drained d = drain(*src, 3, 10);
    EXPECT_EQ(d.error, too_small);
  }
  {
    // Block 0 too long fails open.
    Zsav z = two_blocks(0, -1);
    auto file = z.build();
    auto reader = reader_at_case_data(file, z.prefix, false);
    auto src = ZlibSource::open(*reader, 100.0);
    ASSERT_FALSE(src.ok());
    EXPECT_EQ(src.error().message(), too_small);
  }
}

TEST(InflateBlockTest, ErrorTexts) {
  std::vector<uint8_t> plain(200);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i % 17);
  const auto good = zlib_compress(plain);

  // A stream that needs a preset dictionary.
  std::vector<uint8_t> with_dict(512);
  {
    z_stream zs{};
    ASSERT_EQ(deflateInit(&zs, 6), Z_OK);
    const char dict[] = "korvel dictionary";
    ASSERT_EQ(deflateSetDictionary(&zs, reinterpret_cast<const Bytef*>(dict), sizeof dict), Z_OK);
    zs.next_in = plain.data();
    zs.avail_in = static_cast<uInt>(plain.size());
    zs.next_out = with_dict.data();
    zs.avail_out = static_cast<uInt>(with_dict.size());
    ASSERT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    with_dict.resize(zs.total_out);
    deflateEnd(&zs);
  }

  const std::string prefix = "zlib decompression failed: ";
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> damage;
    std::vector<uint8_t> src;
    size_t out_size;
    std::string message;  // empty: success
  };
  const Case cases[] = {
      {"intact", nullptr, good, 200, ""},
      {"declared larger", nullptr, good, 260, ""},
      {"declared smaller", nullptr, good, 199,
       prefix + "single block decompression buffer too small"},
      {"cut short", [](std::vector<uint8_t>& s) { s.resize(s.size() / 2); }, good, 200,
       prefix + "single block decompression buffer too small"},
      {"bad header", [](std::vector<uint8_t>& s) { s[0] = 0x12; }, good, 200,
       prefix + "single block decompression failed: deflate decompression error: incorrect header "
                "check"},
      {"bad check value", [](std::vector<uint8_t>& s) { s.back() ^= 0xFF; }, good, 200,
       prefix + "single block decompression failed: deflate decompression error: incorrect data "
                "check"},
      {"needs a dictionary", nullptr, with_dict, 200,
       prefix + "single block decompression failed: deflate decompression error: requires a "
                "dictionary"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> src = c.src;
    if (c.damage) c.damage(src);
    std::vector<uint8_t> out(c.out_size, 0xEE);
    korvel::Status st = korvel::inflate_block(src.data(), src.size(), out.data(), out.size());
    if (c.message.empty()) {
      ASSERT_TRUE(st.ok()) << c.name << ": " << st.error().message();
      EXPECT_TRUE(std::equal(plain.begin(), plain.end(), out.begin())) << c.name;
      for (size_t i = plain.size(); i < out.size(); ++i) ASSERT_EQ(out[i], 0) << c.name;
    } else {
      ASSERT_FALSE(st.ok()) << c.name;
      EXPECT_EQ(st.error().message(), c.message) << c.name;
    }
  }
  // An empty block: a stream of nothing into no room.
  const auto empty = zlib_compress(nullptr, 0);
  EXPECT_TRUE(korvel::inflate_block(empty.data(), empty.size(), nullptr, 0).ok());
}

TEST(ZlibSourceTest, DamagedLaterBlockFailsOnlyTheReadThatReachesIt) {
  // Six blocks of one command block each (eight 1-slot rows), inflated several at a time:
  // the damage in block 3 must not show before the rows of blocks 1 and 2 are out.
  StreamBuilder sb;
  for (int i = 0; i < 48; ++i) sb.code(static_cast<uint8_t>(101 + i));
  Zsav z;
  z.stream = sb.finish();
  z.block_sizes = {8, 8, 8, 8, 8};
  z.tamper = [](std::vector<ZBlock>&, std::vector<std::vector<uint8_t>>& p) { p[3][0] = 0x00; };
  auto file = z.build();
  auto reader = reader_at_case_data(file, z.prefix, false);
  auto src = ZlibSource::open(*reader, 100.0);
  ASSERT_TRUE(src.ok());
  std::vector<uint8_t> buf(8 * 8);
  for (int block = 0; block < 3; ++block) {
    auto r = src->read_rows(buf.data(), 1, 8);
    ASSERT_TRUE(r.ok()) << "block " << block << ": " << r.error().message();
    EXPECT_EQ(*r, 8u);
    uint64_t first;
    std::memcpy(&first, buf.data(), 8);
    EXPECT_EQ(double_of(first), 1.0 + 8 * block);
  }
  auto r = src->read_rows(buf.data(), 1, 8);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(),
            "zlib decompression failed: single block decompression failed: deflate "
            "decompression error: incorrect header check");
}

TEST(ZlibSourceTest, CorruptBlockHeader) {
  Zsav z;
  z.stream = StreamBuilder().code(101).code(252).finish();
  z.tamper = [](std::vector<ZBlock>&, std::vector<std::vector<uint8_t>>& p) { p[0][0] = 0x00; };
  auto file = z.build();
  auto reader = reader_at_case_data(file, z.prefix, false);
  auto src = ZlibSource::open(*reader, 100.0);
  ASSERT_FALSE(src.ok());
  EXPECT_EQ(src.error().message(),
            "zlib decompression failed: single block decompression failed: deflate "
            "decompression error: incorrect header check");
}

TEST(ZlibSourceTest, HeaderBiasDecides) {
  Zsav z;
  z.stream = StreamBuilder().code(1).code(252).finish();
  z.ztrailer_bias = -100;
  auto file = z.build();
  auto reader = reader_at_case_data(file, z.prefix, false);
  auto src = ZlibSource::open(*reader, 100.0);
  ASSERT_TRUE(src.ok());
  EXPECT_EQ(src->trailer().ztrailer_bias, -100);
  Drained d = drain(*src, 1, 10);
  ASSERT_EQ(d.slots.size(), 1u);
  EXPECT_EQ(double_of(d.slots[0]), -99.0);
}

TEST(ZlibSourceTest, DecompressSingleBlock) {
  Zsav z;
  z.stream = StreamBuilder().code(101).code(102).code(252).finish();
  auto file = z.build();
  auto reader = reader_at_case_data(file, z.prefix, false);
  auto src = ZlibSource::open(*reader, 100.0);
  ASSERT_TRUE(src.ok());
  const ZBlock& b = src->blocks()[0];
  std::vector<uint8_t> bytes(static_cast<size_t>(b.uncompressed_size));
  ASSERT_TRUE(korvel::inflate_block(file.data() + b.compressed_ofs,
                                    static_cast<size_t>(b.compressed_size), bytes.data(),
                                    bytes.size())
                  .ok());
  EXPECT_EQ(bytes, z.stream);
}

TEST(ZlibSourceTest, DamagedOrHostileBlockTables) {
  const std::string zlib = "zlib decompression failed: ";
  const std::string eof = "I/O error: failed to fill whole buffer";
  struct Case {
    const char* name;
    int32_t n_blocks;  // INT32_MIN: as built
    std::function<void(std::vector<ZBlock>&)> tamper;
    bool at_open;  // fails open (else the read that needs the block)
    std::string message;
  };
  const Case cases[] = {
      {"negative block count", -1, nullptr, true,
       zlib + "invalid block table: negative block count -1"},
      {"block count beyond the file", 100000000, nullptr, true, eof},
      {"negative compressed size", INT32_MIN,
       [](std::vector<ZBlock>& t) { t[1].compressed_size = -5; }, true,
       zlib + "invalid block table: negative size in block 1"},
      {"negative uncompressed size", INT32_MIN,
       [](std::vector<ZBlock>& t) { t[0].uncompressed_size = -1; }, true,
       zlib + "invalid block table: negative size in block 0"},
      {"compressed size beyond the file", INT32_MIN,
       [](std::vector<ZBlock>& t) { t[1].compressed_size = INT32_MAX; }, false, eof},
      {"negative compressed offset", INT32_MIN,
       [](std::vector<ZBlock>& t) { t[1].compressed_ofs = -8; }, false, eof},
      {"compressed offset beyond the file", INT32_MIN,
       [](std::vector<ZBlock>& t) { t[1].compressed_ofs = int64_t{1} << 40; }, false, eof},
  };
  for (const auto& c : cases) {
    Zsav z;
    z.stream = two_block_stream();
    z.block_sizes = {8};
    z.n_blocks_override = c.n_blocks;
    if (c.tamper) {
      z.tamper = [&c](std::vector<ZBlock>& t, std::vector<std::vector<uint8_t>>&) {
        ASSERT_EQ(t.size(), 2u);
        c.tamper(t);
      };
    }
    auto file = z.build();
    auto reader = reader_at_case_data(file, z.prefix, false);
    auto src = ZlibSource::open(*reader, 100.0);
    if (c.at_open) {
      ASSERT_FALSE(src.ok()) << c.name;
      EXPECT_EQ(src.error().message(), c.message) << c.name;
      continue;
    }
    ASSERT_TRUE(src.ok()) << c.name << ": " << src.error().message();
    Drained d = drain(*src, 1, 10);
    EXPECT_EQ(d.error, c.message) << c.name;
  }
}

TEST(ZlibSourceTest, UnreadableTrailer) {
  Zsav z;
  z.stream = StreamBuilder().code(101).code(252).finish();
  auto file = z.build();
  for (int64_t ofs : {int64_t{-1}, static_cast<int64_t>(file.size()) - 10, int64_t{1} << 50}) {
    std::vector<uint8_t> f = file;
    auto u = static_cast<uint64_t>(ofs);
    std::memcpy(f.data() + z.prefix + 8, &u, 8);
    auto reader = reader_at_case_data(f, z.prefix, false);
    auto src = ZlibSource::open(*reader, 100.0);
    ASSERT_FALSE(src.ok()) << ofs;
    EXPECT_EQ(src.error().message(), "I/O error: failed to fill whole buffer") << ofs;
  }
}

TEST(ZlibSourceTest, BigEndianFile) {
  // The zheader and ztrailer integers are big-endian; numeric slots come out big-endian too,
  // including system-missing; raw values as stored.
  const uint64_t raw_be = __builtin_bswap64(bits_of(-2.25));
  Zsav z;
  z.big_endian = true;
  z.stream = StreamBuilder().code(1).code(255).raw(raw_be).code(254).code(150).code(252).finish();
  z.block_sizes = {12};
  auto file = z.build();
  auto reader = reader_at_case_data(file, z.prefix, true);
  auto src = ZlibSource::open(*reader, 100.0);
  ASSERT_TRUE(src.ok()) << src.error().message();
  EXPECT_EQ(src->trailer().n_blocks, 2);
  EXPECT_EQ(src->trailer().ztrailer_bias, 100);
  EXPECT_EQ(src->zheader().zheader_ofs, static_cast<int64_t>(z.prefix));
  Drained d = drain(*src, 5, 10);
  ASSERT_EQ(d.error, "");
  ASSERT_EQ(d.slots.size(), 5u);
  EXPECT_EQ(double_of(__builtin_bswap64(d.slots[0])), -99.0);
  EXPECT_EQ(__builtin_bswap64(d.slots[1]), korvel::kSysmisBits);
  EXPECT_EQ(double_of(__builtin_bswap64(d.slots[2])), -2.25);
  EXPECT_EQ(d.slots[3], korvel::kBlankBits);
  EXPECT_EQ(double_of(__builtin_bswap64(d.slots[4])), 50.0);
  EXPECT_EQ(d.slots, decode_whole(z.stream, 5, true));
}
