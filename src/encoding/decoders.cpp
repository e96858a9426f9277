// The legacy decoders and UTF-16. Each is the standard's byte-at-a-time state machine run over
// a buffer; where the standard puts bytes back into the stream after an error, the position
// steps back over them (they are always the most recently read bytes, in order).
#include "encoding/decoders.hpp"

#include <algorithm>

#include "encoding/tables_generated.hpp"

namespace korvel::encoding::detail {
namespace {

using namespace korvel::encoding::tables;

uint32_t lookup(const uint16_t* table, size_t size, size_t pointer) {
  return pointer < size ? table[pointer] : 0;
}

uint32_t big5_code_point(size_t pointer) {
  if (pointer < kBig5First || pointer - kBig5First >= kBig5Size) return 0;
  const size_t k = pointer - kBig5First;
  const uint32_t low = kBig5Low[k];
  return ((kBig5Plane2[k >> 3] >> (k & 7)) & 1) != 0 ? 0x20000 | low : low;
}

uint32_t gb18030_ranges_code_point(uint32_t pointer) {
  if ((pointer > 39419 && pointer < 189000) || pointer > 1237575) return 0;
  // The one four-byte code outside the ranges' arithmetic.
  if (pointer == 7457) return 0xE7C7;
  const Gb18030Range* end = kGb18030Ranges + kGb18030RangeCount;
  const Gb18030Range* it =
      std::upper_bound(kGb18030Ranges, end, pointer,
                       [](uint32_t p, const Gb18030Range& r) { return p < r.pointer; });
  --it;  // the first range starts at pointer 0
  return it->code_point + (pointer - it->pointer);
}

// Appends the ASCII run at data[i..] and returns its length.
size_t copy_ascii(const uint8_t* data, size_t i, size_t n, std::string& out) {
  const size_t k = ascii_prefix(data + i, n - i);
  out.append(reinterpret_cast<const char*>(data + i), k);
  return k;
}

bool in(uint8_t b, uint8_t lo, uint8_t hi) {
  return b >= lo && b <= hi;
}

}  // namespace

void decode_single_byte(const uint16_t* table, const uint8_t* data, size_t n, std::string& out) {
  size_t i = copy_ascii(data, 0, n, out);
  if (i == n) return;
  // The rest is written in place: every byte becomes at most three bytes of UTF-8 (all code
  // points of these tables, and U+FFFD, are in the BMP).
  const size_t start = out.size();
  out.resize(start + 3 * (n - i));
  char* const base = out.data();
  char* dst = base + start;
  while (i < n) {
    const size_t k = ascii_prefix(data + i, n - i);
    std::memcpy(dst, data + i, k);
    dst += k;
    i += k;
    if (i == n) break;
    const uint32_t cp = table[data[i++] - 0x80];
    dst = put_bmp_utf8(dst, cp != 0 ? cp : 0xFFFD);
  }
  out.resize(static_cast<size_t>(dst - base));
}

void decode_x_user_defined(const uint8_t* data, size_t n, std::string& out) {
  size_t i = 0;
  while (i < n) {
    i += copy_ascii(data, i, n, out);
    if (i == n) break;
    append_utf8(out, 0xF780u + data[i++] - 0x80u);
  }
}

void decode_gb18030(const uint8_t* data, size_t n, std::string& out) {
  uint8_t first = 0, second = 0, third = 0;
  size_t i = 0;
  while (i < n) {
    const uint8_t b = data[i];
    if (third != 0) {
      if (!in(b, 0x30, 0x39)) {
        i -= 2;  // second, third and this byte are read again
        first = second = third = 0;
        append_replacement(out);
        continue;
      }
      ++i;
      const uint32_t pointer = (first - 0x81u) * (10 * 126 * 10) + (second - 0x30u) * (10 * 126) +
                               (third - 0x81u) * 10 + (b - 0x30u);
      first = second = third = 0;
      const uint32_t cp = gb18030_ranges_code_point(pointer);
      if (cp != 0) {
        append_utf8(out, cp);
      } else {
        append_replacement(out);
      }
      continue;
    }
    if (second != 0) {
      if (in(b, 0x81, 0xFE)) {
        third = b;
        ++i;
        continue;
      }
      --i;  // second and this byte are read again
      first = second = 0;
      append_replacement(out);
      continue;
    }
    if (first != 0) {
      if (in(b, 0x30, 0x39)) {
        second = b;
        ++i;
        continue;
      }
      const uint8_t lead = first;
      first = 0;
      uint32_t cp = 0;
      if (in(b, 0x40, 0x7E) || in(b, 0x80, 0xFE)) {
        const unsigned offset = b < 0x7F ? 0x40 : 0x41;
        cp = lookup(kGb18030, kGb18030Size, (lead - 0x81u) * 190 + (b - offset));
      }
      if (cp != 0) {
        ++i;
        append_utf8(out, cp);
        continue;
      }
      if (b >= 0x80) ++i;  // an ASCII byte is read again
      append_replacement(out);
      continue;
    }
    if (b < 0x80) {
      i += copy_ascii(data, i, n, out);
      continue;
    }
    ++i;
    if (b == 0x80) {
      append_utf8(out, 0x20AC);
    } else if (b <= 0xFE) {
      first = b;
    } else {
      append_replacement(out);
    }
  }
  if (first != 0 || second != 0 || third != 0) append_replacement(out);
}

void decode_big5(const uint8_t* data, size_t n, std::string& out) {
  uint8_t lead = 0;
  size_t i = 0;
  while (i < n) {
    const uint8_t b = data[i];
    if (lead != 0) {
      const uint8_t l = lead;
      lead = 0;
      if (in(b, 0x40, 0x7E) || in(b, 0xA1, 0xFE)) {
        const unsigned offset = b < 0x7F ? 0x40 : 0x62;
        const size_t pointer = (l - 0x81u) * 157 + (b - offset);
        // Four codes decode to a letter and a combining mark.
        uint32_t pair = 0;
        switch (pointer) {
          case 1133:
            pair = 0x0304;
            break;
          case 1135:
            pair = 0x030C;
            break;
          case 1164:
            pair = 0x0304;
            break;
          case 1166:
            pair = 0x030C;
            break;
          default:
            break;
        }
        if (pair != 0) {
          ++i;
          append_utf8(out, pointer < 1164 ? 0x00CA : 0x00EA);
          append_utf8(out, pair);
          continue;
        }
        const uint32_t cp = big5_code_point(pointer);
        if (cp != 0) {
          ++i;
          append_utf8(out, cp);
          continue;
        }
      }
      if (b >= 0x80) ++i;  // an ASCII byte is read again
      append_replacement(out);
      continue;
    }
    if (b < 0x80) {
      i += copy_ascii(data, i, n, out);
      continue;
    }
    ++i;
    if (in(b, 0x81, 0xFE)) {
      lead = b;
    } else {
      append_replacement(out);
    }
  }
  if (lead != 0) append_replacement(out);
}

void decode_euc_jp(const uint8_t* data, size_t n, std::string& out) {
  uint8_t lead = 0;
  bool jis0212 = false;
  size_t i = 0;
  while (i < n) {
    const uint8_t b = data[i];
    if (lead == 0x8E && in(b, 0xA1, 0xDF)) {
      lead = 0;
      ++i;
      append_utf8(out, 0xFF61u - 0xA1u + b);
      continue;
    }
    if (lead == 0x8F && in(b, 0xA1, 0xFE)) {
      jis0212 = true;
      lead = b;
      ++i;
      continue;
    }
    if (lead != 0) {
      const uint8_t l = lead;
      lead = 0;
      uint32_t cp = 0;
      if (in(l, 0xA1, 0xFE) && in(b, 0xA1, 0xFE)) {
        const size_t pointer = (l - 0xA1u) * 94 + (b - 0xA1u);
        cp = jis0212 ? lookup(kJis0212, kJis0212Size, pointer)
                     : lookup(kJis0208, kJis0208Size, pointer);
      }
      jis0212 = false;
      if (cp != 0) {
        ++i;
        append_utf8(out, cp);
        continue;
      }
      if (b >= 0x80) ++i;  // an ASCII byte is read again
      append_replacement(out);
      continue;
    }
    if (b < 0x80) {
      i += copy_ascii(data, i, n, out);
      continue;
    }
    ++i;
    if (b == 0x8E || b == 0x8F || in(b, 0xA1, 0xFE)) {
      lead = b;
    } else {
      append_replacement(out);
    }
  }
  if (lead != 0) append_replacement(out);
}

void decode_iso_2022_jp(const uint8_t* data, size_t n, std::string& out) {
  enum class State : uint8_t { Ascii, Roman, Katakana, LeadByte, TrailByte, EscapeStart, Escape };
  State state = State::Ascii;
  State output_state = State::Ascii;
  uint8_t lead = 0;
  bool output_flag = false;
  // i == n stands for the end of the stream, which some states put back and read again.
  size_t i = 0;
  for (;;) {
    const bool eos = i == n;
    const uint8_t b = eos ? 0 : data[i];
    switch (state) {
      case State::Ascii:
      case State::Roman:
        if (eos) return;
        ++i;
        if (b == 0x1B) {
          state = State::EscapeStart;
          break;
        }
        output_flag = false;
        if (b > 0x7F || b == 0x0E || b == 0x0F) {
          append_replacement(out);
        } else if (state == State::Roman && b == 0x5C) {
          append_utf8(out, 0x00A5);
        } else if (state == State::Roman && b == 0x7E) {
          append_utf8(out, 0x203E);
        } else {
          out.push_back(static_cast<char>(b));
        }
        break;
      case State::Katakana:
        if (eos) return;
        ++i;
        if (b == 0x1B) {
          state = State::EscapeStart;
          break;
        }
        output_flag = false;
        if (in(b, 0x21, 0x5F)) {
          append_utf8(out, 0xFF61u - 0x21u + b);
        } else {
          append_replacement(out);
        }
        break;
      case State::LeadByte:
        if (eos) return;
        ++i;
        if (b == 0x1B) {
          state = State::EscapeStart;
          break;
        }
        output_flag = false;
        if (in(b, 0x21, 0x7E)) {
          lead = b;
          state = State::TrailByte;
        } else {
          append_replacement(out);
        }
        break;
      case State::TrailByte: {
        state = State::LeadByte;
        if (eos) {  // the end is read again in the lead-byte state
          append_replacement(out);
          break;
        }
        ++i;
        if (b == 0x1B) {
          state = State::EscapeStart;
          append_replacement(out);
          break;
        }
        uint32_t cp = 0;
        if (in(b, 0x21, 0x7E)) {
          cp = lookup(kJis0208, kJis0208Size, (lead - 0x21u) * 94 + (b - 0x21u));
        }
        if (cp != 0) {
          append_utf8(out, cp);
        } else {
          append_replacement(out);
        }
        break;
      }
      case State::EscapeStart:
        if (!eos && (b == 0x24 || b == 0x28)) {
          ++i;
          lead = b;
          state = State::Escape;
          break;
        }
        // This byte (or the end) is read again in the output state.
        output_flag = false;
        state = output_state;
        append_replacement(out);
        break;
      case State::Escape: {
        const uint8_t l = lead;
        lead = 0;
        bool matched = true;
        State next = State::Ascii;
        if (eos) {
          matched = false;
        } else if (l == 0x28 && b == 0x42) {
          next = State::Ascii;
        } else if (l == 0x28 && b == 0x4A) {
          next = State::Roman;
        } else if (l == 0x28 && b == 0x49) {
          next = State::Katakana;
        } else if (l == 0x24 && (b == 0x40 || b == 0x42)) {
          next = State::LeadByte;
        } else {
          matched = false;
        }
        if (matched) {
          ++i;
          state = output_state = next;
          // Two escapes in a row with nothing between them are an error.
          if (output_flag) append_replacement(out);
          output_flag = true;
          break;
        }
        --i;  // the escape's second byte and this byte (or the end) are read again
        output_flag = false;
        state = output_state;
        append_replacement(out);
        break;
      }
    }
  }
}

void decode_shift_jis(const uint8_t* data, size_t n, std::string& out) {
  uint8_t lead = 0;
  size_t i = 0;
  while (i < n) {
    const uint8_t b = data[i];
    if (lead != 0) {
      const uint8_t l = lead;
      lead = 0;
      uint32_t cp = 0;
      if (in(b, 0x40, 0x7E) || in(b, 0x80, 0xFC)) {
        const unsigned offset = b < 0x7F ? 0x40 : 0x41;
        const unsigned lead_offset = l < 0xA0 ? 0x81 : 0xC1;
        const size_t pointer = (l - lead_offset) * 188 + (b - offset);
        if (pointer >= 8836 && pointer <= 10715) {
          cp = static_cast<uint32_t>(0xE000 - 8836 + pointer);  // end-user-defined area
        } else {
          cp = lookup(kJis0208, kJis0208Size, pointer);
        }
      }
      if (cp != 0) {
        ++i;
        append_utf8(out, cp);
        continue;
      }
      if (b >= 0x80) ++i;  // an ASCII byte is read again
      append_replacement(out);
      continue;
    }
    if (b < 0x80) {
      i += copy_ascii(data, i, n, out);
      continue;
    }
    ++i;
    if (b == 0x80) {
      append_utf8(out, 0x80);
    } else if (in(b, 0xA1, 0xDF)) {
      append_utf8(out, 0xFF61u - 0xA1u + b);
    } else if (in(b, 0x81, 0x9F) || in(b, 0xE0, 0xFC)) {
      lead = b;
    } else {
      append_replacement(out);
    }
  }
  if (lead != 0) append_replacement(out);
}

void decode_euc_kr(const uint8_t* data, size_t n, std::string& out) {
  uint8_t lead = 0;
  size_t i = 0;
  while (i < n) {
    const uint8_t b = data[i];
    if (lead != 0) {
      const uint8_t l = lead;
      lead = 0;
      uint32_t cp = 0;
      if (in(b, 0x41, 0xFE)) cp = lookup(kEucKr, kEucKrSize, (l - 0x81u) * 190 + (b - 0x41u));
      if (cp != 0) {
        ++i;
        append_utf8(out, cp);
        continue;
      }
      if (b >= 0x80) ++i;  // an ASCII byte is read again
      append_replacement(out);
      continue;
    }
    if (b < 0x80) {
      i += copy_ascii(data, i, n, out);
      continue;
    }
    ++i;
    if (in(b, 0x81, 0xFE)) {
      lead = b;
    } else {
      append_replacement(out);
    }
  }
  if (lead != 0) append_replacement(out);
}

void decode_utf16(bool big_endian, const uint8_t* data, size_t n, std::string& out) {
  bool have_lead_byte = false;
  uint8_t lead_byte = 0;
  uint32_t lead_surrogate = 0;  // 0: none
  size_t i = 0;
  while (i < n) {
    const uint8_t b = data[i];
    if (!have_lead_byte) {
      have_lead_byte = true;
      lead_byte = b;
      ++i;
      continue;
    }
    have_lead_byte = false;
    const uint32_t unit =
        big_endian ? (uint32_t{lead_byte} << 8) | b : (uint32_t{b} << 8) | lead_byte;
    if (lead_surrogate != 0) {
      const uint32_t ls = lead_surrogate;
      lead_surrogate = 0;
      if (unit >= 0xDC00 && unit <= 0xDFFF) {
        ++i;
        append_utf8(out, 0x10000 + ((ls - 0xD800) << 10) + (unit - 0xDC00));
        continue;
      }
      --i;  // both bytes of this unit are read again
      append_replacement(out);
      continue;
    }
    ++i;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      lead_surrogate = unit;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      append_replacement(out);
    } else {
      append_utf8(out, unit);
    }
  }
  if (have_lead_byte || lead_surrogate != 0) append_replacement(out);
}

}  // namespace korvel::encoding::detail
