// Decoders against the WHATWG index data (read from the shared folder, independently of the
// generated tables), plus the error, label, code-page and byte-order-mark rules.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "encoding/encoding.hpp"

namespace enc = korvel::encoding;
using enc::Encoding;

namespace {

const std::string kDataDir = std::string(KORVEL_SHARED_DIR) + "/whatwg/";

std::string utf8(std::u32string_view cps) {
  std::string s;
  for (const char32_t c : cps) {
    const auto cp = static_cast<uint32_t>(c);
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      s += static_cast<char>(0xC0 | (cp >> 6));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      s += static_cast<char>(0xE0 | (cp >> 12));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (cp >> 18));
      s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return s;
}

const std::string kFFFD = "\xEF\xBF\xBD";

const uint8_t* bytes_of(std::string_view s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

std::string decode(Encoding e, std::string_view bytes) {
  std::string out;
  enc::decode_append(e, bytes_of(bytes), bytes.size(), out);
  return out;
}

std::string lossy(std::string_view bytes) {
  std::string out;
  enc::decode_utf8_lossy_append(bytes_of(bytes), bytes.size(), out);
  return out;
}

bool valid(std::string_view bytes) {
  return enc::is_valid_utf8(bytes_of(bytes), bytes.size());
}

std::string hex(std::string_view bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<uint8_t>(c);
    if (!out.empty()) out += ' ';
    out += digits[b >> 4];
    out += digits[b & 0xF];
  }
  return out;
}

using Index = std::map<uint32_t, uint32_t>;

// Pointer to code point, from one of the standard's index files; nothing when it is absent.
std::optional<Index> read_index(const std::string& name) {
  std::ifstream in(kDataDir + "index-" + name + ".txt");
  if (!in) return std::nullopt;
  Index index;
  std::string line;
  while (std::getline(in, line)) {
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    size_t pos = 0;
    const unsigned long pointer = std::stoul(line.substr(start), &pos);
    const unsigned long cp = std::stoul(line.substr(start + pos), nullptr, 16);
    index[static_cast<uint32_t>(pointer)] = static_cast<uint32_t>(cp);
  }
  return index;
}

#define REQUIRE_INDEX(var, name)                                                      \
  const std::optional<Index> var##_opt = read_index(name);                            \
  if (!var##_opt) GTEST_SKIP() << "index " << (name) << " not found in " << kDataDir; \
  const Index& var = *var##_opt

// Names and labels of encodings.json, in file order. The file is a list of groups of
// {"labels": [...], "name": "..."} objects; its strings alone, in order, tell the structure.
struct JsonEncoding {
  std::string name;
  std::vector<std::string> labels;
};

std::optional<std::vector<JsonEncoding>> read_encodings_json() {
  std::ifstream in(kDataDir + "encodings.json");
  if (!in) return std::nullopt;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> strings;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '"') continue;
    const size_t end = text.find('"', i + 1);
    strings.push_back(text.substr(i + 1, end - i - 1));
    i = end;
  }
  std::vector<JsonEncoding> out;
  std::vector<std::string> labels;
  bool in_labels = false;
  for (size_t i = 0; i < strings.size(); ++i) {
    if (strings[i] == "labels") {
      in_labels = true;
      labels.clear();
    } else if (strings[i] == "name") {
      out.push_back({strings.at(i + 1), labels});
      in_labels = false;
      ++i;
    } else if (strings[i] == "heading") {
      ++i;
    } else if (in_labels) {
      labels.push_back(strings[i]);
    }
  }
  return out;
}

// One byte sequence per pointer with the text it must decode to.
struct PointerCase {
  uint32_t pointer;
  std::string bytes;
  std::string expected;
};

// Decodes every case alone and all of them as one stream (which catches state that leaks from
// one sequence into the next); reports the first few mismatches.
void check_cases(Encoding e, const std::vector<PointerCase>& cases) {
  ASSERT_FALSE(cases.empty());
  int mismatches = 0;
  std::string all_bytes, all_expected;
  for (const PointerCase& c : cases) {
    const std::string got = decode(e, c.bytes);
    if (got != c.expected && ++mismatches <= 10) {
      ADD_FAILURE() << enc::encoding_name(e) << " pointer " << c.pointer << " bytes "
                    << hex(c.bytes) << ": got " << hex(got) << ", expected " << hex(c.expected);
    }
    all_bytes += c.bytes;
    all_expected += c.expected;
  }
  EXPECT_EQ(mismatches, 0) << enc::encoding_name(e);
  EXPECT_TRUE(decode(e, all_bytes) == all_expected) << enc::encoding_name(e) << " as one stream";
}

// What a two-byte sequence whose pointer has no code point decodes to: U+FFFD, and the
// second byte again when it is ASCII.
std::string error_then_ascii(uint8_t trail) {
  return trail < 0x80 ? kFFFD + static_cast<char>(trail) : kFFFD;
}

std::string seq(std::initializer_list<unsigned> bytes) {
  std::string s;
  for (const unsigned b : bytes) s += static_cast<char>(b);
  return s;
}

std::string cp_text(const Index& index, uint32_t pointer, uint8_t trail) {
  const auto it = index.find(pointer);
  return it != index.end() ? utf8(std::u32string(1, static_cast<char32_t>(it->second)))
                           : error_then_ascii(trail);
}

