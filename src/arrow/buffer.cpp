#include "arrow/buffer.hpp"

#include <cstring>
#include <new>

#include "memory/alloc.hpp"

namespace korvel::arrow {

std::atomic<int64_t> Buffer::live_{0};

Error out_of_memory(size_t bytes) {
  return Error::out_of_memory("failed to allocate " + std::to_string(bytes) + " bytes");
}

Result<std::shared_ptr<Buffer>> Buffer::allocate(size_t size, bool zeroed) {
  size_t cap = padded_size(size ? size : 1);
  if (cap == 0) return out_of_memory(size);
  void* p = zeroed ? alloc_zeroed_aligned(cap) : alloc_aligned(cap);
  if (!p) return out_of_memory(cap);
  std::shared_ptr<Buffer> b(new (std::nothrow) Buffer());
  if (!b) {
    free_aligned(p);
    return out_of_memory(sizeof(Buffer));
  }
  b->data_ = static_cast<uint8_t*>(p);
  b->size_ = size;
  b->capacity_ = cap;
  b->owned_ = true;
  live_.fetch_add(1, std::memory_order_relaxed);
  if (!zeroed) b->zero_padding();
  return b;
}

std::shared_ptr<Buffer> Buffer::wrap(const void* data, size_t size,
                                     std::shared_ptr<const void> owner) {
  std::shared_ptr<Buffer> b(new Buffer());
  b->data_ = static_cast<uint8_t*>(const_cast<void*>(data));
  b->size_ = size;
  b->capacity_ = size;
  b->owner_ = std::move(owner);
  return b;
}

const std::shared_ptr<Buffer>& Buffer::zeros() {
  alignas(64) static const uint8_t block[64] = {};
  static const std::shared_ptr<Buffer> z = wrap(block, sizeof block, nullptr);
  return z;
}

Buffer::~Buffer() {
  if (owned_) {
    free_aligned(data_);
    live_.fetch_sub(1, std::memory_order_relaxed);
  }
}

Status Buffer::reserve(size_t capacity, bool zero_new) {
  if (capacity <= capacity_) return Ok{};
  if (!owned_) return Error::invalid("cannot resize a foreign buffer");
  size_t cap = padded_size(capacity);
  if (cap == 0) return out_of_memory(capacity);
  void* p = realloc_aligned(data_, cap);
  if (!p) return out_of_memory(cap);
  data_ = static_cast<uint8_t*>(p);
  if (zero_new) std::memset(data_ + capacity_, 0, cap - capacity_);
  capacity_ = cap;
  return Ok{};
}

void Buffer::zero_padding() {
  if (size_ < capacity_) std::memset(data_ + size_, 0, capacity_ - size_);
}

}  // namespace korvel::arrow
