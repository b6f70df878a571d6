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
// range f of its state s: (s - r->first) >> r->shift.
using Tally = void (*)(void *arg, const Ranges *r, size_t from, size_t to, size_t *seen);

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

// Lays out in the block each suffix of `count` states, newest first with
// running counts, from the positions [0, p) and their states st[q] (a
// state number of `count` or more stands for none).  Once st has been
// read, dealt() is called, and must make the `count` states in t; false
// if memory ran out.
bool collect_suffixes(Build *b, const uint32_t *ids, uint32_t k, const uint32_t *st, size_t p,
                      size_t count, bool (*dealt)(void *), void *arg, StateTable *t);

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
