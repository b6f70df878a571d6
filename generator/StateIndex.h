// StateIndex: finds, while the chain is built, where a prefix was first met.
//
// An open-addressed table of PrefixSlot, linear probing, a power of two in
// size.  A slot names a prefix by the position of its first meeting in the
// text, so the index holds no words of its own: a probe whose tag matches
// compares the k word ids there with the key's.
//
//   slots[tag & mask] ... PrefixSlot{first, tag}; first == NONE: empty
//
// It is build scratch: the chain keeps none of it.
#ifndef CHATTERLOOM_STATE_INDEX_H
#define CHATTERLOOM_STATE_INDEX_H

#include <cstdint>
#include <cstring>

#include "Markov.h"

struct PrefixSlot {
  uint32_t first;  // the position where the prefix was first met
  uint32_t tag;    // hash_tag of its prefix hash
};

struct StateIndex {
  const uint32_t *ids;  // the text's word ids, which slots point into
  uint32_t k;           // words per prefix
  Array<PrefixSlot> slots;
  size_t mask;  // slots.size - 1
};

// Makes `x` an empty index of `slots` slots (a power of two) over the text
// `ids`, in a block of at least `bytes` whose part past the slots is left
// untouched for a later owner; false if memory ran out.
bool make_index(StateIndex *x, const uint32_t *ids, uint32_t k, size_t slots, size_t bytes);

// Doubles the index, re-filing every slot by its tag; false if memory ran out.
bool grow_index(StateIndex *x);

// True when the k word ids at a and b are equal; short prefixes are the
// common case, so they are compared inline.
inline bool same_ids(const uint32_t *a, const uint32_t *b, uint32_t k) {
  if (k > 4) return std::memcmp(a, b, size_t{k} * sizeof *a) == 0;
  for (uint32_t j = 0; j < k; j++)
    if (a[j] != b[j]) return false;
  return true;
}

// Returns the position where the prefix equal to the k ids at `key`, whose
// hash has the tag `tag`, was first met, or NONE if it was not.
inline uint32_t find_state(const StateIndex *x, const uint32_t *key, uint32_t tag) {
  for (size_t pos = tag & x->mask;; pos = (pos + 1) & x->mask) {
    PrefixSlot slot = x->slots.data[pos];
    if (slot.first == NONE) return NONE;
    if (slot.tag == tag && same_ids(x->ids + slot.first, key, x->k)) return slot.first;
  }
}

// Linear probing stays short up to three quarters full, and tags make a
// probe cheap; a fuller table costs far less memory on large texts.
inline bool index_full(size_t prefixes, size_t slots) {
  return prefixes * 4 > slots * 3;
}

// Files the prefix first met at position `first` under `tag`, growing the
// index first if it would hold more than it should with `count` prefixes;
// false if memory ran out.
inline bool add_state(StateIndex *x, uint32_t first, uint32_t tag, size_t count) {
  if (index_full(count, x->slots.size) && !grow_index(x)) return false;
  size_t pos = tag & x->mask;
  while (x->slots.data[pos].first != NONE) pos = (pos + 1) & x->mask;
  x->slots.data[pos] = PrefixSlot{first, tag};
  return true;
}

#endif
