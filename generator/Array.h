// Array: a growable array of plain records, in a block that suits its size.
//
// An Array owns `data`, which growing may move.  A failed allocation comes back
// as false, never as an exception, and leaves the array as it was.  Large
// blocks are held on the memory account (Budget.h), which may refuse one.
#ifndef CHATTERLOOM_ARRAY_H
#define CHATTERLOOM_ARRAY_H

#include <sys/mman.h>

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Budget.h"

template <class T>
struct Array {
  T *data = nullptr;
  size_t size = 0;  // elements in use
  size_t cap = 0;   // elements the block holds
};

// ---------------------------------------------------------------------------
// Blocks.  A block of LARGE_BLOCK bytes or more is mapped on its own, 2 MiB
// aligned and backed by huge pages where the system grants them: touching
// fresh memory costs a fault per page, and on a virtual machine the faults
// cost more than the work, so one fault per 2 MiB instead of 512 matters.
// It grows with mremap, without a copy.  A smaller block is the heap's.
// Which it is follows from the capacity alone.  An array that often ends
// a fraction of a huge page may keep its first one on small pages
// (reserve_sparse), and one that is done growing may give back the unused
// tail of its last (trim_block).

constexpr size_t LARGE_BLOCK = size_t{512} << 10;
constexpr size_t HUGE_PAGE = size_t{2} << 20;