// ---------------------------------------------------------------------------------------------
// Single-byte encodings and x-user-defined: every byte.

TEST(SingleByteDecoder, EveryByteOfEveryEncodingMatchesIndex) {
  for (int k = static_cast<int>(Encoding::IBM866); k <= static_cast<int>(Encoding::x_mac_cyrillic);
       ++k) {
    const auto e = static_cast<Encoding>(k);
    std::string name(enc::encoding_name(e));
    if (name == "ISO-8859-8-I") name = "ISO-8859-8";  // shares the ISO-8859-8 index
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    REQUIRE_INDEX(index, name);
    std::vector<PointerCase> cases;
    for (uint32_t b = 0; b < 256; ++b) {
      std::string expected;
      if (b < 0x80) {
        expected = std::string(1, static_cast<char>(b));
      } else {
        const auto it = index.find(b - 0x80);
        expected =
            it != index.end() ? utf8(std::u32string(1, static_cast<char32_t>(it->second))) : kFFFD;
      }
      cases.push_back({b, std::string(1, static_cast<char>(b)), expected});
    }
    check_cases(e, cases);
  }
}

TEST(SingleByteDecoder, XUserDefinedMapsHighBytesToPrivateUse) {
  std::vector<PointerCase> cases;
  for (uint32_t b = 0; b < 256; ++b) {
    const char32_t cp = b < 0x80 ? b : 0xF780 + b - 0x80;
    cases.push_back({b, std::string(1, static_cast<char>(b)), utf8(std::u32string(1, cp))});
  }
  check_cases(Encoding::x_user_defined, cases);
}

// ---------------------------------------------------------------------------------------------
// Multi-byte encodings: every pointer of the index, built as the encoder would.

TEST(MultiByteDecoder, EucJpJis0208EveryPointer) {
  REQUIRE_INDEX(index, "jis0208");
  std::vector<PointerCase> cases;
  for (uint32_t p = 0; p < 94 * 94; ++p) {
    const unsigned lead = p / 94 + 0xA1, trail = p % 94 + 0xA1;
    cases.push_back({p, seq({lead, trail}), cp_text(index, p, static_cast<uint8_t>(trail))});
  }
  check_cases(Encoding::EUC_JP, cases);
}

TEST(MultiByteDecoder, EucJpJis0212EveryPointer) {
  REQUIRE_INDEX(index, "jis0212");
  std::vector<PointerCase> cases;
  for (uint32_t p = 0; p < 94 * 94; ++p) {
    const unsigned lead = p / 94 + 0xA1, trail = p % 94 + 0xA1;
    cases.push_back({p, seq({0x8F, lead, trail}), cp_text(index, p, static_cast<uint8_t>(trail))});
  }
  check_cases(Encoding::EUC_JP, cases);
}

TEST(MultiByteDecoder, ShiftJisEveryPointer) {
  REQUIRE_INDEX(index, "jis0208");
  std::vector<PointerCase> cases;
  // Lead bytes 0x81-0x9F and 0xE0-0xFC: pointers 0 to 59 * 188 + 187.
  for (uint32_t p = 0; p < 60 * 188; ++p) {
    const unsigned lead = p / 188, trail = p % 188;
    const unsigned b1 = lead + (lead < 0x1F ? 0x81 : 0xC1);
    const unsigned b2 = trail + (trail < 0x3F ? 0x40 : 0x41);
    std::string expected;
    if (p >= 8836 && p <= 10715) {
      expected = utf8(std::u32string(1, static_cast<char32_t>(0xE000 + p - 8836)));
    } else {
      expected = cp_text(index, p, static_cast<uint8_t>(b2));
    }
    cases.push_back({p, seq({b1, b2}), expected});
  }
  check_cases(Encoding::Shift_JIS, cases);
}

TEST(MultiByteDecoder, Iso2022JpEveryJis0208Pointer) {
  REQUIRE_INDEX(index, "jis0208");
  std::string bytes = "\x1B$B", expected;
  for (uint32_t p = 0; p < 94 * 94; ++p) {
    const std::string pair = seq({p / 94 + 0x21, p % 94 + 0x21});
    const auto it = index.find(p);
    const std::string text =
        it != index.end() ? utf8(std::u32string(1, static_cast<char32_t>(it->second))) : kFFFD;
    const std::string got = decode(Encoding::ISO_2022_JP, "\x1B$B" + pair + "\x1B(B");
    ASSERT_EQ(got, text) << "pointer " << p;
    bytes += pair;
    expected += text;
  }
  bytes += "\x1B(B";
  EXPECT_TRUE(decode(Encoding::ISO_2022_JP, bytes) == expected);
}

TEST(MultiByteDecoder, EucKrEveryPointer) {
  REQUIRE_INDEX(index, "euc-kr");
  std::vector<PointerCase> cases;
  for (uint32_t p = 0; p < 126 * 190; ++p) {
    const unsigned lead = p / 190 + 0x81, trail = p % 190 + 0x41;
    cases.push_back({p, seq({lead, trail}), cp_text(index, p, static_cast<uint8_t>(trail))});
  }
  check_cases(Encoding::EUC_KR, cases);
}

