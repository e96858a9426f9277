#include "arrow/builders.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace korvel::arrow {

static_assert(std::endian::native == std::endian::little,
              "slots are read as little-endian doubles in place");

namespace {

// The validity bitmap keeps 16 spare bytes so a 64-bit block of bits can be merged at any bit
// position with one unaligned word access plus one byte.
constexpr size_t validity_bytes(size_t capacity) {
  return capacity / 8 + 16;
}

// ORs the low n (1..64) bits of `bits` into the bitmap at bit position pos; the target bits
// must be zero.
inline void or_bits(uint8_t* bitmap, size_t pos, uint64_t bits, size_t n) {
  if (n < 64) bits &= (uint64_t{1} << n) - 1;
  uint8_t* p = bitmap + (pos >> 3);
  const unsigned shift = pos & 7;
  uint64_t w;
  std::memcpy(&w, p, 8);
  w |= bits << shift;
  std::memcpy(p, &w, 8);
  if (shift && n + shift > 64) p[8] |= static_cast<uint8_t>(bits >> (64 - shift));
}

}  // namespace

// ---- Float64Builder ----

Status Float64Builder::set_capacity(size_t capacity) {
  if (capacity > (SIZE_MAX >> 4)) return out_of_memory(capacity);
  if (!values_) {
    ARROW_ASSIGN_OR_RETURN(values_, Buffer::allocate(capacity * 8));
  } else {
    ARROW_TRY(values_->reserve(capacity * 8));
  }
  if (validity_) ARROW_TRY(validity_->reserve(validity_bytes(capacity), /*zero_new=*/true));
  capacity_ = capacity;
  return Ok{};
}

Status Float64Builder::reserve(size_t additional) {
  if (additional > SIZE_MAX - length_) return out_of_memory(additional);
  if (length_ + additional <= capacity_) return Ok{};
  return set_capacity(length_ + additional);
}

Status Float64Builder::grow(size_t min_capacity) {
  return set_capacity(std::max({min_capacity, capacity_ * 2, size_t{64}}));
}

Status Float64Builder::create_validity() {
  ARROW_ASSIGN_OR_RETURN(validity_, Buffer::allocate(validity_bytes(capacity_), true));
  uint8_t* bm = validity_->mutable_data();
  std::memset(bm, 0xFF, length_ >> 3);
  if (length_ & 7) bm[length_ >> 3] = static_cast<uint8_t>((1u << (length_ & 7)) - 1);
  return Ok{};
}

Status Float64Builder::append_null() {
  if (length_ == capacity_) ARROW_TRY(grow(length_ + 1));
  if (!validity_) ARROW_TRY(create_validity());
  values_->mutable_as<double>()[length_] = 0.0;
  ++length_;
  ++null_count_;
  return Ok{};
}

Status Float64Builder::append_slots(const uint8_t* src, size_t count, size_t stride) {
  if (count == 0) return Ok{};
  ARROW_TRY(reserve(count));
  uint64_t* out = values_->mutable_as<uint64_t>() + length_;
  const uint64_t null_bits = null_bits_;  // a local: stores through `out` could alias the member
  for (size_t done = 0; done < count;) {
    const size_t n = std::min<size_t>(64, count - done);
    uint64_t nulls = 0;
    const uint8_t* s = src + done * stride;
    for (size_t j = 0; j < n; ++j, s += stride) {
      uint64_t bits;
      std::memcpy(&bits, s, 8);
      const bool is_null = bits == null_bits;
      nulls |= uint64_t{is_null} << j;
      out[done + j] = is_null ? 0 : bits;
    }
    if (nulls && !validity_) ARROW_TRY(create_validity());
    if (validity_) {
      or_bits(validity_->mutable_data(), length_, ~nulls, n);
      null_count_ += static_cast<size_t>(std::popcount(nulls));
    }
    length_ += n;
    done += n;
  }
  return Ok{};
}

Result<ArrayRef> Float64Builder::finish() {
  if (!values_) ARROW_TRY(set_capacity(0));
  auto a = std::make_shared<ArrayData>();
  a->type = TypeId::Float64;
  a->length = static_cast<int64_t>(length_);
  a->null_count = static_cast<int64_t>(null_count_);
  values_->set_size(length_ * 8);
  values_->zero_padding();
  if (validity_ && null_count_ > 0) {
    validity_->set_size((length_ + 7) / 8);
    validity_->zero_padding();
    a->buffers = {std::move(validity_), std::move(values_)};
  } else {
    a->buffers = {nullptr, std::move(values_)};
  }
  *this = Float64Builder(null_bits_);
  return ArrayRef(std::move(a));
}

