// Bytecode compression of case rows: the encoder of the stream the bytecode decoder reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "sav_format.hpp"

namespace korvel {

// Leaves new elements uninitialised on resize: output buffers are grown ahead and then written.
template <typename T>
struct DefaultInitAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  DefaultInitAllocator() = default;
  template <typename U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};
using ByteBuffer = std::vector<uint8_t, DefaultInitAllocator<uint8_t>>;

class BytecodeEncoder {
 public:
  // Encodes `rows` rows of `slots` 8-byte slots each, laid out back to back.
  void encode_rows(const uint8_t* rows, size_t n_rows, size_t slots);
  void encode_row(const uint8_t* row, size_t slots) { encode_rows(row, 1, slots); }
  // Code 252 and the end of the last command block.
  void write_eof();

  // Encoded bytes not yet taken.
  ByteBuffer& output() { return out_; }

 private:
  void encode_slot(const uint8_t* slot);
  void flush_block();

  std::array<uint8_t, sav::kCodesPerBlock> block_{};
  size_t position_ = 0;
  std::array<uint64_t, sav::kCodesPerBlock> pending_{};
  size_t n_pending_ = 0;
  ByteBuffer out_;
};

}  // namespace korvel
