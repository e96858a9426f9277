// Builds system-file bytes in memory for tests: the header, dictionary records and raw case
// data, little- or big-endian.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "io_utils.hpp"

namespace korvel::testing {

struct HeaderSpec {
  std::string magic = "$FL2";
  std::string product = "@(#) SPSS DATA FILE korvel test";
  int32_t layout_code = 2;
  int32_t nominal_case_size = -1;
  int32_t compression = 0;
  int32_t weight_index = 0;
  int32_t ncases = -1;
  double bias = 100.0;
  std::string creation_date = "05 Mar 24";
  std::string creation_time = "14:30:00";
  std::string file_label;
};

// One type-2 record.
struct VarSpec {
  int32_t type_code = 0;  // 0 numeric, 1..255 string width, -1 continuation
  std::string name;
  std::optional<std::string> label;      // written with label flag 1
  std::optional<int32_t> label_flag;     // overrides the flag (and writes no label unless 1)
  int32_t n_missing = 0;                 // the stored missing-value count
  std::vector<double> missing;           // numeric values, written when n_missing != 0
  std::vector<std::string> missing_raw;  // 8-byte values (padded with spaces) for strings
  uint32_t print_format = 0x00050802;    // F8.2
  uint32_t write_format = 0x00050802;
};

class SavBuilder {
 public:
  explicit SavBuilder(bool big_endian = false) : big_(big_endian) {}

  bool big_endian() const { return big_; }
  const std::vector<uint8_t>& data() const { return out_; }
  std::vector<uint8_t> take() { return std::move(out_); }
  size_t size() const { return out_.size(); }
  std::string str() const { return std::string(out_.begin(), out_.end()); }

  // Primitives, numbers in the builder's byte order.
  SavBuilder& u32(uint32_t v) {
    if (big_) v = __builtin_bswap32(v);
    return raw(&v, 4);
  }
  SavBuilder& i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
  SavBuilder& u64(uint64_t v) {
    if (big_) v = __builtin_bswap64(v);
    return raw(&v, 8);
  }
  SavBuilder& f64(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    return u64(bits);
  }
  SavBuilder& u8(uint8_t b) { return raw(&b, 1); }
  SavBuilder& bytes(std::string_view s) { return raw(s.data(), s.size()); }
  SavBuilder& bytes(const std::vector<uint8_t>& b) { return raw(b.data(), b.size()); }
  // `s` cut or padded with `pad` to exactly `width` bytes.
  SavBuilder& padded(std::string_view s, size_t width, char pad = ' ') {
    std::string f(s.substr(0, std::min(s.size(), width)));
    f.resize(width, pad);
    return bytes(f);
  }
  SavBuilder& zeros(size_t n) {
    out_.insert(out_.end(), n, 0);
    return *this;
  }

  SavBuilder& header(const HeaderSpec& h = {}) {
    padded(h.magic, 4);
    padded(h.product, 60);
    if (big_) {
      u8(0).u8(0).u8(0).u8(static_cast<uint8_t>(h.layout_code));
    } else {
      i32(h.layout_code);
    }
    i32(h.nominal_case_size).i32(h.compression).i32(h.weight_index).i32(h.ncases).f64(h.bias);
    padded(h.creation_date, 9).padded(h.creation_time, 8).padded(h.file_label, 64);
    return zeros(3);
  }

  SavBuilder& variable(const VarSpec& v) {
    i32(2).i32(v.type_code);
    int32_t flag = v.label_flag.value_or(v.label ? 1 : 0);
    i32(flag).i32(v.n_missing).u32(v.print_format).u32(v.write_format).padded(v.name, 8);
    if (flag == 1) {
      std::string label = v.label.value_or("");
      i32(static_cast<int32_t>(label.size()));
      padded(label, (label.size() + 3) / 4 * 4);
    }
    if (v.type_code > 0) {
      for (const auto& s : v.missing_raw) padded(s, 8);
    } else {
      for (double d : v.missing) f64(d);
    }
    return *this;
  }
  SavBuilder& numeric(std::string name, uint32_t print_format = 0x00050802) {
    VarSpec v;
    v.name = std::move(name);
    v.print_format = v.write_format = print_format;
    return variable(v);
  }
  // A string record of `width` (at most 255) and its continuation records.
  SavBuilder& string(std::string name, int32_t width) {
    VarSpec v;
    v.type_code = width;
    v.name = std::move(name);
    v.print_format = v.write_format = 0x00010000u | (static_cast<uint32_t>(width) << 8);
    variable(v);
    return continuations((width + 7) / 8 - 1);
  }
  SavBuilder& continuations(int32_t n) {
    for (int32_t i = 0; i < n; ++i) {
      VarSpec c;
      c.type_code = -1;
      c.print_format = c.write_format = 0x00011d01;
      variable(c);
    }
    return *this;
  }

