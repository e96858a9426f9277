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

void BytecodeEncoder::encode_slot(const uint8_t* slot) {
  uint64_t bits;
  std::memcpy(&bits, slot, 8);
  const uint8_t code = code_for(bits);
  if (code == sav::kCodeRaw) pending_[n_pending_++] = bits;
  block_[position_++] = code;
  if (position_ == sav::kCodesPerBlock) flush_block();
}

void BytecodeEncoder::flush_block() {
  const size_t old = out_.size();
  const size_t n = sav::kCodesPerBlock + n_pending_ * sav::kSlotBytes;
  out_.resize(old + n);
  uint8_t* dst = out_.data() + old;
  std::memcpy(dst, block_.data(), sav::kCodesPerBlock);
  std::memcpy(dst + sav::kCodesPerBlock, pending_.data(), n_pending_ * sav::kSlotBytes);
  position_ = 0;
  n_pending_ = 0;
}

void BytecodeEncoder::encode_rows(const uint8_t* rows, size_t n_rows, size_t slots) {
  size_t n = n_rows * slots;
  size_t i = 0;
  // Finish a block left open by the previous call, then encode whole blocks straight into the
  // output (at most 72 bytes each) without growing it block by block.
  for (; i < n && position_ != 0; ++i) encode_slot(rows + i * sav::kSlotBytes);
  const size_t whole = (n - i) / sav::kCodesPerBlock;
  size_t used = out_.size();
  out_.resize(used + whole * (sav::kCodesPerBlock * (1 + sav::kSlotBytes)));
  uint8_t* out = out_.data();
  for (size_t b = 0; b < whole; ++b, i += sav::kCodesPerBlock) {
    uint8_t* codes = out + used;
    uint8_t* raw = codes + sav::kCodesPerBlock;
    for (size_t k = 0; k < sav::kCodesPerBlock; ++k) {
      uint64_t bits;
      std::memcpy(&bits, rows + (i + k) * sav::kSlotBytes, 8);
      const uint8_t code = code_for(bits);
      codes[k] = code;
      if (code == sav::kCodeRaw) {
        std::memcpy(raw, &bits, 8);
        raw += 8;
      }
    }
    used = static_cast<size_t>(raw - out);
  }
  out_.resize(used);
  for (; i < n; ++i) encode_slot(rows + i * sav::kSlotBytes);
}

void BytecodeEncoder::write_eof() {
  block_[position_++] = sav::kCodeEnd;
  while (position_ < sav::kCodesPerBlock) block_[position_++] = sav::kCodePadding;
  flush_block();
}

}  // namespace korvel
