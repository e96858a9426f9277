#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "header.hpp"

using namespace korvel;

namespace {

// A 176-byte header; numbers little-endian unless big_endian is set.
struct HeaderBytes {
  std::vector<uint8_t> b = std::vector<uint8_t>(176, ' ');
  bool big_endian = false;

  void put_i32(size_t off, int32_t v) {
    auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) {
      b[off + (big_endian ? 3 - i : i)] = static_cast<uint8_t>(u >> (8 * i));
    }
  }
  void put_f64(size_t off, double d) {
    uint64_t u;
    std::memcpy(&u, &d, 8);
    for (int i = 0; i < 8; ++i) {
      b[off + (big_endian ? 7 - i : i)] = static_cast<uint8_t>(u >> (8 * i));
    }
  }
  void put_text(size_t off, std::string_view s) { std::memcpy(b.data() + off, s.data(), s.size()); }

  explicit HeaderBytes(bool be = false) : big_endian(be) {
    put_text(0, "$FL2");
    put_text(4, "@(#) SPSS DATA FILE test");
    put_i32(64, 2);
    put_i32(68, 3);
    put_i32(72, 1);
    put_i32(76, 0);
    put_i32(80, 10);
    put_f64(84, 100.0);
    put_text(92, "05 Mar 24");
    put_text(101, "14:30:00");
    put_text(109, "Survey");
    b[173] = b[174] = b[175] = 0;
  }

  Result<FileHeader> read() const {
    SavReader r(BufferedReader::from_memory(b));
    auto h = read_file_header(r);
    if (h.ok()) {
      EXPECT_EQ(r.position(), 176u);
    }
    return h;
  }
};

std::string error_of(const Result<FileHeader>& r) {
  return r.ok() ? "" : r.error().message();
}

}  // namespace

TEST(FileHeader, ReadsLittleEndian) {
  HeaderBytes hb;
  hb.put_i32(76, 3);
  auto h = hb.read();
  ASSERT_TRUE(h.ok()) << error_of(h);
  EXPECT_EQ(std::string(h->magic.begin(), h->magic.end()), "$FL2");
  EXPECT_EQ(h->product_name, "@(#) SPSS DATA FILE test");
  EXPECT_EQ(h->layout_code, 2);
  EXPECT_EQ(h->nominal_case_size, 3);
  EXPECT_EQ(h->compression, Compression::Bytecode);
  EXPECT_EQ(h->weight_index, 3);
  EXPECT_EQ(h->ncases, 10);
  EXPECT_EQ(h->bias, 100.0);
  EXPECT_EQ(h->creation_date, "05 Mar 24");
  EXPECT_EQ(h->creation_time, "14:30:00");
  EXPECT_EQ(h->file_label, "Survey");
  EXPECT_FALSE(h->swap_bytes);
}

TEST(FileHeader, DetectsBigEndian) {
  for (int32_t layout : {2, 3}) {
    HeaderBytes hb(true);
    hb.put_i32(64, layout);
    hb.put_i32(68, 0x01020304);
    hb.put_i32(80, -1);
    hb.put_f64(84, -12.5);
    hb.put_i32(72, 2);
    auto h = hb.read();
    ASSERT_TRUE(h.ok()) << error_of(h);
    EXPECT_TRUE(h->swap_bytes);
    EXPECT_EQ(h->layout_code, layout);
    EXPECT_EQ(h->nominal_case_size, 0x01020304);
    EXPECT_EQ(h->ncases, -1);
    EXPECT_EQ(h->bias, -12.5);
    EXPECT_EQ(h->compression, Compression::Zlib);
  }
}

TEST(FileHeader, Failures) {
  struct Case {
    const char* what;
    std::function<void(HeaderBytes&)> change;
    const char* message;
  };
  const Case cases[] = {
      {"magic $FL4", [](HeaderBytes& h) { h.put_text(0, "$FL4"); },
       "invalid magic number: expected \"$FL2\" or \"$FL3\", found [36, 70, 76, 52]"},
      {"zip archive", [](HeaderBytes& h) { h.put_text(0, "PK\x03\x04"); },
       "invalid magic number: expected \"$FL2\" or \"$FL3\", found [80, 75, 3, 4]"},
      {"layout 1", [](HeaderBytes& h) { h.put_i32(64, 1); },
       "invalid variable record: cannot determine endianness from layout_code bytes: [1, 0, 0, "
       "0]"},
      {"compression 3", [](HeaderBytes& h) { h.put_i32(72, 3); },
       "unsupported compression type: 3"},
      {"compression -1", [](HeaderBytes& h) { h.put_i32(72, -1); },
       "unsupported compression type: -1"},
      {"short file", [](HeaderBytes& h) { h.b.resize(175); },
       "I/O error: failed to fill whole buffer"},
      {"only magic", [](HeaderBytes& h) { h.b.resize(4); },
       "I/O error: failed to fill whole buffer"},
      {"empty", [](HeaderBytes& h) { h.b.clear(); }, "I/O error: failed to fill whole buffer"},
  };
  for (const auto& c : cases) {
    HeaderBytes hb;
    c.change(hb);
    EXPECT_EQ(error_of(hb.read()), c.message) << c.what;
  }
}