  // A type-3 record with the given raw 8-byte values, and its type-4 record.
  SavBuilder& value_labels(const std::vector<std::pair<std::string, std::string>>& raw_labels,
                           const std::vector<int32_t>& indices) {
    i32(3).i32(static_cast<int32_t>(raw_labels.size()));
    for (const auto& [value, label] : raw_labels) {
      padded(value, 8, '\0');
      u8(static_cast<uint8_t>(label.size()));
      padded(label, (label.size() + 1 + 7) / 8 * 8 - 1);
    }
    i32(4).i32(static_cast<int32_t>(indices.size()));
    for (int32_t i : indices) i32(i);
    return *this;
  }
  static std::string number_bytes(double d, bool big) {
    SavBuilder b(big);
    b.f64(d);
    return b.str();
  }
  SavBuilder& numeric_labels(const std::vector<std::pair<double, std::string>>& labels,
                             const std::vector<int32_t>& indices) {
    std::vector<std::pair<std::string, std::string>> raw_labels;
    for (const auto& [d, label] : labels) raw_labels.emplace_back(number_bytes(d, big_), label);
    return value_labels(raw_labels, indices);
  }
  // String values are padded with spaces to 8 bytes.
  SavBuilder& string_labels(const std::vector<std::pair<std::string, std::string>>& labels,
                            const std::vector<int32_t>& indices) {
    std::vector<std::pair<std::string, std::string>> raw_labels;
    for (const auto& [s, label] : labels) {
      std::string v = s;
      v.resize(8, ' ');
      raw_labels.emplace_back(v, label);
    }
    return value_labels(raw_labels, indices);
  }

  SavBuilder& document(const std::vector<std::string>& lines) {
    i32(6).i32(static_cast<int32_t>(lines.size()));
    for (const auto& l : lines) padded(l, 80);
    return *this;
  }

  SavBuilder& extension(int32_t subtype, int32_t size, int32_t count, std::string_view body) {
    i32(7).i32(subtype).i32(size).i32(count);
    return bytes(body);
  }
  // A text-valued extension record: element size 1, count the body's length.
  SavBuilder& text_extension(int32_t subtype, std::string_view body) {
    return extension(subtype, 1, static_cast<int32_t>(body.size()), body);
  }
  SavBuilder& integer_info(int32_t character_code) {
    SavBuilder b(big_);
    b.i32(20).i32(0).i32(0).i32(-1).i32(1).i32(1).i32(big_ ? 1 : 2).i32(character_code);
    return extension(3, 4, 8, b.str());
  }
  SavBuilder& float_info() {
    SavBuilder b(big_);
    b.u64(0xFFEFFFFFFFFFFFFFull).u64(0x7FEFFFFFFFFFFFFFull).u64(0xFFEFFFFFFFFFFFFEull);
    return extension(4, 8, 3, b.str());
  }
  // Subtype 11 with (measure, width, alignment) per entry.
  SavBuilder& display_params(const std::vector<std::array<int32_t, 3>>& entries) {
    SavBuilder b(big_);
    for (const auto& e : entries) b.i32(e[0]).i32(e[1]).i32(e[2]);
    return extension(11, 4, static_cast<int32_t>(entries.size() * 3), b.str());
  }

  SavBuilder& end_dictionary() { return i32(999).i32(0); }

 private:
  SavBuilder& raw(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    out_.insert(out_.end(), b, b + n);
    return *this;
  }

  bool big_;
  std::vector<uint8_t> out_;
};

// A reader over a copy of `bytes`.
inline SavReader reader_over(std::vector<uint8_t> bytes) {
  return SavReader(BufferedReader::from_memory(std::move(bytes)));
}

}  // namespace korvel::testing