TEST(MultiByteDecoder, Gb18030AndGbkTwoByteEveryPointer) {
  REQUIRE_INDEX(index, "gb18030");
  std::vector<PointerCase> cases;
  for (uint32_t p = 0; p < 126 * 190; ++p) {
    const unsigned lead = p / 190 + 0x81, trail = p % 190;
    const unsigned b2 = trail + (trail < 0x3F ? 0x40 : 0x41);
    cases.push_back({p, seq({lead, b2}), cp_text(index, p, static_cast<uint8_t>(b2))});
  }
  check_cases(Encoding::gb18030, cases);
  check_cases(Encoding::GBK, cases);
}

TEST(MultiByteDecoder, Big5EveryPointer) {
  REQUIRE_INDEX(index, "big5");
  std::vector<PointerCase> cases;
  const std::map<uint32_t, std::u32string> pairs = {{1133, U"\u00CA\u0304"},
                                                    {1135, U"\u00CA\u030C"},
                                                    {1164, U"\u00EA\u0304"},
                                                    {1166, U"\u00EA\u030C"}};
  for (uint32_t p = 0; p < 126 * 157; ++p) {
    const unsigned lead = p / 157 + 0x81, trail = p % 157;
    const unsigned b2 = trail + (trail < 0x3F ? 0x40 : 0x62);
    const auto pair = pairs.find(p);
    cases.push_back(
        {p, seq({lead, b2}),
         pair != pairs.end() ? utf8(pair->second) : cp_text(index, p, static_cast<uint8_t>(b2))});
  }
  check_cases(Encoding::Big5, cases);
}

// gb18030 four-byte sequences: pointer = ((b1-0x81)*10 + (b2-0x30))*1260 + (b3-0x81)*10 + b4-0x30.
std::string gb_four(uint32_t pointer) {
  std::string s(4, '\0');
  s[0] = static_cast<char>(pointer / 12600 + 0x81);
  s[1] = static_cast<char>(pointer / 1260 % 10 + 0x30);
  s[2] = static_cast<char>(pointer / 10 % 126 + 0x81);
  s[3] = static_cast<char>(pointer % 10 + 0x30);
  return s;
}

TEST(MultiByteDecoder, Gb18030FourByteRanges) {
  REQUIRE_INDEX(ranges, "gb18030-ranges");
  const auto expected_cp = [&](uint32_t p) -> std::optional<char32_t> {
    if ((p > 39419 && p < 189000) || p > 1237575) return std::nullopt;
    if (p == 7457) return U'\uE7C7';
    const auto it = std::prev(ranges.upper_bound(p));
    return static_cast<char32_t>(it->second + p - it->first);
  };
  // Every valid pointer, as one stream.
  std::string bytes, expected;
  for (uint32_t p = 0; p <= 1237575; ++p) {
    if (p == 39420) p = 189000;
    bytes += gb_four(p);
    expected += utf8(std::u32string(1, *expected_cp(p)));
  }
  EXPECT_TRUE(decode(Encoding::gb18030, bytes) == expected);
  // Alone: each range's first and last pointer, the special pointer, and the invalid ones.
  std::vector<uint32_t> probes = {7457,   39419,   39420,   188999,
                                  189000, 1237575, 1237576, 126 * 12600 - 1};
  for (const auto& [p, cp] : ranges) {
    probes.push_back(p);
    if (p > 0) probes.push_back(p - 1);
  }
  for (const uint32_t p : probes) {
    const auto cp = expected_cp(p);
    EXPECT_EQ(decode(Encoding::gb18030, gb_four(p) + "A"),
              (cp ? utf8(std::u32string(1, *cp)) : kFFFD) + "A")
        << "pointer " << p;
  }
  EXPECT_EQ(decode(Encoding::gb18030, gb_four(189000)), utf8(U"\U00010000"));
  EXPECT_EQ(decode(Encoding::gb18030, gb_four(1237575)), utf8(U"\U0010FFFF"));
  EXPECT_EQ(decode(Encoding::gb18030, gb_four(39419)), utf8(U"\uFFFF"));
}

// ---------------------------------------------------------------------------------------------
// Error handling: which bytes are read again, and the end of the stream.

struct DecodeCase {
  Encoding encoding;
  std::string bytes;
  std::u32string expected;  // U+FFFD for each error
};

