// The chain build: from the word ids of a text to its states and suffixes.
//
// Two passes over the positions.  The first gives each position the state
// of the prefix starting there, through a StateIndex sized once from an
// estimate of the distinct prefixes; a state is made at its prefix's first
// position, so states come out in creation order.  The second deals each
// position's (word, next state) to its state's group by a counting sort
// and merges equal words within a group.
#include <algorithm>
#include <cmath>

#include "Hash.h"
#include "Markov.h"
#include "StateIndex.h"

namespace {

// How many positions ahead the passes prefetch what they will probe.
constexpr size_t AHEAD = 16;

// The index's block is taken over, once the states are known, by the
// suffixes (one per position at most) and past them the p + 1 group starts,
// so its pages, mapped once, serve twice.
static_assert(sizeof(Suffix) == 3 * sizeof(uint32_t) && alignof(Suffix) == alignof(uint32_t),
              "group starts follow the suffixes in one block");
inline size_t shared_block_bytes(size_t p) {
  return p * sizeof(Suffix) + (p + 1) * sizeof(uint32_t);
}
inline uint32_t *group_starts(Suffix *block, size_t p) {
  return reinterpret_cast<uint32_t *>(block + p);
}

// Appends a state first met at position `prefix_at`; returns it, or NONE if
// memory ran out.
inline uint32_t new_state(StateTable *t, uint32_t prefix_at) {
  if (t->states.size >= NONE - 1 || !push(&t->states, State{prefix_at, 0})) return NONE;
  return static_cast<uint32_t>(t->states.size - 1);
}

// Writes the tag of the prefix at each position q <= p to tags[q], and
// returns how many distinct prefixes may start before p: for a long text an
// estimate to a few percent, from a HyperLogLog sketch of their hashes; for
// a short one, where the sketch would cost more than it saves, p itself.
size_t tag_prefixes(const uint32_t *ids, size_t p, size_t k, uint32_t *tags) {
  constexpr int SKETCH_BITS = 12;
  constexpr size_t REGISTERS = size_t{1} << SKETCH_BITS;
  unsigned char rank[REGISTERS] = {};
  bool sketch = p > 16 * REGISTERS;
  uint64_t oldest = powmod(BASE, k - 1), h = prefix_hash(ids, k);
  for (size_t q = 0;; q++) {
    tags[q] = hash_tag(h);
    if (q == p) break;
    if (sketch) {
      // The top bits of the 61-bit hash pick a register; the rest give a rank.
      uint64_t rest = (h << (64 - 61 + SKETCH_BITS)) | (uint64_t{1} << (64 - 61 + SKETCH_BITS - 1));
      unsigned char r = static_cast<unsigned char>(__builtin_clzll(rest) + 1);
      unsigned char &reg = rank[h >> (61 - SKETCH_BITS)];
      if (r > reg) reg = r;
    }
    h = roll(h, ids[q], ids[q + k], oldest);
  }
  if (!sketch) return p;
  double sum = 0;
  size_t zeros = 0;
  for (unsigned char r : rank) {
    sum += 1.0 / static_cast<double>(uint64_t{1} << r);
    zeros += r == 0;
  }
  constexpr double M = REGISTERS;
  double e = 0.7213 / (1 + 1.079 / M) * M * M / sum;
  if (e < 2.5 * M && zeros > 0) e = M * std::log(M / static_cast<double>(zeros));
  return std::min(p, static_cast<size_t>(e));
}

// Gives each position q <= p, p = n - k, the state of the prefix starting
// there: a new state at the first q < p with that prefix; st[p], the text's
// last prefix, is NONE unless it also stands earlier.  The index is made in
// a block of `block_bytes`, left in `x` for the suffixes to take over.
bool number_states(const WordList *list, StateTable *t, StateIndex *x, uint32_t *st,
                   size_t block_bytes) {
  const uint32_t *ids = list->ids.data;
  size_t k = t->k, p = list->ids.size - k;
  if (k == 1) {
    // A one-word prefix is its word: a plain array finds its state.
    Array<uint32_t> of_word;
    if (!make_index(x, ids, 1, 0, block_bytes) || !make_filled(&of_word, list->words.size, NONE))
      return false;
    for (size_t q = 0; q < p; q++) {
      uint32_t *s = &of_word.data[ids[q]];
      if (*s == NONE && (*s = new_state(t, static_cast<uint32_t>(q))) == NONE) return false;
      st[q] = *s;
    }
    st[p] = of_word.data[ids[p]];
    release(&of_word);
    return true;
  }
  // The tags go where the states will be; an index sized once for the
  // estimate, with room for its error, is never re-filed (one that fills
  // up grows all the same).
  size_t want = tag_prefixes(ids, p, k, st) * 21 / 20, slots = 1024;
  while (index_full(want, slots)) slots *= 2;
  if (!make_index(x, ids, t->k, slots, block_bytes) || !reserve(&t->states, want)) return false;
  // The index finds where a prefix was first met, and that position's
  // state is the state.  The slot of the position AHEAD on is fetched from
  // memory, and halfway there the prefix and state that slot names, so
  // that none is waited for when its position comes up.
  for (size_t q = 0; q <= p; q++) {
    if (q + AHEAD <= p) __builtin_prefetch(&x->slots.data[st[q + AHEAD] & x->mask]);
    if (q + AHEAD / 2 <= p) {
      uint32_t ahead = st[q + AHEAD / 2];
      PrefixSlot mid = x->slots.data[ahead & x->mask];
      if (mid.tag == ahead && mid.first != NONE) {
        __builtin_prefetch(ids + mid.first);
        __builtin_prefetch(st + mid.first);
      }
    }
    uint32_t tag = st[q], first = find_state(x, ids + q, tag), s = NONE;
    if (first != NONE) {
      assert(first < q && st[first] != NONE);
      s = st[first];
    } else if (q < p) {
      s = new_state(t, static_cast<uint32_t>(q));
      if (s == NONE || !add_state(x, static_cast<uint32_t>(q), tag, t->states.size)) return false;
    }
    st[q] = s;
  }
  return true;
}

// Lists each state's suffixes, newest first with running counts, in
// t->suffixes, whose block also holds the group starts past p suffixes.
// Each position's (word, next state) is first dealt to its state's group,
// in text order within a group; then each group is merged in place, a mark
// per word telling whether the group has met that word yet.
bool collect_suffixes(const WordList *list, StateTable *t, const uint32_t *st) {
  const uint32_t *ids = list->ids.data;
  size_t k = t->k, p = list->ids.size - k, count = t->states.size;
  Array<uint32_t> mark, slot;
  bool ok = make_filled(&mark, list->words.size, NONE) && reserve(&slot, list->words.size);
  if (ok) {
    Suffix *out = t->suffixes.data;
    uint32_t *start = group_starts(out, p);
    std::fill(start, start + count + 1, 0u);
    for (size_t q = 0; q < p; q++) start[st[q] + 1]++;
    for (size_t s = 0; s < count; s++) start[s + 1] += start[s];
    assert(start[count] == p);
    // A position met again deals to anywhere: its group's start is fetched
    // 2 * AHEAD positions ahead, and the slot it points at AHEAD ahead.
    for (size_t q = 0; q < p; q++) {
      if (q + 2 * AHEAD < p) __builtin_prefetch(start + st[q + 2 * AHEAD]);
      if (q + AHEAD < p) __builtin_prefetch(out + start[st[q + AHEAD]]);
      out[start[st[q]]++] = Suffix{ids[q + k], 1, st[q + 1]};
    }
    // The deal moved each start to the next group's; the first starts at 0.
    uint32_t base = 0, from = 0;
    for (uint32_t s = 0; s < count; s++) {
      t->states.data[s].suffixes_at = base;
      assert(start[s] > from);     // a state is made where its prefix has a word after it
      if (start[s] - from == 1) {  // most states of a large text are met once
        out[base++] = out[from++];
        continue;
      }
      uint32_t m = 0;
      for (uint32_t i = from; i < start[s]; i++) {
        uint32_t w = out[i].word;
        if (mark.data[w] != s) {
          mark.data[w] = s;
          slot.data[w] = m;
          assert(base + m <= i);  // merging never overtakes the deal
          out[base + m++] = out[i];
        } else {
          out[base + slot.data[w]].count++;
        }
      }
      std::reverse(out + base, out + base + m);
      for (uint32_t j = 1; j < m; j++) out[base + j].count += out[base + j - 1].count;
      base += m;
      from = start[s];
    }
    t->suffixes.size = base;
  }
  release(&mark);
  release(&slot);
  return ok;
}

}  // namespace

