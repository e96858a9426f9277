// The module's own memory: every allocation of the library goes to mimalloc, never to the
// host process's malloc, and is freed by mimalloc.
#pragma once

#include <cstddef>

namespace korvel {

// Alignment of Arrow buffers.
inline constexpr size_t kBufferAlignment = 64;

// Zero-size requests return a valid pointer. Returns nullptr when memory is exhausted.
void* alloc_aligned(size_t size, size_t alignment = kBufferAlignment) noexcept;
void* realloc_aligned(void* p, size_t new_size, size_t alignment = kBufferAlignment) noexcept;
void* alloc_zeroed_aligned(size_t size, size_t alignment = kBufferAlignment) noexcept;
void free_aligned(void* p) noexcept;

}  // namespace korvel
