// Suffixes: each state's pairs as suffixes, gathered from records dealt by ranges of states.
#ifndef CHATTERLOOM_SUFFIXES_H
#define CHATTERLOOM_SUFFIXES_H

#include "Deal.h"

// A chain as the build lays it out, before it is packed: its suffixes, and where each state's
// start, the end of the text's, at[states], closing the last.
struct Laid {
  Array<Suffix> suffixes;
  Array<uint32_t> at;
};

void release(Laid *c);

// Readies `x` to count at most `records` records of `states` states; false if memory ran out.
bool start_pairs(Scratch *x, size_t records, size_t states);

// Counts the records feed(sink) hands to sink, of `states` states from `first`, each pair once in
// order of first meeting; false if memory ran out or a record was out of range or unread.
template <class Feed>
bool count_pairs(Scratch *x, size_t first, size_t states, size_t records, Feed feed) {
  return start_pairs(x, records, states) && feed([&](const PairRecord &r) {
           size_t met = x->pairs.size;
           if (r.state - first >= states) return false;
           uint32_t pair = name_of(&x->table, &met, key_of(r), static_cast<uint32_t>(met));
           if (pair == NONE) return false;
           if (pair == x->pairs.size) {
             if (!push(&x->pairs, Suffix{0, r.next}) ||
                 !push(&x->owner, static_cast<uint32_t>(r.state - first)))
               return false;
             x->bounds.data[r.state - first + 1]++;
           }
           return ++x->pairs.data[pair].count != 0;  // counts are 32-bit
         });
}

// Lays the counted pairs out in `out`, leaving x->bounds[g] at state g's end; false past 32 bits.
bool lay_out_pairs(Scratch *x, size_t states, Suffix *out);

// Partitions of states are made of about FINE_PER_PART fine ranges each (enough to meet a target,
// few enough to count in cache), at most 2^FINE_BITS.
constexpr size_t FINE_PER_PART = 64;
constexpr unsigned FINE_BITS = 16;

// Partitions of states from `first`, about `target` records each, of fine ranges of 2^shift states.
struct Ranges {
  size_t first;
  unsigned shift;
  size_t parts;
  size_t target;                 // the records a partition was meant to hold
  Array<uint32_t> part_of_fine;  // the partition of each fine range
  Array<size_t> lo;              // each partition's first state; lo[parts] ends
};

void release(Ranges *r);

inline size_t part_of_state(const Ranges *r, size_t s) {
  return r->part_of_fine.data[(s - r->first) >> r->shift];
}

// Counts in seen[(s - r->first) >> r->shift] the state s of records [from, to); false if unread.
using Tally = bool (*)(void *arg, const Ranges *r, size_t from, size_t to, size_t *seen);

// The Tally of the records that (*feed)(from, to, sink) hands to sink(record).
template <class Feed>
bool tally_feed(void *feed, const Ranges *r, size_t from, size_t to, size_t *seen) {
  return (*static_cast<Feed *>(feed))(from, to, [&](const PairRecord &rec) {
    seen[(rec.state - r->first) >> r->shift]++;
    return true;
  });
}

// Splits `count` states from `first`, of m records tallied on every worker, into at most
// `max_parts` of about `target`; false if memory ran out.
bool split_states(Build *b, size_t m, size_t first, size_t count, size_t target, size_t max_parts,
                  Tally tally, void *arg, Ranges *r);

// The records of a partition whose table fits in a core's cache.
inline size_t cache_target(size_t m) {
  return std::max<size_t>(m >> partition_bits(m), 1);
}

// Lays out each partition a deal by `r` left in the block as suffixes, all moved to its start; sets
// at[s - first], where state s's start, and `*pairs`.  False if memory ran out.
bool gather_parts(Build *b, const Ranges *r, uint32_t *at, size_t *pairs);

// Lays out in the block the suffixes of `count` states from `first`, from the m records make(i),
// dealt by ranges of states; then dealt() gives room for where each state's start, or null.  Sets
// `*pairs`.
template <class Make, class Dealt>
bool gather_pairs(Build *b, size_t m, size_t first, size_t count, Make make, Dealt dealt,
                  size_t *pairs) {
  Ranges r{};
  auto part_of = [&](const PairRecord &rec) { return part_of_state(&r, rec.state); };
  // The tally reads only each record's state: the rest of make(i) is not loaded.
  auto feed = [&](size_t from, size_t to, auto sink) {
    for (size_t i = from; i < to; i++) sink(make(i));
    return true;
  };
  uint32_t *at = nullptr;
  bool ok = split_states(b, m, first, count, cache_target(m), SIZE_MAX, tally_feed<decltype(feed)>,
                         &feed, &r) &&
            deal(b, m, r.parts, make, part_of) && (at = dealt()) != nullptr &&
            gather_parts(b, &r, at, pairs);
  release(&r);
  return ok;
}

// Lays out as gather_pairs does the suffixes of positions [0, p) from each position's state and the
// state after it, read as one run from the values packed `bits` apart at `states` (`count` or more:
// the end of the text) into c; once they are read, dealt() must leave c->at room for count + 1.
template <class Dealt>
bool collect_suffixes(Build *b, const uint32_t *states, unsigned bits, size_t p, size_t count,
                      Dealt dealt, Laid *c) {
  const uint64_t mask = (uint64_t{1} << bits) - 1, both = (mask << bits) | mask;
  auto make = [&](size_t q) {
    // Two values of 28 bits or fewer lie in the 8 bytes from the byte the first starts in.
    uint64_t two;
    if (bits <= 28) {
      std::memcpy(&two, reinterpret_cast<const char *>(states) + q * bits / 8, 8);
      two = two >> (q * bits % 8) & both;
    } else {
      two = packed_bits(states, q * bits, 2 * bits);
    }
    return PairRecord{static_cast<uint32_t>(two & mask),
                      static_cast<uint32_t>(std::min<uint64_t>(two >> bits, count))};
  };
  auto at = [&]() -> uint32_t * {
    if (!dealt()) return nullptr;
    assert(c->at.cap > count);
    c->at.size = count + 1;
    return c->at.data;
  };
  if (!gather_pairs(b, p, 0, count, make, at, &c->suffixes.size)) return false;
  c->at.data[count] = static_cast<uint32_t>(c->suffixes.size);
  return true;
}

// A one-word chain this short is sorted by state in one thread: its next words, 2 or 4 bytes a
// position, take 16 MiB at most, near the cache.
constexpr size_t SORTED_POSITIONS = size_t{1} << 22;

// Lays out the one-word suffixes of the ids of `list` [0, p) into c by a counting sort in the
// suffixes' own block; c->at holds zeros for word w as state w, and the end of the text.  Ids read
// 32 bits each are packed, once read for good where next words fit 16 bits, else first.  False if
// memory ran out.
bool sort_word_suffixes(WordList *list, size_t p, Laid *c);

#endif