bool make_index(StateIndex *x, const uint32_t *ids, uint32_t k, size_t slots, size_t bytes) {
  assert((slots & (slots - 1)) == 0);
  x->ids = ids;
  x->k = k;
  x->mask = slots - 1;
  return make_filled(&x->slots, slots, PrefixSlot{NONE, 0}, bytes);
}

bool grow_index(StateIndex *x) {
  size_t n = x->slots.size ? x->slots.size * 2 : 1024;
  Array<PrefixSlot> bigger;
  if (!make_filled(&bigger, n, PrefixSlot{NONE, 0})) return false;
  for (size_t i = 0; i < x->slots.size; i++) {
    PrefixSlot s = x->slots.data[i];
    if (s.first == NONE) continue;
    size_t pos = s.tag & (n - 1);
    while (bigger.data[pos].first != NONE) pos = (pos + 1) & (n - 1);
    bigger.data[pos] = s;
  }
  release(&x->slots);
  x->slots = bigger;
  x->mask = n - 1;
  return true;
}

bool build_chain(const WordList *list, uint32_t k, StateTable *t) {
  t->k = k;
  size_t n = list->ids.size;
  if (n <= k) return true;  // no prefix has a word after it
  size_t p = n - k, bytes = shared_block_bytes(p);
  Array<uint32_t> st;
  StateIndex x{};
  bool ok = reserve(&st, p + 1) && number_states(list, t, &x, st.data, bytes);
  // The index is done with; its block becomes the suffixes' (realloc keeps
  // it in place, as it is large enough already).
  void *block = ok ? std::realloc(x.slots.data, bytes) : nullptr;
  if (block) {
    x.slots = Array<PrefixSlot>();
    t->suffixes = Array<Suffix>{static_cast<Suffix *>(block), 0, p};
  }
  release(&x.slots);
  ok = block && collect_suffixes(list, t, st.data);
  release(&st);
  return ok;
}

void release(StateTable *t) {
  release(&t->states);
  release(&t->suffixes);
}
