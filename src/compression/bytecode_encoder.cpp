#include "compression/bytecode_encoder.hpp"

#include <bit>
#include <cmath>
#include <cstring>

namespace korvel {

namespace {

// The code of one slot, or kCodeRaw when it is stored after the block.
inline uint8_t code_for(uint64_t bits) {
  if (bits == sav::kSysmisBits) return sav::kCodeSysmis;
  if (bits == sav::kBlankBits) return sav::kCodeBlank;
  const double v = std::bit_cast<double>(bits);
  // Integers -99..151 (bias 100); -0.0 fails the bit comparison and stays raw.
  if (v >= 1.0 - sav::kDefaultBias && v <= 251.0 - sav::kDefaultBias) {
    const double code = v + sav::kDefaultBias;
    const auto c = static_cast<int>(code);
    if (static_cast<double>(c) == code &&
        std::bit_cast<uint64_t>(static_cast<double>(c) - sav::kDefaultBias) == bits)
      return static_cast<uint8_t>(c);
  }
  return sav::kCodeRaw;
}

}  // namespace

void BytecodeEncoder::flush_block() {
  const size_t old = out_.size();
  out_.resize(old + sav::kCodesPerBlock + n_pending_ * sav::kSlotBytes);
  std::memcpy(out_.data() + old, block_.data(), sav::kCodesPerBlock);
  std::memcpy(out_.data() + old + sav::kCodesPerBlock, pending_.data(),
              n_pending_ * sav::kSlotBytes);
  position_ = 0;
  n_pending_ = 0;
}

void BytecodeEncoder::encode_rows(const uint8_t* rows, size_t n_rows, size_t slots) {
  // Worst case: 9 bytes per slot plus a block per row.
  out_.reserve(out_.size() + n_rows * (slots * 9 + sav::kCodesPerBlock));
  const size_t n = n_rows * slots;
  for (size_t i = 0; i < n; ++i) {
    uint64_t bits;
    std::memcpy(&bits, rows + i * sav::kSlotBytes, 8);
    const uint8_t code = code_for(bits);
    if (code == sav::kCodeRaw) pending_[n_pending_++] = bits;
    block_[position_++] = code;
    if (position_ == sav::kCodesPerBlock) flush_block();
  }
}

void BytecodeEncoder::write_eof() {
  block_[position_++] = sav::kCodeEnd;
  while (position_ < sav::kCodesPerBlock) block_[position_++] = sav::kCodePadding;
  flush_block();
}

}  // namespace korvel
