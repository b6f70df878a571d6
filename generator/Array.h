// Array: a growable array of plain records; growing may move `data`.  A failed allocation returns
// false, leaving the array as it was; large blocks are held on the memory account (Budget.h).
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

// Blocks.  One of LARGE_BLOCK bytes or more (by capacity alone) is mapped on its own, 2 MiB
// aligned, on huge pages where the system grants them, and grows by mremap without a copy: each
// fresh page costs a fault, on a virtual machine more than the work, so one fault per 2 MiB instead
// of 512 matters.  A smaller block is the heap's.

constexpr size_t LARGE_BLOCK = size_t{512} << 10;
constexpr size_t HUGE_PAGE = size_t{2} << 20;

// The bytes mapped for a large block of `bytes`.
inline size_t mapped_bytes(size_t bytes) {
  return (bytes + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
}

// Advises the block at `p` of `bytes` mapped, `used` of them asked for, onto huge pages if `huge`,
// but the part past its last whole huge page of `used` onto small ones: a huge page there, touched,
// would be held whole for the few bytes the block uses of it.
inline void advise_block(void *p, size_t bytes, size_t used, bool huge) {
  size_t whole = huge ? std::min(used & ~(HUGE_PAGE - 1), bytes) : 0;
  if (whole > 0) madvise(p, whole, MADV_HUGEPAGE);
  if (whole < bytes) madvise(static_cast<char *>(p) + whole, bytes - whole, MADV_NOHUGEPAGE);
}

// Maps `bytes` (a multiple of HUGE_PAGE) zeroed on a huge-page boundary, advised as advise_block
// does (the system may give huge pages unasked); null if it cannot.
inline void *map_block(size_t bytes, size_t used, bool huge) {
  void *p =
      mmap(nullptr, bytes + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  uintptr_t at = reinterpret_cast<uintptr_t>(p), aligned = mapped_bytes(at);
  if (aligned > at) munmap(p, aligned - at);
  munmap(reinterpret_cast<void *>(aligned + bytes), at + HUGE_PAGE - aligned);
  advise_block(reinterpret_cast<void *>(aligned), bytes, used, huge);
  return reinterpret_cast<void *>(aligned);
}

// Gives `a` room for exactly `cap` elements (a large block rounds up to whole huge pages, on huge
// pages if `huge`, up to the `sure` bytes known to be used), keeping its elements; false if memory
// ran out, leaving `a` unchanged.
template <class T>
bool set_capacity(Array<T> *a, size_t cap, bool huge = true, size_t sure = SIZE_MAX) {
  if (cap > SIZE_MAX / sizeof(T) - HUGE_PAGE) return false;
  size_t old = a->cap * sizeof(T), bytes = cap * sizeof(T), used = std::min(bytes, sure);
  // What the account holds for the block, before and after.
  size_t was = old >= LARGE_BLOCK ? mapped_bytes(old) : 0;
  size_t now = bytes >= LARGE_BLOCK ? mapped_bytes(bytes) : 0;
  void *p;
  if (now > was && !take_memory(now - was)) return false;
  if (bytes >= LARGE_BLOCK && old >= LARGE_BLOCK) {
    // advise_block may have split the block into two mappings: one shrinks by unmapping its end,
    // but mremap grows or moves one mapping only, so a split block grows by a copy.
    if (now <= was) {
      if (now < was) munmap(reinterpret_cast<char *>(a->data) + now, was - now);
      p = a->data;
    } else if ((p = mremap(a->data, was, now, MREMAP_MAYMOVE)) == MAP_FAILED) {
      p = map_block(now, used, huge);
      if (p) {
        std::copy(a->data, a->data + a->size, static_cast<T *>(p));
        munmap(a->data, was);
      }
    }
    if (p) advise_block(p, now, used, huge);
  } else if (bytes >= LARGE_BLOCK || old >= LARGE_BLOCK) {
    p = bytes >= LARGE_BLOCK ? map_block(now, used, huge) : std::malloc(bytes ? bytes : 1);
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

// A growing array leaps from SMALL_BLOCK bytes to a large block: the heap's blocks in between would
// be fresh small pages, each faulted in on its own.
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

// A block grown while under GROWN_ON_SMALL keeps what it grows by on small pages: the array may
// fill only part of it, and a huge page at its end would be held whole.  Past that size one huge
// page matters less than the faults of small ones.
constexpr size_t GROWN_ON_SMALL = size_t{16} << 20;

// The bytes of `a` sure to be used as it grows to hold `want`: those it holds or `want`'s, while
// under GROWN_ON_SMALL; past it, all.
template <class T>
size_t sure_bytes(const Array<T> *a, size_t want) {
  size_t sure = std::max(a->cap, want) * sizeof(T);
  return sure < GROWN_ON_SMALL ? sure : SIZE_MAX;
}

// Makes room for at least `want` elements in all; false if memory ran out.
template <class T>
bool reserve(Array<T> *a, size_t want) {
  return want <= a->cap || set_capacity(a, grown<T>(a->cap, want), true, sure_bytes(a, want));
}

// As reserve, for an array that often ends a fraction of a huge page: while one huge page would
// hold it, it stays on small pages, since a huge page once touched is held whole.
template <class T>
bool reserve_sparse(Array<T> *a, size_t want) {
  if (want <= a->cap) return true;
  size_t cap = grown<T>(a->cap, want);
  return set_capacity(a, cap, cap * sizeof(T) > HUGE_PAGE);
}

// Appends `v`; false if memory ran out.
template <class T>
inline bool push(Array<T> *a, const T &v) {
  if (a->size == a->cap && !reserve(a, a->size + 1)) return false;
  a->data[a->size++] = v;
  return true;
}

// Frees the array's block.
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

// Gives back a large block's pages past its elements and `slack` bytes, keeping the block (one
// grown by doubling may be half empty): the huge page split there frees its unused part where the
// system will, and each page kept of it then takes a TLB entry of its own.
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

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // since Linux 5.14; an older system refuses it, and writers fault
#endif

// Pages a growing array faults in ahead of its writer at a time, in one call: a fault a page costs
// more than the zeroing on a virtual machine.
constexpr size_t TOUCHED_AHEAD = size_t{256} << 10;

// Faults in the pages of the large block of `a` from its size to TOUCHED_AHEAD bytes past it;
// returns the size up to which they are in.  Where the system cannot, the writer faults them.
template <class T>
size_t touch_ahead(const Array<T> *a) {
  size_t end = std::min(a->cap, a->size + TOUCHED_AHEAD / sizeof(T));
  if (a->cap * sizeof(T) < LARGE_BLOCK) return end;
  auto from = reinterpret_cast<uintptr_t>(a->data + a->size) & ~(SMALL_PAGE - 1);
  auto to = reinterpret_cast<uintptr_t>(a->data + end);
  if (from < to) madvise(reinterpret_cast<void *>(from), to - from, MADV_POPULATE_WRITE);
  return end;
}

// Makes `a` empty with room for `n` elements; false if memory ran out.  Its pages are left for
// their first writer to fault in, so a block every worker fills is faulted in on every core.
template <class T>
bool make_block(Array<T> *a, size_t n) {
  release(a);
  return set_capacity(a, n);
}

// As make_block, for at least `n`, but keeps a block already large enough: its pages serve again.
template <class T>
bool fit_block(Array<T> *a, size_t n) {
  a->size = 0;
  return n <= a->cap || make_block(a, n);
}

// Moves the block of `from` to the empty `to`, an array of another record, if it has room for `n`
// of them (its faulted-in pages serve again); false, with nothing moved, if not.
template <class T, class U>
bool move_block(Array<T> *to, Array<U> *from, size_t n) {
  static_assert(alignof(T) <= 16, "a block is aligned for any record");
  size_t cap = from->cap * sizeof(U) / sizeof(T);
  if (to->cap != 0 || cap < n) return false;
  *to = Array<T>{reinterpret_cast<T *>(from->data), 0, cap};
  *from = Array<U>();
  return true;
}

// Joins *parts[0, count) in order into the empty `out` by moving pages: each block is remapped at
// the huge page boundary at or below where its first element goes, its elements moved up past the
// previous part's sharing that page, so only pages where two parts meet are touched.  False if
// memory ran out, with every element in its part or in `out`, so releasing all frees all.
template <class T>
bool join_blocks(Array<T> *const parts[], size_t count, Array<T> *out) {
  constexpr size_t per_page = HUGE_PAGE / sizeof(T);
  static_assert(HUGE_PAGE % sizeof(T) == 0, "a huge page holds whole elements");
  size_t total = 0;
  for (size_t i = 0; i < count; i++) {
    assert(parts[i]->size > 0 && parts[i]->cap * sizeof(T) >= LARGE_BLOCK);
    // Room for its elements moved up and no more, so the block ends with the huge page the next
    // part's replaces; not yet in place, it may move.
    size_t cap = std::max(parts[i]->size + total % per_page, LARGE_BLOCK / sizeof(T));
    if (!set_capacity(parts[i], cap)) return false;
    total += parts[i]->size;
  }
  size_t joined = mapped_bytes(total * sizeof(T));
  if (!take_memory(joined)) return false;
  void *dest = map_block(joined, total * sizeof(T), true);
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
    // A block split in two mappings (advise_block) cannot be moved whole: it is copied.
    void *at = mremap(p->data, bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, out->data + base);
    if (at == MAP_FAILED) {
      std::memcpy(out->data + base, p->data, (shift + p->size) * sizeof(T));
      munmap(p->data, bytes);
    }
    give_memory(bytes);  // its pages took the place of the joined block's
    out->size += p->size;
    *p = Array<T>();
  }
  return true;
}

// Makes `a` hold `n` copies of `value`, keeping its block if large enough (a worker remakes its
// arrays each partition; freed to the heap, pages would fault in again); false if memory ran out.
template <class T>
bool make_filled(Array<T> *a, size_t n, T value) {
  if (!fit_block(a, n)) return false;
  std::fill(a->data, a->data + n, value);
  a->size = n;
  return true;
}

#endif
