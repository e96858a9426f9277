#include "memory/alloc.hpp"

#include <mimalloc.h>

namespace korvel {

void* alloc_aligned(size_t size, size_t alignment) noexcept {
  return mi_malloc_aligned(size ? size : 1, alignment);
}

void* realloc_aligned(void* p, size_t new_size, size_t alignment) noexcept {
  return mi_realloc_aligned(p, new_size ? new_size : 1, alignment);
}

void* alloc_zeroed_aligned(size_t size, size_t alignment) noexcept {
  return mi_zalloc_aligned(size ? size : 1, alignment);
}

void free_aligned(void* p) noexcept {
  mi_free(p);
}

}  // namespace korvel
