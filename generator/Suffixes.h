// Suffixes: each state's (word, next state) pairs, newest first with
// running counts, gathered from records dealt by ranges of states.
#ifndef CHATTERLOOM_SUFFIXES_H
#define CHATTERLOOM_SUFFIXES_H

#include "Deal.h"

// A partition of the states [first, first + states) is gathered
// from its records (PairRecord) in text order: sorted
// by state, or, where the records are too many to hold twice, counted one
// by one through a table of their pairs, as below.

// Readies `x` for counting a partition of at most `records` records over
// `states` states; false if memory ran out.
bool start_pairs(Scratch *x, size_t records, size_t states);

// Counts one record: each distinct (state, word) is kept once, in order of
// first meeting, with its count; false if memory ran out.
inline bool count_pair(Scratch *x, const PairRecord &r, size_t first) {
  size_t met = x->pairs.size;
  uint32_t pair = name_of(&x->table, &met, key_of(r), static_cast<uint32_t>(met));
  if (pair == NONE) return false;
  if (pair == x->pairs.size) {
    if (!push(&x->pairs, Suffix{r.word, 0, r.next}) ||
        !push(&x->owner, static_cast<uint32_t>(r.state - first)))
      return false;
    x->bounds.data[r.state - first + 1]++;
  }
  return ++x->pairs.data[pair].count != 0;  // counts are 32-bit
}

// Counts the pairs that feed(sink) hands to sink(record), at most
// `records` of them, of the `states` states from `first`, as count_pair
// does; false if memory ran out or a record was out of range or could not
// be read.
template <class Feed>
bool count_pairs(Scratch *x, size_t first, size_t states, size_t records, Feed feed) {
  return start_pairs(x, records, states) && feed([&](const PairRecord &r) {
           return r.state - first < states && count_pair(x, r, first);
         });
}

// Lays out the counted pairs in `out`, by state and newest first, with
// running counts; x->bounds[g] is left at the end of state first + g's.
// False where a state's count passes 32 bits.
bool lay_out_pairs(Scratch *x, size_t states, Suffix *out);

// Partitions of states are made of fine ranges, about FINE_PER_PART each:
// enough to hold each near its target, few enough that their counts stay
// in the cache.  Never more than 2^FINE_BITS.
constexpr size_t FINE_PER_PART = 64;
constexpr unsigned FINE_BITS = 16;

// Partitions of the states [first, first + count): ranges holding about
// as many records each, made of fine ranges of 2^shift states.
struct Ranges {
  size_t first;
  unsigned shift;
  size_t parts;
  size_t target;                 // the records a partition was meant to hold
  Array<uint32_t> part_of_fine;  // the partition of each fine range
  Array<size_t> lo;              // each partition's first state; lo[parts] ends
};

void release(Ranges *r);

// The partition of state s.
inline size_t part_of_state(const Ranges *r, size_t s) {
  return r->part_of_fine.data[(s - r->first) >> r->shift];
}

// Adds to seen[f], for each record among [from, to), one for the fine
// range f of its state s: (s - r->first) >> r->shift; false where the
// records could not be read.
using Tally = bool (*)(void *arg, const Ranges *r, size_t from, size_t to, size_t *seen);

// Splits the states [first, first + count) of m records into at most
// `max_parts` partitions of about `target` records each, tallying the
// records on every worker; false if memory ran out.
bool split_states(Build *b, size_t m, size_t first, size_t count, size_t target, size_t max_parts,
                  Tally tally, void *arg, Ranges *r);

// The records of a partition whose table fits in a core's cache.
inline size_t cache_target(size_t m) {
  return std::max<size_t>(m >> partition_bits(m), 1);
}

// Gathers each partition that a deal by `r` left in the block, lays out
// its suffixes newest first with running counts, and moves them together
// to the block's start; sets each state's suffixes_at, states[s - first],
// and `*pairs`; false if memory ran out.
bool gather_parts(Build *b, const Ranges *r, State *states, size_t *pairs);

// Lays out in the block each suffix of the `count` states from `first`,
// newest first with running counts, from the `m` pairs that make(i) makes,
// i in [0, m), in text order, tally(arg, ...) counting them: they are
// dealt by ranges of states into partitions, and then dealt() must give
// the states, whose suffixes_at it sets (or null, where memory ran out).
// Sets `*pairs`; false if memory ran out.
template <class Make, class Dealt>
bool gather_pairs(Build *b, size_t m, size_t first, size_t count, Tally tally, void *arg, Make make,
                  Dealt dealt, size_t *pairs) {
  Ranges r{};
  auto part_of = [&](const PairRecord &rec) { return part_of_state(&r, rec.state); };
  State *states = nullptr;
  bool ok = split_states(b, m, first, count, cache_target(m), SIZE_MAX, tally, arg, &r) &&
            deal(b, m, r.parts, make, part_of) && (states = dealt()) != nullptr &&
            gather_parts(b, &r, states, pairs);
  release(&r);
  return ok;
}

// Lays out as gather_pairs does the suffixes of the positions [0, p), from
// their states st[q] (a state number of `count` or more stands for none)
// and the text's ids, into t->suffixes.  Once st has been read, dealt()
// must make the `count` states in t.
template <class Dealt>
bool collect_suffixes(Build *b, const uint32_t *ids, uint32_t k, const uint32_t *st, size_t p,
                      size_t count, Dealt dealt, StateTable *t) {
  auto tally = [](void *a, const Ranges *r, size_t from, size_t to, size_t *seen) {
    const uint32_t *st = static_cast<const uint32_t *>(a);
    for (size_t q = from; q < to; q++) seen[st[q] >> r->shift]++;
    return true;
  };
  auto make = [&](size_t q) {
    return PairRecord{st[q], ids[q + k], st[q + 1] < count ? st[q + 1] : NONE};
  };
  auto states = [&]() -> State * {
    if (!dealt()) return nullptr;
    assert(t->states.size == count);
    return t->states.data;
  };
  return gather_pairs(b, p, 0, count, tally, const_cast<uint32_t *>(st), make, states,
                      &t->suffixes.size);
}

// A one-word chain of a text of at most this many positions is sorted by
// state in one thread, with no partitions: 4 bytes a position, a third of
// a deal's record, and its 16 MiB stay near the cache.
constexpr size_t SORTED_POSITIONS = size_t{1} << 22;

// Lays out the suffixes of one-word prefixes at positions [0, p) of `ids`,
// of `words` words, into t->suffixes, from a counting sort by state of
// each position's next word in the same block; t->states must hold the
// states (word w is state w).  Sets each state's suffixes_at; false if
// memory ran out.
bool sort_word_suffixes(const uint32_t *ids, size_t p, size_t words, StateTable *t);

#endif
