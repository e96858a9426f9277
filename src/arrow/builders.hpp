// Builders of nullable doubles and of non-null string views.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "arrow/array.hpp"
#include "arrow/buffer.hpp"
#include "arrow/status.hpp"

namespace korvel::arrow {

// Doubles, nullable. The caller names one bit pattern that stands for a null in the slots it
// appends (a sentinel of its data source); every other pattern, NaNs included, is a value.
class Float64Builder {
 public:
  explicit Float64Builder(uint64_t null_bits) : null_bits_(null_bits) {}

  // Room for `additional` more values without reallocation.
  Status reserve(size_t additional);
  Status append(double v) {
    if (length_ == capacity_) ARROW_TRY(grow(length_ + 1));
    values_->mutable_as<double>()[length_] = v;
    if (validity_) validity_->mutable_data()[length_ >> 3] |= uint8_t(1u << (length_ & 7));
    ++length_;
    return Ok{};
  }
  // Stores 0.0 under a null. The validity bitmap is created at the first null.
  Status append_null();
  // Appends `count` values from 8-byte slots at src, src + stride, src + 2 * stride, ...: each
  // slot is a little-endian binary64, and the null pattern is a null.
  Status append_slots(const uint8_t* src, size_t count, size_t stride);

  int64_t length() const { return static_cast<int64_t>(length_); }
  int64_t null_count() const { return static_cast<int64_t>(null_count_); }

  // The Float64 array (no validity buffer when nothing is null); the builder starts over empty.
  Result<ArrayRef> finish();

 private:
  Status grow(size_t min_capacity);
  Status set_capacity(size_t capacity);
  Status create_validity();

  uint64_t null_bits_;
  BufferPtr values_, validity_;
  size_t length_ = 0, capacity_ = 0, null_count_ = 0;
};

// Utf8View values, all valid. Values of up to 12 bytes live in their view; longer ones are
// copied whole into data blocks that start at kFirstBlockSize and double up to kMaxBlockSize
// (a longer value gets a block of its own size). With deduplication, a long value equal to one
// already stored by this builder points at the stored bytes.
class StringViewBuilder {
 public:
  static constexpr size_t kFirstBlockSize = size_t{8} << 10;
  static constexpr size_t kMaxBlockSize = size_t{2} << 20;

  explicit StringViewBuilder(bool deduplicate = false) : dedup_(deduplicate) {}

  Status reserve(size_t additional);  // room for more views
  Status append(std::string_view v);

  int64_t length() const { return static_cast<int64_t>(length_); }

  // Buffers: no validity, views, then the data blocks; the builder starts over empty.
  Result<ArrayRef> finish();

 private:
  Status grow(size_t min_capacity);
  Status store_long(std::string_view v, int32_t* buffer_index, int32_t* offset);

  BufferPtr views_;
  size_t length_ = 0, capacity_ = 0;
  std::vector<BufferPtr> blocks_;  // the last one is being filled; its size is the fill level
  size_t next_block_size_ = kFirstBlockSize;
  bool dedup_;
  // With deduplication: each long value stored so far -> (block index, offset). The keys are
  // views into blocks_, not copies: a block is never resized or moved once a value is in it (a
  // value that does not fit opens a new block), and finish() resets the map together with
  // handing the blocks to the array, so no key outlives the bytes it points at.
  std::unordered_map<std::string_view, std::pair<int32_t, int32_t>> stored_;
};

}  // namespace korvel::arrow
