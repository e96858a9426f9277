// operator new and delete of this binary, on mimalloc. Linked into the module (and the test
// and benchmark executables) directly; with libstdc++ linked statically and only the module's
// init function exported, these definitions serve the module's code alone.
#include <mimalloc.h>

#include <cstddef>
#include <new>

namespace {
[[noreturn]] void out_of_memory() {
  throw std::bad_alloc();
}

void* checked(void* p) {
  if (!p) out_of_memory();
  return p;
}
}  // namespace

void* operator new(std::size_t n) {
  return checked(mi_new_n(1, n ? n : 1));
}
void* operator new[](std::size_t n) {
  return checked(mi_new_n(1, n ? n : 1));
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return mi_malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return mi_malloc(n ? n : 1);
}
void* operator new(std::size_t n, std::align_val_t a) {
  return checked(mi_malloc_aligned(n ? n : 1, static_cast<std::size_t>(a)));
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return checked(mi_malloc_aligned(n ? n : 1, static_cast<std::size_t>(a)));
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return mi_malloc_aligned(n ? n : 1, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return mi_malloc_aligned(n ? n : 1, static_cast<std::size_t>(a));
}

void operator delete(void* p) noexcept {
  mi_free(p);
}
void operator delete[](void* p) noexcept {
  mi_free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  mi_free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  mi_free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  mi_free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  mi_free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  mi_free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  mi_free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  mi_free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  mi_free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  mi_free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  mi_free(p);
}