TEST(DecoderErrors, TableOfCases) {
  // Letters after a hex escape are chosen beyond 'F' (z, x, ...) so that the escape ends there.
  const std::vector<DecodeCase> cases = {
      // UTF-8: maximal subparts.
      {Encoding::UTF_8, "\xF0\x80\x80", U"\uFFFD\uFFFD\uFFFD"},
      {Encoding::UTF_8, "\xE2\x82", U"\uFFFD"},
      {Encoding::UTF_8, "\xE2\x82z", U"\uFFFDz"},
      {Encoding::UTF_8, "\xE2\x82\xE2\x82\xAC", U"\uFFFD\u20AC"},
      {Encoding::UTF_8, "\xC0\xAF", U"\uFFFD\uFFFD"},
      {Encoding::UTF_8, "\xC1\xBF", U"\uFFFD\uFFFD"},
      {Encoding::UTF_8, "\xE0\x9F\x80", U"\uFFFD\uFFFD\uFFFD"},
      {Encoding::UTF_8, "\xED\xA0\x80", U"\uFFFD\uFFFD\uFFFD"},
      {Encoding::UTF_8, "\xED\x9F\xBF", U"\uD7FF"},
      {Encoding::UTF_8, "\xF4\x90\x80\x80", U"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {Encoding::UTF_8, "\xF4\x8F\xBF\xBF", U"\U0010FFFF"},
      {Encoding::UTF_8, "\xF0\x9F\x98", U"\uFFFD"},
      {Encoding::UTF_8, "\xF0\x9F\x98z", U"\uFFFDz"},
      {Encoding::UTF_8, "\xF0\x9F\x98\x80", U"\U0001F600"},
      {Encoding::UTF_8, "\xF5\x80", U"\uFFFD\uFFFD"},
      {Encoding::UTF_8, "\x80\xBF", U"\uFFFD\uFFFD"},
      {Encoding::UTF_8, "\xFE\xFF", U"\uFFFD\uFFFD"},
      {Encoding::UTF_8, "x\xE2\x82\xACy", U"x\u20ACy"},
      {Encoding::UTF_8, "\xEF\xBB\xBFz", U"\uFEFFz"},  // no sniffing here
      // gb18030.
      {Encoding::gb18030, "\x80", U"\u20AC"},
      {Encoding::gb18030, "\xFF", U"\uFFFD"},
      {Encoding::gb18030, "\x81", U"\uFFFD"},
      {Encoding::gb18030, "\x81\x30", U"\uFFFD"},
      {Encoding::gb18030, "\x81\x30\x81", U"\uFFFD"},
      {Encoding::gb18030, "\x81\x30z", U"\uFFFD0z"},
      {Encoding::gb18030, "\x81\x30\x81\x41", U"\uFFFD0\u4E04"},
      {Encoding::gb18030, "\x81\x30\x81\xFF", U"\uFFFD0\uFFFD"},
      {Encoding::gb18030, "\x81\x7F", U"\uFFFD\x7F"},
      {Encoding::gb18030, "\x81\xFF", U"\uFFFD"},
      {Encoding::gb18030, "\x81\x40", U"\u4E02"},
      {Encoding::gb18030, "\xA8\xBC", U"\u1E3F"},
      {Encoding::gb18030, "\x81\x35\xF4\x37", U"\uE7C7"},
      {Encoding::gb18030, "\x84\x31\xA5\x30z", U"\uFFFDz"},
      {Encoding::gb18030, "\xFE\x39\xFE\x39", U"\uFFFD"},
      {Encoding::GBK, "\x80\x81\x30\x81\x30", U"\u20AC\u0080"},
      // Big5.
      {Encoding::Big5, "\xA4\x40", U"\u4E00"},
      {Encoding::Big5, "\x88\x62\x88\x64", U"\u00CA\u0304\u00CA\u030C"},
      {Encoding::Big5, "\x88\xA3\x88\xA5", U"\u00EA\u0304\u00EA\u030C"},
      {Encoding::Big5, "\x81", U"\uFFFD"},
      {Encoding::Big5, "\x81\x41", U"\uFFFDA"},  // pointer 1 has no code point
      {Encoding::Big5, "\xA4\x7F", U"\uFFFD\x7F"},
      {Encoding::Big5, "\xA4\xA0", U"\uFFFD"},
      {Encoding::Big5, "\x80", U"\uFFFD"},
      {Encoding::Big5, "\xFF", U"\uFFFD"},
      // EUC-JP.
      {Encoding::EUC_JP, "\x8E\xA1\x8E\xDF", U"\uFF61\uFF9F"},
      {Encoding::EUC_JP, "\x8E\xE0", U"\uFFFD"},
      {Encoding::EUC_JP, "\x8Ez", U"\uFFFDz"},
      {Encoding::EUC_JP, "\x8F\xB0\xA1", U"\u4E02"},
      {Encoding::EUC_JP, "\x8F\xB0", U"\uFFFD"},
      {Encoding::EUC_JP, "\x8Fz", U"\uFFFDz"},
      {Encoding::EUC_JP, "\x8F\xB0z", U"\uFFFDz"},
      {Encoding::EUC_JP, "\x8F\xA1\xA1\xA4\xA2", U"\uFFFD\u3042"},  // the JIS X 0212 flag is reset
      {Encoding::EUC_JP, "\xA4\xA2", U"\u3042"},
      {Encoding::EUC_JP, "\xA4z", U"\uFFFDz"},
      {Encoding::EUC_JP, "\xA4", U"\uFFFD"},
      {Encoding::EUC_JP, "\x80\xFF", U"\uFFFD\uFFFD"},
      // ISO-2022-JP.
      {Encoding::ISO_2022_JP, "x\x1B$B\x24\x22\x1B(By", U"x\u3042y"},
      {Encoding::ISO_2022_JP, "\x1B$@\x24\x22", U"\u3042"},
      {Encoding::ISO_2022_JP, "\x1B(J\x5C\x7Ez", U"\u00A5\u203Ez"},
      {Encoding::ISO_2022_JP, "\x1B(I\x21\x5F", U"\uFF61\uFF9F"},
      {Encoding::ISO_2022_JP, "\x1B(I\x60", U"\uFFFD"},
      {Encoding::ISO_2022_JP, "\x1B(B\x1B(J", U"\uFFFD"},  // two escapes with nothing between
      {Encoding::ISO_2022_JP, "\x1B$B\x1B(Bxyz", U"\uFFFDxyz"},
      {Encoding::ISO_2022_JP, "\x1B(Z", U"\uFFFD(Z"},
      {Encoding::ISO_2022_JP, "\x1Bz", U"\uFFFDz"},
      {Encoding::ISO_2022_JP, "\x1B", U"\uFFFD"},
      {Encoding::ISO_2022_JP, "\x1B(", U"\uFFFD("},
      {Encoding::ISO_2022_JP, "\x1B$", U"\uFFFD$"},
      {Encoding::ISO_2022_JP, "\x1B$B\x24", U"\uFFFD"},
      {Encoding::ISO_2022_JP, "\x1B$B\x24\x1B(Bz", U"\uFFFDz"},
      {Encoding::ISO_2022_JP, "\x1B$B\x0A", U"\uFFFD"},
      {Encoding::ISO_2022_JP, "\x1B$B\x24\x0A\x24\x22", U"\uFFFD\u3042"},
      {Encoding::ISO_2022_JP, "\x1B$B\x29\x21", U"\uFFFD"},
      {Encoding::ISO_2022_JP, "\x1B$B\x1B$Z", U"\uFFFD\u307A"},  // failed escape: back to JIS
      {Encoding::ISO_2022_JP, "\x0E\x0F\x80z", U"\uFFFD\uFFFD\uFFFDz"},
      {Encoding::ISO_2022_JP, "\x1B(Bx\x1B(Jy", U"xy"},
      // Shift_JIS.
      {Encoding::Shift_JIS, "\x80\xA1\xDF", U"\u0080\uFF61\uFF9F"},
      {Encoding::Shift_JIS, "\xA0", U"\uFFFD"},
      {Encoding::Shift_JIS, "\xFD\xFE\xFF", U"\uFFFD\uFFFD\uFFFD"},
      {Encoding::Shift_JIS, "\x82\xA0", U"\u3042"},
      {Encoding::Shift_JIS, "\x81", U"\uFFFD"},
      {Encoding::Shift_JIS, "\x81\x7F", U"\uFFFD\x7F"},
      {Encoding::Shift_JIS, "\x81\xFD", U"\uFFFD"},
      {Encoding::Shift_JIS, "\xF0\x40\xF9\xFC", U"\uE000\uE757"},
      // EUC-KR.
      {Encoding::EUC_KR, "\xB0\xA1\x81\x41", U"\uAC00\uAC02"},
      {Encoding::EUC_KR, "\x81", U"\uFFFD"},
      {Encoding::EUC_KR, "\x81\x40", U"\uFFFD@"},
      {Encoding::EUC_KR, "\x81\xFF", U"\uFFFD"},
      {Encoding::EUC_KR, "\x80\xFF", U"\uFFFD\uFFFD"},
      // UTF-16: odd trailing byte, lone and reversed surrogates.
      {Encoding::UTF_16LE, seq({'A', 0}), U"A"},
      {Encoding::UTF_16BE, seq({0, 'A'}), U"A"},
      {Encoding::UTF_16LE, seq({'A', 0, 'B'}), U"A\uFFFD"},
      {Encoding::UTF_16BE, seq({0, 'A', 0}), U"A\uFFFD"},
      {Encoding::UTF_16LE, seq({0x3D, 0xD8, 0x00, 0xDE}), U"\U0001F600"},
      {Encoding::UTF_16BE, seq({0xD8, 0x3D, 0xDE, 0x00}), U"\U0001F600"},
      {Encoding::UTF_16LE, seq({0x3D, 0xD8}), U"\uFFFD"},
      {Encoding::UTF_16LE, seq({0x3D, 0xD8, 'A'}), U"\uFFFD"},
      {Encoding::UTF_16LE, seq({0x3D, 0xD8, 'A', 0}), U"\uFFFDA"},
      {Encoding::UTF_16BE, seq({0xD8, 0x3D, 0, 'A'}), U"\uFFFDA"},
      {Encoding::UTF_16LE, seq({0x3D, 0xD8, 0x3D, 0xD8, 0x00, 0xDE}), U"\uFFFD\U0001F600"},
      {Encoding::UTF_16LE, seq({0x00, 0xDE, 'A', 0}), U"\uFFFDA"},
      {Encoding::UTF_16BE, seq({0xDC, 0x00, 0xD8, 0x3D, 0xDE, 0x00}), U"\uFFFD\U0001F600"},
      {Encoding::UTF_16LE, seq({0xFF, 0xFE, 'A', 0}), U"\uFEFFA"},  // no sniffing here
      // replacement: one U+FFFD for any non-empty input.
      {Encoding::replacement, "", U""},
      {Encoding::replacement, "abc\xFF", U"\uFFFD"},
  };
  for (const DecodeCase& c : cases) {
    EXPECT_EQ(decode(c.encoding, c.bytes), utf8(c.expected))
        << enc::encoding_name(c.encoding) << " " << hex(c.bytes);
  }
}

TEST(DecoderErrors, AppendsAfterExistingText) {
  std::string out = "x";
  enc::decode_append(Encoding::Shift_JIS, bytes_of("\x82\xA0"), 2, out);
  enc::decode_append(Encoding::windows_1252, bytes_of("\xE9"), 1, out);
  EXPECT_EQ(out, "x" + utf8(U"\u3042\u00E9"));
}

// Arbitrary bytes, drawn mostly from the ones that steer the state machines, through every
// decoder: each must end and give well-formed UTF-8.
TEST(DecoderErrors, AnyInputGivesWellFormedUtf8) {
  const uint8_t alphabet[] = {0x00, 0x1B, 0x24, 0x28, 0x40, 0x42, 0x49, 0x4A, 0x30, 0x39,
                              0x41, 0x7F, 0x80, 0x81, 0x8E, 0x8F, 0xA1, 0xD8, 0xDC, 0xDF,
                              0xE0, 0xF0, 0xFC, 0xFE, 0xFF, 0xEF, 0xBB, 0xBF};
  std::mt19937 rng(7457);
  std::uniform_int_distribution<size_t> pick(0, sizeof(alphabet) - 1);
  std::uniform_int_distribution<size_t> length(0, 32);
  for (int k = 0; k <= static_cast<int>(Encoding::x_user_defined); ++k) {
    const auto e = static_cast<Encoding>(k);
    for (int round = 0; round < 3000; ++round) {
      std::string in(length(rng), '\0');
      for (char& c : in) c = static_cast<char>(alphabet[pick(rng)]);
      const std::string out = decode(e, in);
      ASSERT_TRUE(valid(out)) << enc::encoding_name(e) << " " << hex(in);
      const std::string text = enc::decode_text(e, in);
      ASSERT_TRUE(valid(text)) << enc::encoding_name(e) << " " << hex(in);
    }
  }
}

// A character placed at every offset of an ASCII run: the eight-byte ASCII scan must hand
// over to the byte decoder at exactly the right place.
TEST(DecoderErrors, CharacterAtEveryOffsetOfAsciiRun) {
  const std::vector<std::pair<Encoding, std::string>> encoded = {
      {Encoding::UTF_8, "\xE3\x81\x82"}, {Encoding::windows_1252, "\x82"},
      {Encoding::Shift_JIS, "\x82\xA0"}, {Encoding::EUC_JP, "\xA4\xA2"},
      {Encoding::gb18030, "\xA4\xA2"},   {Encoding::Big5, "\xA4\x40"},
      {Encoding::EUC_KR, "\xB0\xA1"},    {Encoding::x_user_defined, "\x80"},
  };
  for (const auto& [e, bytes] : encoded) {
    const std::string ch = decode(e, bytes);
    ASSERT_NE(ch.find_first_not_of(kFFFD), std::string::npos) << enc::encoding_name(e);
    for (size_t pos = 0; pos <= 40; ++pos) {
      const std::string in = std::string(pos, 'a') + bytes + std::string(40 - pos, 'b');
      EXPECT_EQ(decode(e, in), std::string(pos, 'a') + ch + std::string(40 - pos, 'b'))
          << enc::encoding_name(e) << " at " << pos;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// UTF-8 validation and lossy decoding.

TEST(Utf8, ValidationTable) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"", true},
      {"plain ascii text, longer than eight bytes", true},
      {std::string("nul\0inside", 10), true},
      {"\xC2\x80\xDF\xBF", true},
      {"\xE0\xA0\x80\xEF\xBF\xBF\xED\x9F\xBF\xEE\x80\x80", true},
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", true},
      {"\xEF\xBB\xBF", true},
      {"\x80", false},
      {"\xC0\x80", false},
      {"\xC1\xBF", false},
      {"\xC2", false},
      {"\xC2\x41", false},
      {"\xE0\x9F\xBF", false},
      {"\xED\xA0\x80", false},
      {"\xE2\x82", false},
      {"\xF0\x8F\xBF\xBF", false},
      {"\xF4\x90\x80\x80", false},
      {"\xF5\x80\x80\x80", false},
      {"\xF0\x9F\x98", false},
      {"\xFF", false},
  };
  for (const auto& [bytes, expected] : cases) EXPECT_EQ(valid(bytes), expected) << hex(bytes);
}

TEST(Utf8, InvalidByteAtEveryOffsetOfAsciiRun) {
  for (size_t pos = 0; pos < 40; ++pos) {
    std::string s(40, 'x');
    s[pos] = '\x80';
    EXPECT_FALSE(valid(s)) << pos;
    EXPECT_EQ(lossy(s), std::string(pos, 'x') + kFFFD + std::string(39 - pos, 'x')) << pos;
    // A truncated sequence at the very end, after an ASCII run of every length.
    const std::string t = std::string(pos, 'x') + "\xE2\x82";
    EXPECT_FALSE(valid(t)) << pos;
    EXPECT_EQ(lossy(t), std::string(pos, 'x') + kFFFD) << pos;
  }
}

// A sequence cut by the end of the range is invalid even when the bytes beyond the range
// would complete it.
TEST(Utf8, RangeEndingInsideASequence) {
  const std::string text = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // U+00E9 U+20AC U+1F600
  const std::string e_acute = text.substr(0, 2), euro = text.substr(2, 3);
  // Range length, and the lossy decoding of that range (U+FFFD where a sequence is cut).
  const std::vector<std::pair<size_t, std::string>> cases = {
      {0, ""},
      {1, kFFFD},
      {2, e_acute},
      {3, e_acute + kFFFD},
      {4, e_acute + kFFFD},
      {5, e_acute + euro},
      {6, e_acute + euro + kFFFD},
      {7, e_acute + euro + kFFFD},
      {8, e_acute + euro + kFFFD},
      {9, text},
  };
  for (const auto& [n, expected] : cases) {
    EXPECT_EQ(enc::is_valid_utf8(bytes_of(text), n), expected.find(kFFFD) == std::string::npos)
        << n;
    std::string out;
    enc::decode_utf8_lossy_append(bytes_of(text), n, out);
    EXPECT_EQ(out, expected) << n;
  }
}

// The standard's UTF-8 decoder, byte by byte, as a reference for the buffer-at-a-time one.
std::string reference_utf8_decode(std::string_view in) {
  std::string out;
  uint32_t cp = 0;
  int needed = 0, seen = 0;
  uint8_t lower = 0x80, upper = 0xBF;
  for (size_t i = 0; i <= in.size();) {
    if (i == in.size()) {
      if (needed != 0) out += kFFFD;
      break;
    }
    const auto b = static_cast<uint8_t>(in[i]);
    if (needed == 0) {
      ++i;
      if (b < 0x80) {
        out += static_cast<char>(b);
      } else if (b >= 0xC2 && b <= 0xDF) {
        needed = 1;
        cp = b & 0x1Fu;
      } else if (b >= 0xE0 && b <= 0xEF) {
        if (b == 0xE0) lower = 0xA0;
        if (b == 0xED) upper = 0x9F;
        needed = 2;
        cp = b & 0xFu;
      } else if (b >= 0xF0 && b <= 0xF4) {
        if (b == 0xF0) lower = 0x90;
        if (b == 0xF4) upper = 0x8F;
        needed = 3;
        cp = b & 0x7u;
      } else {
        out += kFFFD;
      }
      continue;
    }
    if (b < lower || b > upper) {
      cp = 0;
      needed = seen = 0;
      lower = 0x80;
      upper = 0xBF;
      out += kFFFD;
      continue;  // the byte is read again
    }
    ++i;
    lower = 0x80;
    upper = 0xBF;
    cp = (cp << 6) | (b & 0x3Fu);
    if (++seen != needed) continue;
    out += utf8(std::u32string(1, static_cast<char32_t>(cp)));
    cp = 0;
    needed = seen = 0;
  }
  return out;
}

TEST(Utf8, LossyDecodingAgreesWithByteByByteDecoder) {
  const uint8_t alphabet[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                              0xC2, 0xDF, 0xE0, 0xE2, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  std::mt19937 rng(20240918);
  std::uniform_int_distribution<size_t> pick(0, sizeof(alphabet) - 1);
  std::uniform_int_distribution<size_t> length(0, 24);
  for (int round = 0; round < 50000; ++round) {
    std::string s(length(rng), '\0');
    for (char& c : s) c = static_cast<char>(alphabet[pick(rng)]);
    const std::string expected = reference_utf8_decode(s);
    ASSERT_EQ(lossy(s), expected) << hex(s);
    ASSERT_EQ(decode(Encoding::UTF_8, s), expected) << hex(s);
    // Valid exactly when decoding changes nothing.
    ASSERT_EQ(valid(s), expected == s) << hex(s);
  }
}

// ---------------------------------------------------------------------------------------------
// Labels, names and code pages.

TEST(Labels, TableOfLabels) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"latin1", "windows-1252"},
      {" UTF8 ", "UTF-8"},
      {"\t\n\f\r utf-8 \r\n", "UTF-8"},
      {"cp1252", "windows-1252"},
      {"ISO-8859-1", "windows-1252"},
      {"us-ascii", "windows-1252"},
      {"ISO-8859-8-I", "ISO-8859-8-I"},
      {"Shift_JIS", "Shift_JIS"},
      {"sjis", "Shift_JIS"},
      {"gb2312", "GBK"},
      {"GB18030", "gb18030"},
      {"big5-hkscs", "Big5"},
      {"euc-kr", "EUC-KR"},
      {"iso-2022-kr", "replacement"},
      {"utf-16", "UTF-16LE"},
      {"unicodefffe", "UTF-16BE"},
      {"x-user-defined", "x-user-defined"},
      {"866", "IBM866"},
      {"x-unknown", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"REPLACEMENT", "replacement"},
      {"replacement-x", std::nullopt},
      {"utf-8\v", std::nullopt},  // vertical tab is not ASCII white space here
      {"utf-8\xC2\xA0", std::nullopt},
      {"utf 8", std::nullopt},
      {std::string("utf-8\0", 6), std::nullopt},
      {"unicode-1-1-utf-8-and-more", std::nullopt},
      {"windows-1252x", std::nullopt},
  };
  for (const auto& [label, name] : cases) {
    const auto e = enc::encoding_for_label(label);
    ASSERT_EQ(e.has_value(), name.has_value()) << "'" << label << "'";
    if (e) {
      EXPECT_EQ(enc::encoding_name(*e), *name) << "'" << label << "'";
    }
  }
}

