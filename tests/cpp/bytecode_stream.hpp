// Builds bytecode streams for tests the way a writer lays them out: eight codes, then the raw
// values of that block's codes 253.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace korvel::testing {

inline uint64_t bits_of(double v) {
  uint64_t b;
  std::memcpy(&b, &v, 8);
  return b;
}

inline double double_of(uint64_t b) {
  double v;
  std::memcpy(&v, &b, 8);
  return v;
}

class StreamBuilder {
 public:
  StreamBuilder& code(uint8_t c) {
    codes_.push_back(c);
    if (codes_.size() == 8) flush();
    return *this;
  }
  StreamBuilder& codes(std::initializer_list<uint8_t> cs) {
    for (uint8_t c : cs) code(c);
    return *this;
  }
  StreamBuilder& raw(uint64_t bits) {
    raws_.push_back(bits);
    return code(253);
  }
  StreamBuilder& raw_double(double v) { return raw(bits_of(v)); }
  // Pads the open block with codes 0.
  std::vector<uint8_t> finish() {
    while (!codes_.empty()) code(0);
    return out_;
  }

 private:
  void flush() {
    out_.insert(out_.end(), codes_.begin(), codes_.end());
    for (uint64_t r : raws_) {
      uint8_t b[8];
      std::memcpy(b, &r, 8);
      out_.insert(out_.end(), b, b + 8);
    }
    codes_.clear();
    raws_.clear();
  }
  std::vector<uint8_t> codes_;
  std::vector<uint64_t> raws_;
  std::vector<uint8_t> out_;
};

}  // namespace korvel::testing