// ---- StringViewBuilder ----

Status StringViewBuilder::grow(size_t min_capacity) {
  size_t cap = std::max({min_capacity, capacity_ * 2, size_t{64}});
  if (cap > (SIZE_MAX >> 5)) return out_of_memory(cap);
  if (!views_) {
    ARROW_ASSIGN_OR_RETURN(views_, Buffer::allocate(cap * sizeof(View)));
  } else {
    ARROW_TRY(views_->reserve(cap * sizeof(View)));
  }
  capacity_ = cap;
  return Ok{};
}

Status StringViewBuilder::reserve(size_t additional) {
  if (additional > SIZE_MAX - length_) return out_of_memory(additional);
  if (length_ + additional <= capacity_) return Ok{};
  return grow(length_ + additional);
}

Status StringViewBuilder::store_long(std::string_view v, int32_t* buffer_index, int32_t* offset) {
  if (dedup_) {
    auto it = stored_.find(v);
    if (it != stored_.end()) {
      *buffer_index = it->second.first;
      *offset = it->second.second;
      return Ok{};
    }
  }
  Buffer* block = blocks_.empty() ? nullptr : blocks_.back().get();
  if (!block || block->capacity() - block->size() < v.size()) {
    // A value is never split: it starts a new block when the current one cannot hold it.
    ARROW_ASSIGN_OR_RETURN(BufferPtr fresh, Buffer::allocate(std::max(next_block_size_, v.size())));
    fresh->set_size(0);
    next_block_size_ = std::min(next_block_size_ * 2, kMaxBlockSize);
    if (blocks_.size() >= static_cast<size_t>(INT32_MAX))
      return Error::invalid("too many string view data blocks");
    blocks_.push_back(std::move(fresh));
    block = blocks_.back().get();
  }
  const size_t at = block->size();
  std::memcpy(block->mutable_data() + at, v.data(), v.size());
  block->set_size(at + v.size());
  *buffer_index = static_cast<int32_t>(blocks_.size() - 1);
  *offset = static_cast<int32_t>(at);
  if (dedup_) {
    stored_.emplace(std::string_view(reinterpret_cast<const char*>(block->data()) + at, v.size()),
                    std::make_pair(*buffer_index, *offset));
  }
  return Ok{};
}

Status StringViewBuilder::append(std::string_view v) {
  if (v.size() > static_cast<size_t>(INT32_MAX))
    return Error::invalid("a string of " + std::to_string(v.size()) +
                          " bytes does not fit in a string view");
  if (length_ == capacity_) ARROW_TRY(grow(length_ + 1));
  View view;
  std::memset(&view, 0, sizeof view);
  view.length = static_cast<int32_t>(v.size());
  if (v.size() <= static_cast<size_t>(kMaxInlineView)) {
    if (!v.empty()) std::memcpy(view.inlined, v.data(), v.size());
  } else {
    std::memcpy(view.ref.prefix, v.data(), 4);
    ARROW_TRY(store_long(v, &view.ref.buffer_index, &view.ref.offset));
  }
  std::memcpy(views_->mutable_data() + length_ * sizeof(View), &view, sizeof view);
  ++length_;
  return Ok{};
}

Result<ArrayRef> StringViewBuilder::finish() {
  if (!views_) ARROW_TRY(grow(0));
  auto a = std::make_shared<ArrayData>();
  a->type = TypeId::Utf8View;
  a->length = static_cast<int64_t>(length_);
  views_->set_size(length_ * sizeof(View));
  views_->zero_padding();
  a->buffers.reserve(2 + blocks_.size());
  a->buffers.push_back(nullptr);
  a->buffers.push_back(std::move(views_));
  for (BufferPtr& b : blocks_) {
    b->zero_padding();
    a->buffers.push_back(std::move(b));
  }
  const bool dedup = dedup_;
  *this = StringViewBuilder(dedup);
  return ArrayRef(std::move(a));
}

}  // namespace korvel::arrow
