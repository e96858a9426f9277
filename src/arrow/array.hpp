// An Arrow array in memory: type, length, nulls, buffers in the C Data Interface order, children.
// Arrays we build and arrays imported from another producer share this form; an imported
// array's buffers keep the producer's structure alive.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "arrow/buffer.hpp"
#include "arrow/status.hpp"
#include "arrow/types.hpp"

namespace korvel::arrow {

// One 16-byte Utf8View / BinaryView entry.
struct View {
  struct Ref {
    uint8_t prefix[4];
    int32_t buffer_index;
    int32_t offset;
  };
  int32_t length;
  union {
    uint8_t inlined[12];  // length <= 12: the bytes, zero-padded
    Ref ref;              // longer: first bytes, data block and position in it
  };
};
static_assert(sizeof(View) == 16);
inline constexpr int32_t kMaxInlineView = 12;

struct ArrayData {
  DataType type;
  int64_t length = 0;
  int64_t null_count = 0;
  int64_t offset = 0;  // logical start, in elements, inside every buffer
  // C Data Interface order: validity (null when there are no nulls), then the type's buffers.
  // Views: validity, views, data blocks... (the block sizes are derived on export).
  std::vector<std::shared_ptr<const Buffer>> buffers;
  std::vector<std::shared_ptr<const ArrayData>> children;
  // Dictionary-encoded arrays: `type` is the index type, these are the values indexed.
  std::shared_ptr<const ArrayData> dictionary;

  bool is_null(int64_t i) const {
    if (null_count == 0 || buffers.empty() || !buffers[0]) return type.id == TypeId::Null;
    int64_t bit = offset + i;
    return ((buffers[0]->data()[bit >> 3] >> (bit & 7)) & 1) == 0;
  }
  // Fixed-width values, starting at element 0 of this array (offset applied).
  template <typename T>
  const T* values() const {
    return buffers[1]->as<T>() + offset;
  }
  bool bool_value(int64_t i) const {
    int64_t bit = offset + i;
    return (buffers[1]->data()[bit >> 3] >> (bit & 7)) & 1;
  }
  // Bytes of entry i of a Utf8/LargeUtf8/Binary/LargeBinary/view array; empty for a null entry.
  std::string_view binary_value(int64_t i) const;
};

using ArrayRef = std::shared_ptr<const ArrayData>;

inline std::string_view ArrayData::binary_value(int64_t i) const {
  if (is_null(i)) return {};
  switch (type.id) {
    case TypeId::Utf8:
    case TypeId::Binary: {
      const int32_t* o = values<int32_t>();
      return {reinterpret_cast<const char*>(buffers[2]->data()) + o[i],
              static_cast<size_t>(o[i + 1] - o[i])};
    }
    case TypeId::LargeUtf8:
    case TypeId::LargeBinary: {
      const int64_t* o = values<int64_t>();
      return {reinterpret_cast<const char*>(buffers[2]->data()) + o[i],
              static_cast<size_t>(o[i + 1] - o[i])};
    }
    case TypeId::Utf8View:
    case TypeId::BinaryView: {
      const View* v = buffers[1]->as<View>() + offset + i;
      if (v->length <= kMaxInlineView)
        return {reinterpret_cast<const char*>(v->inlined), static_cast<size_t>(v->length)};
      return {
          reinterpret_cast<const char*>(buffers[2 + v->ref.buffer_index]->data()) + v->ref.offset,
          static_cast<size_t>(v->length)};
    }
    default:
      return {};
  }
}

// Counts the zero bits of a validity bitmap in [offset, offset + length).
int64_t count_nulls(const uint8_t* bitmap, int64_t offset, int64_t length);

// A zero-length array of the given type with every buffer the type requires (so it exports);
// Other types get no buffers.
ArrayRef make_empty_array(const DataType& type);

}  // namespace korvel::arrow
