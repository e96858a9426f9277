// Bytecode compression of case rows: the encoder of the stream the bytecode decoder reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sav_format.hpp"

namespace korvel {

class BytecodeEncoder {
 public:
  // Encodes `rows` rows of `slots` 8-byte slots each, laid out back to back.
  void encode_rows(const uint8_t* rows, size_t n_rows, size_t slots);
  void encode_row(const uint8_t* row, size_t slots) { encode_rows(row, 1, slots); }
  // Code 252 and the end of the last command block.
  void write_eof();

  // Encoded bytes not yet taken.
  std::vector<uint8_t>& output() { return out_; }

 private:
  void flush_block();

  std::array<uint8_t, sav::kCodesPerBlock> block_{};
  size_t position_ = 0;
  std::array<uint64_t, sav::kCodesPerBlock> pending_{};
  size_t n_pending_ = 0;
  std::vector<uint8_t> out_;
};

}  // namespace korvel
