#include "tests/support/allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void* __libc_memalign(std::size_t, std::size_t);
extern "C" void __libc_free(void*);

namespace {
thread_local bool insideDriver = false;
std::atomic<int> driverAllocations{0};
void Count() {
  if (insideDriver) ++driverAllocations;
}
}  // namespace

namespace corvale::testing {
int DriverAllocations() {
  return driverAllocations;
}
void BeginDriverCall() {
  insideDriver = true;
}
void EndDriverCall() {
  insideDriver = false;
}
}  // namespace corvale::testing

extern "C" void* malloc(std::size_t size) {
  Count();
  return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
  Count();
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, std::size_t size) {
  Count();
  return __libc_realloc(pointer, size);
}
extern "C" void* aligned_alloc(std::size_t alignment, std::size_t size) {
  Count();
  return __libc_memalign(alignment, size);
}
extern "C" void free(void* pointer) {
  __libc_free(pointer);
}
void* operator new(std::size_t size) {
  Count();
  if (void* pointer = __libc_malloc(size)) return pointer;
  throw std::bad_alloc();
}
void operator delete(void* pointer) noexcept {
  __libc_free(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
  __libc_free(pointer);
}