// The bytes mapped for a large block of `bytes`.
inline size_t mapped_bytes(size_t bytes) {
  return (bytes + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
}

// Maps `bytes` (a multiple of HUGE_PAGE) of zeroed memory on a huge-page
// boundary, advised to be backed by huge pages if `huge` and by small ones
// if not (where the system would give huge pages unasked); null if it
// cannot.
inline void *map_block(size_t bytes, bool huge) {
  void *p =
      mmap(nullptr, bytes + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  uintptr_t at = reinterpret_cast<uintptr_t>(p), aligned = mapped_bytes(at);
  if (aligned > at) munmap(p, aligned - at);
  munmap(reinterpret_cast<void *>(aligned + bytes), at + HUGE_PAGE - aligned);
  madvise(reinterpret_cast<void *>(aligned), bytes, huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
  return reinterpret_cast<void *>(aligned);
}

// Gives `a` room for exactly `cap` elements (rounded up to whole huge pages
// for a large block, backed by huge pages if `huge`), keeping its elements;
// false if memory ran out, when `a` is unchanged.
template <class T>
bool set_capacity(Array<T> *a, size_t cap, bool huge = true) {
  if (cap > SIZE_MAX / sizeof(T) - HUGE_PAGE) return false;
  size_t old = a->cap * sizeof(T), bytes = cap * sizeof(T);
  // What the account holds for the block, before and after.
  size_t was = old >= LARGE_BLOCK ? mapped_bytes(old) : 0;
  size_t now = bytes >= LARGE_BLOCK ? mapped_bytes(bytes) : 0;
  void *p;
  if (now > was && !take_memory(now - was)) return false;
  if (bytes >= LARGE_BLOCK && old >= LARGE_BLOCK) {
    p = mremap(a->data, was, now, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) p = nullptr;
    if (p && huge) madvise(p, now, MADV_HUGEPAGE);
  } else if (bytes >= LARGE_BLOCK || old >= LARGE_BLOCK) {
    p = bytes >= LARGE_BLOCK ? map_block(now, huge) : std::malloc(bytes ? bytes : 1);
    if (p) {
      std::copy(a->data, a->data + std::min(a->size, cap), static_cast<T *>(p));
      if (old >= LARGE_BLOCK)
        munmap(a->data, was);
      else
        std::free(a->data);
    }
  } else {
    p = std::realloc(a->data, bytes ? bytes : 1);
  }
  if (!p) {
    if (now > was) give_memory(now - was);
    return false;
  }
  if (was > now) give_memory(was - now);
  a->data = static_cast<T *>(p);
  a->cap = bytes >= LARGE_BLOCK ? now / sizeof(T) : cap;
  a->size = std::min(a->size, cap);
  return true;
}

// The bytes the memory account holds for the block of `a`.
template <class T>
size_t held_bytes(const Array<T> *a) {
  size_t bytes = a->cap * sizeof(T);
  return bytes >= LARGE_BLOCK ? mapped_bytes(bytes) : 0;
}

// A growing array leaps from SMALL_BLOCK bytes to a large block: the heap's
// blocks in between would be fresh small pages, each faulted in on its own.
constexpr size_t SMALL_BLOCK = size_t{64} << 10;

// The capacity an array of `cap` elements grows to, doubling, to hold `want`.
template <class T>
size_t grown(size_t cap, size_t want) {
  cap = std::max<size_t>(cap, 16);
  while (cap < want) cap = cap > SIZE_MAX / 2 ? SIZE_MAX : cap * 2;
  size_t bytes = cap > SIZE_MAX / sizeof(T) ? SIZE_MAX : cap * sizeof(T);
  return bytes > SMALL_BLOCK && bytes < LARGE_BLOCK ? (LARGE_BLOCK + sizeof(T) - 1) / sizeof(T)
                                                    : cap;
}

// Makes room for at least `want` elements in all; false if memory ran out.
template <class T>
bool reserve(Array<T> *a, size_t want) {
  return want <= a->cap || set_capacity(a, grown<T>(a->cap, want));
}

// Makes room for at least `want` elements, as reserve does, for an array
// that often ends a fraction of a huge page: while one huge page holds it,
// it is left to small pages, since a huge page once touched is held whole.
template <class T>
bool reserve_sparse(Array<T> *a, size_t want) {
  if (want <= a->cap) return true;
  size_t cap = grown<T>(a->cap, want);
  return set_capacity(a, cap, cap * sizeof(T) > HUGE_PAGE);
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
  size_t bytes = a->cap * sizeof(T);
  if (bytes >= LARGE_BLOCK) {
    munmap(a->data, mapped_bytes(bytes));
    give_memory(mapped_bytes(bytes));
  } else {
    std::free(a->data);
  }
  *a = Array<T>();
}

// The size of a small page, the least that memory is given back in.
constexpr size_t SMALL_PAGE = 4096;

// Gives back the pages of a large block past its elements and `slack`
// bytes more, keeping the block: the huge page they end in is split, and
// its unused part freed (or kept, if the system will not).  A block grown
// by doubling may be half empty.  Each page kept of the split huge page
// then takes a TLB entry of its own.
template <class T>
void trim_block(const Array<T> *a, size_t slack) {
  size_t bytes = a->cap * sizeof(T), keep = a->size * sizeof(T) + slack;
  keep = (keep + SMALL_PAGE - 1) & ~(SMALL_PAGE - 1);
  if (bytes >= LARGE_BLOCK && keep < mapped_bytes(bytes))
    madvise(reinterpret_cast<char *>(a->data) + keep, mapped_bytes(bytes) - keep, MADV_DONTNEED);
}

// Gives a block back down to what its elements need.
template <class T>
void shrink_to_fit(Array<T> *a) {
  if (a->size < a->cap) set_capacity(a, a->size);
}

// Makes `a` an empty array with room for `n` elements; false if memory
// ran out.  Its pages are left to be faulted in by whoever writes them
// first, so that a block filled by every worker is faulted in on every
// core.
template <class T>
bool make_block(Array<T> *a, size_t n) {
  release(a);
  return set_capacity(a, n);
}

// Makes `a` empty with room for at least `n` elements, keeping its block
// where it is large enough: pages already faulted in serve again.
template <class T>
bool fit_block(Array<T> *a, size_t n) {
  a->size = 0;
  return n <= a->cap || make_block(a, n);
}

// Moves the block of `from` to the empty `to`, an array of another record,
// if it has room for `n` of them: pages already faulted in serve again.
// False, with nothing moved, if it has not.
template <class T, class U>
bool move_block(Array<T> *to, Array<U> *from, size_t n) {
  static_assert(alignof(T) <= 16, "a block is aligned for any record");
  size_t cap = from->cap * sizeof(U) / sizeof(T);
  if (to->cap != 0 || cap < n) return false;
  *to = Array<T>{reinterpret_cast<T *>(from->data), 0, cap};
  *from = Array<U>();
  return true;
}

// Joins the elements of *parts[0, count), each a large block holding at
// least one, in order, into the empty `out`, moving pages instead of
// copying elements, so that the only pages touched are where two parts
// meet.  Each part's block is mapped at the huge page boundary at or below
// where its first element goes, and its elements moved up in place past
// the previous part's that share its first huge page.  The parts are left
// empty.  False if memory ran out: then every element is in its part or in
// `out`, and releasing all frees all.
template <class T>
bool join_blocks(Array<T> *const parts[], size_t count, Array<T> *out) {
  constexpr size_t per_page = HUGE_PAGE / sizeof(T);
  static_assert(HUGE_PAGE % sizeof(T) == 0, "a huge page holds whole elements");
  size_t total = 0;
  for (size_t i = 0; i < count; i++) {
    assert(parts[i]->size > 0 && parts[i]->cap * sizeof(T) >= LARGE_BLOCK);
    // Room for its elements moved up, and no more: the block then ends with
    // the huge page that the next part's replaces.  Not yet in place, it
    // may move.
    size_t cap = std::max(parts[i]->size + total % per_page, LARGE_BLOCK / sizeof(T));
    if (!set_capacity(parts[i], cap)) return false;
    total += parts[i]->size;
  }
  size_t joined = mapped_bytes(total * sizeof(T));
  if (!take_memory(joined)) return false;
  void *dest = map_block(joined, true);
  if (!dest) {
    give_memory(joined);
    return false;
  }
  *out = Array<T>{static_cast<T *>(dest), 0, joined / sizeof(T)};
  for (size_t i = 0; i < count; i++) {
    Array<T> *p = parts[i];
    size_t shift = out->size % per_page, base = out->size - shift;
    std::memmove(p->data + shift, p->data, p->size * sizeof(T));
    std::copy(out->data + base, out->data + out->size, p->data);
    size_t bytes = p->cap * sizeof(T);
    void *at = mremap(p->data, bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, out->data + base);
    if (at == MAP_FAILED) return false;
    give_memory(bytes);  // its pages took the place of the joined block's
    out->size += p->size;
    *p = Array<T>();
  }
  return true;
}

// Makes `a` hold `n` copies of `value`, in its own block where that is
// large enough: a worker remakes its arrays for every partition, and a
// thread's heap gives freed pages back, to be faulted in again.  False if
// memory ran out.
template <class T>
bool make_filled(Array<T> *a, size_t n, T value) {
  if (!fit_block(a, n)) return false;
  std::fill(a->data, a->data + n, value);
  a->size = n;
  return true;
}

#endif
