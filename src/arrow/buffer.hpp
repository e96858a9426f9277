// Memory blocks behind Arrow arrays. Our own blocks are 64-byte aligned, padded to a multiple of
// 64 bytes and come from the library allocator; blocks of an imported array only point into the
// producer's memory and keep the producer's structure alive. Shared through std::shared_ptr
// (atomic count), so arrays can share a block (e.g. a validity bitmap) and consumers may drop
// their references from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "arrow/status.hpp"

namespace korvel::arrow {

class Buffer {
 public:
  // An owned block of `size` bytes (capacity rounded up to 64). With `zeroed`, every byte is
  // zero; otherwise only the padding past `size` is.
  static Result<std::shared_ptr<Buffer>> allocate(size_t size, bool zeroed = false);
  // A view of foreign memory, valid while `owner` lives.
  static std::shared_ptr<Buffer> wrap(const void* data, size_t size,
                                      std::shared_ptr<const void> owner);
  // A shared, immutable block of 64 zero bytes, for required buffers of empty arrays.
  static const std::shared_ptr<Buffer>& zeros();

  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer();

  const uint8_t* data() const { return data_; }
  uint8_t* mutable_data() { return data_; }
  template <typename T>
  const T* as() const {
    return reinterpret_cast<const T*>(data_);
  }
  template <typename T>
  T* mutable_as() {
    return reinterpret_cast<T*>(data_);
  }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool owned() const { return owned_; }

  // Owned blocks only, while not shared: grows the capacity to at least `capacity` bytes,
  // keeping the contents. New bytes are uninitialised unless `zero_new`.
  Status reserve(size_t capacity, bool zero_new = false);
  // Sets the logical size (at most the capacity).
  void set_size(size_t size) { size_ = size; }
  // Zeroes the bytes from size() to capacity(), so no stale memory reaches a consumer.
  void zero_padding();

  // Owned blocks currently alive in the process (a leak check for tests).
  static int64_t live_count() { return live_.load(std::memory_order_relaxed); }

 private:
  Buffer() = default;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool owned_ = false;
  std::shared_ptr<const void> owner_;  // keeps foreign memory alive
  static std::atomic<int64_t> live_;
};

using BufferPtr = std::shared_ptr<Buffer>;

// Rounds n up to a multiple of 64, or returns 0 when that would overflow.
constexpr size_t padded_size(size_t n) {
  return n > SIZE_MAX - 63 ? 0 : (n + 63) & ~size_t{63};
}

Error out_of_memory(size_t bytes);

}  // namespace korvel::arrow