TEST(Labels, EveryLabelOfTheStandard) {
  const auto encodings = read_encodings_json();
  if (!encodings) GTEST_SKIP() << "encodings.json not found in " << kDataDir;
  ASSERT_EQ(encodings->size(), static_cast<size_t>(Encoding::x_user_defined) + 1);
  size_t labels = 0;
  for (size_t k = 0; k < encodings->size(); ++k) {
    const JsonEncoding& je = (*encodings)[k];
    EXPECT_EQ(enc::encoding_name(static_cast<Encoding>(k)), je.name) << "enum order";
    for (const std::string& label : je.labels) {
      ++labels;
      std::string upper = label;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      for (const std::string& form : {label, upper, " \t" + upper + "\n"}) {
        const auto e = enc::encoding_for_label(form);
        ASSERT_TRUE(e.has_value()) << "'" << form << "'";
        EXPECT_EQ(enc::encoding_name(*e), je.name) << "'" << form << "'";
      }
    }
  }
  EXPECT_GT(labels, encodings->size());
}

TEST(CharacterCode, TableOfCodes) {
  const std::vector<std::pair<int32_t, std::string_view>> cases = {
      {1200, "UTF-16LE"},      {1201, "UTF-16BE"},      {1250, "windows-1250"},
      {1251, "windows-1251"},  {1252, "windows-1252"},  {1253, "windows-1253"},
      {1254, "windows-1254"},  {1255, "windows-1255"},  {1256, "windows-1256"},
      {1257, "windows-1257"},  {1258, "windows-1258"},  {1259, "windows-1252"},
      {28591, "windows-1252"}, {28592, "ISO-8859-2"},   {28593, "ISO-8859-3"},
      {28594, "ISO-8859-4"},   {28595, "ISO-8859-5"},   {28596, "ISO-8859-6"},
      {28597, "ISO-8859-7"},   {28598, "ISO-8859-8"},   {28599, "windows-1254"},
      {28603, "ISO-8859-13"},  {28604, "windows-1252"}, {28605, "ISO-8859-15"},
      {874, "windows-874"},    {932, "Shift_JIS"},      {936, "GBK"},
      {20936, "GBK"},          {52936, "GBK"},          {949, "EUC-KR"},
      {51949, "EUC-KR"},       {950, "Big5"},           {437, "IBM866"},
      {866, "IBM866"},         {50220, "ISO-2022-JP"},  {51932, "EUC-JP"},
      {54936, "gb18030"},      {65001, "UTF-8"},        {20127, "windows-1252"},
      {0, "windows-1252"},     {-1, "windows-1252"},    {2, "windows-1252"},
  };
  for (const auto& [code, name] : cases) {
    EXPECT_EQ(enc::encoding_name(enc::encoding_for_character_code(code)), name) << code;
  }
}

