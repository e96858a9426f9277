#include "memory/alloc.hpp"

#ifdef KORVEL_SYSTEM_ALLOC
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#else
#include <mimalloc.h>
#endif

namespace korvel {

#ifdef KORVEL_SYSTEM_ALLOC
// Sanitizer builds: the system allocator, so that every byte past a buffer's end is caught.

void* alloc_aligned(size_t size, size_t alignment) noexcept {
  void* p = nullptr;
  return posix_memalign(&p, alignment, size ? size : 1) == 0 ? p : nullptr;
}

void* realloc_aligned(void* p, size_t new_size, size_t alignment) noexcept {
  void* q = alloc_aligned(new_size, alignment);
  if (q && p) {
    const size_t old_size = malloc_usable_size(p);
    std::memcpy(q, p, old_size < new_size ? old_size : new_size);
    std::free(p);
  }
  return q;
}

void* alloc_zeroed_aligned(size_t size, size_t alignment) noexcept {
  void* p = alloc_aligned(size, alignment);
  if (p) std::memset(p, 0, size ? size : 1);
  return p;
}

void free_aligned(void* p) noexcept {
  std::free(p);
}

#else

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

#endif

}  // namespace korvel