TEST(FileHeader, TextFields) {
  HeaderBytes hb;
  hb.put_text(4, std::string(60, ' '));
  hb.put_text(109, std::string("Survey  \0\0  ", 12));
  hb.b[109 + 20] = 0xE9;  // a Latin-1 byte stays undecodable whatever the file declares
  hb.put_text(92, std::string(9, '\0'));
  auto h = hb.read();
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(h->product_name, "");
  EXPECT_EQ(h->file_label, std::string("Survey  \0\0", 10) + std::string(10, ' ') + "\xEF\xBF\xBD");
  EXPECT_EQ(h->creation_date, "");

  HeaderBytes plain;
  plain.put_text(109, std::string("Survey  \0\0", 10));
  EXPECT_EQ(plain.read()->file_label, "Survey");
}

TEST(FileHeader, EveryFixtureHeaderReads) {
  namespace fs = std::filesystem;
  fs::path dir = fs::path(KORVEL_SHARED_DIR) / "fixtures";
  if (!fs::exists(dir)) GTEST_SKIP() << "fixtures not found at " << dir;
  int files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    auto ext = entry.path().extension();
    if (ext != ".sav" && ext != ".zsav") continue;
    ++files;
    auto src = BufferedReader::open_file(entry.path().string(), 1 << 16);
    ASSERT_TRUE(src.ok());
    SavReader reader(std::move(src).value());
    auto h = read_file_header(reader);
    if (entry.path().filename() == "hotel-encrypted.sav") {
      ASSERT_FALSE(h.ok());
      EXPECT_EQ(h.error().message().rfind("invalid magic number: ", 0), 0u);
      continue;
    }
    ASSERT_TRUE(h.ok()) << entry.path() << ": " << h.error().message();
    EXPECT_FALSE(h->swap_bytes);
    EXPECT_NE(h->product_name.find("@(#)"), std::string::npos) << entry.path();
  }
  EXPECT_GE(files, 30);
}

TEST(BufferedReader, FileReadsAndSeeks) {
  auto missing = BufferedReader::open_file("/nonexistent/korvel.sav", 4096);
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().message().find("No such file"), std::string::npos);
  auto dir = BufferedReader::open_file("/tmp", 4096);
  EXPECT_FALSE(dir.ok());
}

TEST(BufferedReader, MemorySeekAndEnd) {
  auto r = BufferedReader::from_memory({1, 2, 3, 4, 5});
  uint8_t b[3];
  ASSERT_TRUE(r->read_exact(b, 3).ok());
  EXPECT_EQ(b[2], 3);
  EXPECT_EQ(r->remaining(), 2u);
  EXPECT_FALSE(r->read_exact(b, 3).ok());
  ASSERT_TRUE(r->seek(1).ok());
  ASSERT_TRUE(r->read_exact(b, 2).ok());
  EXPECT_EQ(b[0], 2);
  ASSERT_TRUE(r->seek(100).ok());
  EXPECT_EQ(*r->read_some(b, 1), 0u);
}

TEST(SavReader, RefusesLengthsBeyondTheInput) {
  SavReader r(BufferedReader::from_memory(std::vector<uint8_t>(16)));
  auto big = r.read_bytes(uint64_t{1} << 40);
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error().message(), "I/O error: failed to fill whole buffer");
  EXPECT_TRUE(r.read_bytes(16).ok());
}

TEST(TextHelpers, TrimAndLossyDecode) {
  EXPECT_EQ(trim_trailing_padding(std::string_view("ab \0 \0", 6)), "ab");
  EXPECT_EQ(trim_trailing_padding(std::string_view(" a b ", 5)), " a b");
  EXPECT_EQ(trim_trailing_padding(std::string_view("\0\0  ", 4)), "");
  EXPECT_EQ(bytes_to_string_lossy("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(bytes_to_string_lossy("caf\xE9"), "caf\xEF\xBF\xBD");
  // One replacement per maximal invalid subsequence.
  EXPECT_EQ(bytes_to_string_lossy("\xE2\x82x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(bytes_to_string_lossy("\xF0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(TextHelpers, UnicodeUpperAndTrim) {
  EXPECT_EQ(to_upper_unicode("abc_z9"), "ABC_Z9");
  EXPECT_EQ(to_upper_unicode("stra\xC3\x9F"
                             "e"),
            "STRASSE");  // sharp s → SS
  EXPECT_EQ(to_upper_unicode("\xC3\xA9t\xC3\xA9"), "\xC3\x89T\xC3\x89");
  EXPECT_EQ(trim_unicode_whitespace("\xC2\xA0 a b\t\xE3\x80\x80"), "a b");
  EXPECT_EQ(trim_unicode_whitespace_end("a\n"), "a");
  EXPECT_EQ(trim_unicode_whitespace_start(" \x0B"
                                          "a "),
            "a ");
}