// ---------------------------------------------------------------------------------------------
// File texts: UTF-8 as it stands, else byte-order-mark sniffing.

TEST(DecodeText, ByteOrderMarkRules) {
  struct Case {
    Encoding encoding;
    std::string bytes;
    std::u32string expected;
  };
  const std::string bom8 = seq({0xEF, 0xBB, 0xBF});
  const std::vector<Case> cases = {
      {Encoding::UTF_8, bom8 + "Age", U"\uFEFFAge"},  // valid UTF-8 keeps its mark
      {Encoding::windows_1252, bom8 + "Age", U"Age"},
      {Encoding::UTF_8, bom8 + "A\xFF", U"A\uFFFD"},  // invalid: sniffed, mark removed
      {Encoding::UTF_8, "A\xFF", U"A\uFFFD"},
      {Encoding::UTF_8, "caf\xC3\xA9", U"caf\u00E9"},
      {Encoding::windows_1252, seq({0xFF, 0xFE, 'A', 0, 'g', 0, 'e', 0}), U"Age"},
      {Encoding::windows_1252, seq({0xFE, 0xFF, 0, 'A'}), U"A"},
      {Encoding::UTF_8, seq({0xFF, 0xFE, 'A', 0}), U"A"},
      {Encoding::UTF_16BE, seq({0xFF, 0xFE, 'A', 0}), U"A"},
      {Encoding::UTF_16LE, seq({'A', 0}), U"A"},
      {Encoding::Shift_JIS, bom8 + "\xE3\x81\x82", U"\u3042"},
      {Encoding::Shift_JIS, "\x82\xA0", U"\u3042"},
      {Encoding::windows_1252, "caf\xE9", U"caf\u00E9"},
      {Encoding::windows_1252, "\xEF\xBB", U"\u00EF\u00BB"},  // not a whole mark
      {Encoding::windows_1252, "\xFF", U"\u00FF"},
      {Encoding::windows_1252, "\xFF\xFE", U""},
      {Encoding::windows_1252, seq({0xFE, 0xFF, 0xD8, 0x3D}), U"\uFFFD"},
      {Encoding::UTF_8, "", U""},
      {Encoding::replacement, bom8 + "ok", U"ok"},
      {Encoding::replacement, "ok", U"\uFFFD"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(enc::decode_text(c.encoding, c.bytes), utf8(c.expected))
        << enc::encoding_name(c.encoding) << " " << hex(c.bytes);
  }
  std::string out = "keep:";
  enc::decode_text_append(Encoding::UTF_8, bytes_of("ok"), 2, out);
  EXPECT_EQ(out, "keep:ok");
}

}  // namespace
