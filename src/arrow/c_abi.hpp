// The Arrow C Data Interface and C Stream Interface: the stable ABI through which columnar data
// cross to and from other Arrow implementations in the same process. The guards are the
// standard ones, so another copy of these definitions included first takes precedence.
#pragma once

#include <cstdint>
#include <cstring>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  // Array type description
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;

  // Release callback
  void (*release)(struct ArrowSchema*);
  // Opaque producer-specific data
  void* private_data;
};

struct ArrowArray {
  // Array data description
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;

  // Release callback
  void (*release)(struct ArrowArray*);
  // Opaque producer-specific data
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  // Callbacks return 0 on success or an errno-compatible error code.
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  // End of stream: returns 0 and leaves `out` released (out->release == NULL).
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  // Description of the last error; valid until the next call on this stream.
  const char* (*get_last_error)(struct ArrowArrayStream*);

  // Release callback
  void (*release)(struct ArrowArrayStream*);
  // Opaque producer-specific data
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
namespace korvel::arrow {

// Moves a C structure (ArrowSchema, ArrowArray or ArrowArrayStream) as the C interfaces
// prescribe: the destination takes over the producer's callbacks and data, and the source is
// marked released, so that exactly one of the two is ever released.
template <typename CStruct>
void move_c_struct(CStruct* source, CStruct* destination) {
  *destination = *source;
  source->release = nullptr;
}

// Marks a structure released without running a callback (an empty result, such as the end of
// a stream).
template <typename CStruct>
void mark_released(CStruct* c) {
  std::memset(c, 0, sizeof *c);
}

}  // namespace korvel::arrow
#endif
