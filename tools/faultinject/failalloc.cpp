// Fault injection by LD_PRELOAD: once armed with N, the N-th allocation fails, whether
// C++ (operator new throws std::bad_alloc, or returns null where it may not throw) or,
// when the Python allocators are hooked too, Python's (the allocator returns null).
// Only that one allocation fails; the ones after it succeed, so that what a failure
// leaves behind can be checked with a working interpreter.
//
//   quarvel_failalloc_arm(n)        start counting; the n-th allocation fails
//   quarvel_failalloc_disarm()      stop; returns the number of allocations counted
//   quarvel_failalloc_failed()      whether the n-th allocation was reached
//   quarvel_failalloc_hook_python() route Python's allocators through the counter
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> g_target{0};  // 0: disarmed
std::atomic<long> g_seen{0};
std::atomic<bool> g_failed{false};

bool should_fail() noexcept {
  const long target = g_target.load(std::memory_order_relaxed);
  if (target <= 0) return false;
  if (g_seen.fetch_add(1, std::memory_order_relaxed) + 1 != target) return false;
  g_failed.store(true, std::memory_order_relaxed);
  return true;
}

void* allocate(std::size_t size) {
  if (should_fail()) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

void* allocate_aligned(std::size_t size, std::align_val_t align) {
  if (should_fail()) throw std::bad_alloc();
  const auto a = static_cast<std::size_t>(align);
  const std::size_t rounded = (size + a - 1) / a * a;
  if (void* p = std::aligned_alloc(a, rounded ? rounded : a)) return p;
  throw std::bad_alloc();
}

// ---- Python's allocators, wrapped ----

PyMemAllocatorEx g_original[3];

template <int Domain>
void* py_malloc(void* ctx, size_t size) {
  if (should_fail()) return nullptr;
  return g_original[Domain].malloc(ctx, size);
}
template <int Domain>
void* py_calloc(void* ctx, size_t n, size_t size) {
  if (should_fail()) return nullptr;
  return g_original[Domain].calloc(ctx, n, size);
}
template <int Domain>
void* py_realloc(void* ctx, void* p, size_t size) {
  if (should_fail()) return nullptr;
  return g_original[Domain].realloc(ctx, p, size);
}
template <int Domain>
void py_free(void* ctx, void* p) {
  g_original[Domain].free(ctx, p);
}

template <int Domain>
void hook(PyMemAllocatorDomain domain) {
  PyMem_GetAllocator(domain, &g_original[Domain]);
  PyMemAllocatorEx wrapped = {g_original[Domain].ctx, py_malloc<Domain>, py_calloc<Domain>, py_realloc<Domain>,
                              py_free<Domain>};
  PyMem_SetAllocator(domain, &wrapped);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void quarvel_failalloc_arm(long n) {
  g_seen = 0;
  g_failed = false;
  g_target = n;
}

__attribute__((visibility("default"))) long quarvel_failalloc_disarm() {
  g_target = 0;
  return g_seen;
}

__attribute__((visibility("default"))) int quarvel_failalloc_failed() { return g_failed ? 1 : 0; }

// Call once, with the interpreter lock held and before any arming.
__attribute__((visibility("default"))) void quarvel_failalloc_hook_python() {
  hook<0>(PYMEM_DOMAIN_RAW);
  hook<1>(PYMEM_DOMAIN_MEM);
  hook<2>(PYMEM_DOMAIN_OBJ);
}

}  // extern "C"

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t align) { return allocate_aligned(size, align); }
void* operator new[](std::size_t size, std::align_val_t align) { return allocate_aligned(size, align); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
