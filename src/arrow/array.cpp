#include "arrow/array.hpp"

#include <bit>

namespace korvel::arrow {

int64_t count_nulls(const uint8_t* bitmap, int64_t offset, int64_t length) {
  int64_t set = 0, i = offset, end = offset + length;
  for (; i < end && (i & 63); ++i) set += (bitmap[i >> 3] >> (i & 7)) & 1;
  for (; i + 64 <= end; i += 64) {
    uint64_t w;
    std::memcpy(&w, bitmap + (i >> 3), 8);
    set += std::popcount(w);
  }
  for (; i < end; ++i) set += (bitmap[i >> 3] >> (i & 7)) & 1;
  return length - set;
}

ArrayRef make_empty_array(const DataType& type) {
  auto a = std::make_shared<ArrayData>();
  a->type = type;
  const TypeId id = type.id;
  if (id == TypeId::Null || id == TypeId::Other) return a;
  a->buffers.push_back(nullptr);
  if (is_view(id)) {
    a->buffers.push_back(Buffer::zeros());
  } else if (is_binary_like(id)) {
    a->buffers.push_back(Buffer::zeros());  // one offset, 0
    a->buffers.push_back(Buffer::zeros());
  } else {
    a->buffers.push_back(Buffer::zeros());
  }
  return a;
}

}  // namespace korvel::arrow
