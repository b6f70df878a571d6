// Array: a growable array of plain records, and the helpers for the large
// blocks that the chain build fills and then probes at random.
//
// An Array owns `data`; realloc may move it.  A failed allocation comes back
// as false, never as an exception, and leaves the array as it was.
#ifndef CHATTERLOOM_ARRAY_H
#define CHATTERLOOM_ARRAY_H

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

template <class T>
struct Array {
  T *data = nullptr;
  size_t size = 0;  // elements in use
  size_t cap = 0;   // elements the block holds
};

// Makes room for at least `want` elements in all; false if memory ran out.
template <class T>
bool reserve(Array<T> *a, size_t want) {
  if (want <= a->cap) return true;
  size_t cap = a->cap ? a->cap : 16;
  while (cap < want) cap *= 2;
  if (cap > SIZE_MAX / sizeof(T)) return false;
  void *p = std::realloc(a->data, cap * sizeof(T));
  if (!p) return false;
  a->data = static_cast<T *>(p);
  a->cap = cap;
  return true;
}

// Appends `v`; false if memory ran out (the array is then unchanged).
template <class T>
inline bool push(Array<T> *a, const T &v) {
  if (a->size == a->cap && !reserve(a, a->size + 1)) return false;
  a->data[a->size++] = v;
  return true;
}

// Frees the array's block and leaves it empty.
template <class T>
void release(Array<T> *a) {
  std::free(a->data);
  *a = Array<T>();
}

// Blocks at least this large are worth asking huge pages for.
constexpr size_t LARGE_BLOCK = size_t{4} << 20;

// Asks for the `bytes` at `p`, about to be filled and then probed at random,
// to be backed by huge pages and mapped at once: one fault and one address
// translation per 2 MiB instead of 512.  Advice only: where the system
// declines it, small pages are faulted in as they are touched.
inline void advise_random_access(void *p, size_t bytes) {
  if (bytes < LARGE_BLOCK) return;
  constexpr uintptr_t HUGE_PAGE = uintptr_t{2} << 20, PAGE = 4096;
  uintptr_t at = reinterpret_cast<uintptr_t>(p), end = at + bytes;
  uintptr_t b = (at + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1), e = end & ~(HUGE_PAGE - 1);
  if (e > b) madvise(reinterpret_cast<void *>(b), e - b, MADV_HUGEPAGE);
  b = at & ~(PAGE - 1);
  madvise(reinterpret_cast<void *>(b), end - b, MADV_POPULATE_WRITE);
}

// Makes `a` hold `n` copies of `value`, in a block of at least `bytes`
// whose part past them is left untouched for a later owner; false if
// memory ran out.
template <class T>
bool make_filled(Array<T> *a, size_t n, T value, size_t bytes = 0) {
  release(a);
  if (n > SIZE_MAX / sizeof(T)) return false;
  bytes = std::max(bytes, n * sizeof(T));
  void *p = std::malloc(bytes ? bytes : 1);
  if (!p) return false;
  *a = Array<T>{static_cast<T *>(p), n, bytes / sizeof(T)};
  advise_random_access(p, n * sizeof(T));
  std::fill(a->data, a->data + n, value);
  return true;
}

#endif
