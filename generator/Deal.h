// Deal: the chain build's words, and how it divides its work.  Each word means only this:
//   position   an index q into the text's words; p = n - k starts the last prefix
//   key        64 bits to be named: ids packed, or the names of two halves
//   name       a key's number, equal for equal keys
//   round      one pass of naming (name_prefixes); the last one's names are states
//   rank       a state's number: the order of its first meeting
//   pair       a state and the state after it (PairRecord); laid out, a Suffix
//   deal       a pass copying records by a key into partitions, or groups
//   partition  a part of a deal's block, worked with a table in a core's cache
//   group      a part of a deal into files, worked in memory in turn (Groups.h)
//   piece      a worker's share of a pass over files, on its own streams
//   range      a task's share of a phase; of states, a partition's (Ranges)
//   span       the positions whose names are written back at a time
//   part       a piece of the text read on its own core (Words.cpp)
//
// A deal copies positions [0, m) into partitions of the suffixes' block, each in text order, every
// worker counting then copying a range of positions; partitions are then worked on all cores:
//   block   [ partition 0 | partition 1 | ... ]   KeyRecord (12 bytes) or PairRecord (8, a Suffix)
//            ^start[0]     ^start[1]
//   table   Slot{lo, hi, value}, open addressing, linear probing
#ifndef CHATTERLOOM_DEAL_H
#define CHATTERLOOM_DEAL_H

#include <algorithm>
#include <atomic>
#include <bit>

#include "Hash.h"
#include "Markov.h"
#include "Plan.h"
#include "Workers.h"

// A partition's table of at most twice as many 12-byte slots, 384 KiB, stays in a core's own cache.
constexpr size_t PARTITION_RECORDS = size_t{1} << 14;
// Past 2^10 partitions a deal's streams, one per partition per core, outrun the TLB (500 MB of
// prose deals a fifth slower into 2^11, a quarter slower again into 2^12); partitions grow instead.
constexpr unsigned MAX_PARTITION_BITS = 10;

// Whether a prefix first met at `first_at` has a state: the last, at p, starts no transition.
inline bool has_state(uint64_t first_at, uint64_t p) {
  return first_at < p;
}

// Calls first(q) for each q < p where a word is first met, next() giving the ids: ids follow first
// meeting, so word w is state w.  False as soon as either fails.
template <class Next, class First>
bool first_meetings(uint64_t p, Next next, First first) {
  uint64_t count = 0;
  for (uint64_t q = 0; q < p; q++) {
    uint32_t id = next();
    if (id == count && has_state(q, p)) {
      if (!first(q)) return false;
      count++;
    }
  }
  return true;
}

// Naming k-word prefixes (k >= 2) in rounds: the first names windows of as many ids as fit a key,
// then windows double, each named by its halves' names (overlapping at the end), up to k words.

// The most ids packed into one key: packing is a step per id.
constexpr size_t MAX_PACKED = 8;

// A round names the keys at [0, m): `width` ids packed `bits` apart (the first), or the last
// round's names at q and q + d.
struct Round {
  unsigned bits;
  size_t width;   // the words a name covers once the round is done
  uint64_t d, m;  // d is 0 in the first round
  bool last;
  size_t distinct;  // at most this many names; the round leaves how many
};

// Calls name(&r) per round naming k-word prefixes of n words, `words` distinct; false if one fails.
template <class Name>
bool name_prefixes(uint64_t n, uint32_t k, size_t words, Name name) {
  assert(k >= 2 && n > k);
  // At most the windows of ids, or of names of halves, can be distinct.
  auto times = [](size_t x, size_t y) { return x > SIZE_MAX / y ? SIZE_MAX : x * y; };
  Round r{};
  r.bits = std::max(1u, static_cast<unsigned>(std::bit_width(words - 1)));
  r.width = std::min<size_t>({64 / r.bits, MAX_PACKED, k});
  r.last = r.width == k;
  r.m = r.last ? n - k + 1 : n - r.width + 1;
  r.distinct = 1;
  for (size_t j = 0; j < r.width; j++) r.distinct = times(r.distinct, words);
  if (!name(&r)) return false;
  while (!r.last) {
    r.last = 2 * r.width >= k;
    r.d = r.last ? k - r.width : r.width;
    r.m = r.last ? n - k + 1 : n - 2 * r.width + 1;
    r.distinct = times(r.distinct, r.distinct);
    r.width *= 2;
    if (!name(&r)) return false;
  }
  return true;
}

// The records dealt, one kind at a time, into the suffixes' block, copied in and out as bytes.  A
// key (lo, hi) at position q; once named, lo holds the name.
struct KeyRecord {
  uint32_t lo, hi, q;
};
// A state and the state after it: the end of the text (the state count) where none is.
struct PairRecord {
  uint32_t state, next;
};
static_assert(sizeof(PairRecord) == sizeof(Suffix), "pairs are laid out where they were dealt");

// How a round's keys are dealt into `parts` = 2^`bits` partitions.  A Form makes from a key at
// position q what the deal reads (`Made`), its partition, and the record the block keeps, which
// keeps the key to name, the position and, once named, the name.
//
// Any 64-bit key in a KeyRecord, 12 bytes, its partition picked by hash.
struct WideKeys {
  using Record = KeyRecord;
  using Made = KeyRecord;
  unsigned bits;
  Made make(uint64_t key, size_t q) const {
    return Made{static_cast<uint32_t>(key), static_cast<uint32_t>(key >> 32),
                static_cast<uint32_t>(q)};
  }
  size_t part(const Made &r) const { return pair_hash(key(r)) >> (64 - bits); }
  Record keep(const Made &r) const { return r; }
  uint64_t key(const Record &r) const { return r.lo | uint64_t{r.hi} << 32; }
  size_t at(const Record &r) const { return r.q; }
  uint32_t name(const Record &r) const { return r.lo; }
  Record named(Record r, uint32_t name) const {
    r.lo = name;
    return r;
  }
};

// A key of `key_bits` bits in 8 bytes.  XOR with the run's hash key and multiplying by it (odd)
// modulo 2^key_bits permute the keys, as a text cannot foresee: the top `bits` pick the partition,
// so the record keeps only the rest, and the position above them.
struct NarrowKeys {
  using Record = uint64_t;
  struct Made {
    uint64_t mixed;
    size_t q;
  };
  unsigned bits, key_bits;
  uint64_t mask(unsigned n) const { return n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }
  unsigned kept() const { return key_bits - bits; }
  Made make(uint64_t key, size_t q) const {
    assert(hash_key & 1);  // key_hashes() came first
    return Made{(key ^ hash_key) * hash_key & mask(key_bits), q};
  }
  size_t part(const Made &r) const { return static_cast<size_t>(r.mixed >> kept()); }
  Record keep(const Made &r) const { return (r.mixed & mask(kept())) | uint64_t{r.q} << kept(); }
  uint64_t key(Record r) const { return r & mask(kept()); }
  size_t at(Record r) const { return static_cast<size_t>(r >> kept()); }
  uint32_t name(Record r) const { return static_cast<uint32_t>(key(r)); }
  Record named(Record r, uint32_t name) const { return r >> kept() << kept() | name; }
};

// The bits of a round's keys: its windows of ids as packed, or two 32-bit names.
inline unsigned key_bits(const Round *r) {
  return r->d > 0 ? 64 : static_cast<unsigned>(r->width * r->bits);
}

// About log2(n / PARTITION_RECORDS), unless the plan forces it.
unsigned partition_bits(size_t n);

// Whether the keys of `key_bits` bits at positions below m, named into 2^`bits` partitions, deal
// as NarrowKeys: a position fits beside the bits of the key kept, and a name (below m) in them.
inline bool narrow_keys(unsigned key_bits, unsigned bits, size_t m) {
  auto at = static_cast<unsigned>(std::bit_width(m));
  return key_bits > bits && at <= key_bits - bits && key_bits - bits + at <= 64;
}

// The partition bits a deal of the `names` keys of `key_bits` bits at positions below m takes:
// about log2 of them, or more, up to MAX_PARTITION_BITS, where that lets them deal narrow.
inline unsigned key_partition_bits(unsigned key_bits, size_t m, size_t names) {
  unsigned bits = partition_bits(std::min(m, names));
  auto need = static_cast<unsigned>(key_bits + std::bit_width(m)), fit = need > 64 ? need - 64 : 0;
  if (bits > 0 && !narrow_keys(key_bits, bits, m) && fit > bits && fit <= MAX_PARTITION_BITS &&
      narrow_keys(key_bits, fit, m))
    return fit;
  return bits;
}

// Whether round r's keys deal in 8-byte records; so do keys named with no deal, in one partition.
inline bool narrow_round(const Round *r) {
  unsigned bits = key_partition_bits(key_bits(r), r->m, r->distinct);
  return bits == 0 || narrow_keys(key_bits(r), bits, r->m);
}

// The bytes of a record the in-memory build of n words at prefix k, `words` distinct, deals: 8 for
// pairs, and for keys where one round names them all and its keys fit (a later round's count is
// not known beforehand), else 12.
inline size_t deal_record_bytes(uint64_t n, uint32_t k, size_t words) {
  size_t record = sizeof(PairRecord);
  if (k > 1 && n > k)
    name_prefixes(n, k, words, [&](Round *r) {
      if (r->d > 0 || !narrow_round(r)) record = sizeof(KeyRecord);
      return true;
    });
  return record;
}

// Record i of the block of R records at `block`.
template <class R>
inline R record_at(const void *block, size_t i) {
  R r;
  std::memcpy(&r, static_cast<const char *>(block) + i * sizeof r, sizeof r);
  return r;
}

template <class R>
inline void put_record(void *block, size_t i, const R &r) {
  std::memcpy(static_cast<char *>(block) + i * sizeof r, &r, sizeof r);
}

inline uint64_t key_of(const PairRecord &r) {
  return r.state | uint64_t{r.next} << 32;
}

// A key (lo, hi) and its value, NONE when empty: 12 bytes, so more stays in cache.
struct Slot {
  uint32_t lo, hi, value;
};

inline uint64_t key_of(const Slot &s) {
  return s.lo | uint64_t{s.hi} << 32;
}

const Slot EMPTY{0, 0, NONE};

// What a worker keeps from one partition to the next.
struct Scratch {
  Array<Slot> table;
  Array<Suffix> pairs;     // a partition's pairs, or its records by state
  Array<uint32_t> owner;   // the state of each pair counted, from the first
  Array<uint32_t> bounds;  // where each state's pairs go
  Array<size_t> runs;      // a write-back's next record in each partition
  Array<uint32_t> names;   // a packed write-back's span of names
  size_t keys;             // the keys of the last partition, to size the next
};

// A build's workers and its deal; a failing task sets `failed`, cleared before a phase, read after.
struct Build {
  unsigned workers;
  Scratch scratch[MAX_WORKERS];
  Array<size_t> cursor;  // a deal's write place per (range, partition)
  Array<size_t> start;   // a deal's partition bounds in the block
  char *block;           // a deal's records, of the kind it deals
  size_t block_bytes;
  std::atomic<bool> failed;
};

// Frees what the build's workers and deals hold.
void release(Build *b);

// Clears the table for `records` records, sized by the last partition; false if memory ran out.
bool clear_table(Scratch *x, size_t records);

// Linear probing stays short up to three quarters full.
inline bool table_full(const Array<Slot> *table, size_t used) {
  return (used + 1) * 4 > table->size * 3;
}

// Doubles a full table and files `value` under the new `key`; false if memory ran out.
bool grow_and_file(Array<Slot> *table, uint64_t key, uint32_t value);

// The slot that holds `key`, or the empty one where it belongs.
inline Slot *probe(Array<Slot> *table, uint64_t key) {
  size_t mask = table->size - 1;
  for (size_t pos = pair_hash(key) >> 16 & mask;; pos = (pos + 1) & mask) {
    Slot *s = &table->data[pos];
    if (s->value == NONE || key_of(*s) == key) return s;
  }
}

// The name filed under `key`, or `fresh`, filed now and counted in `*used`; NONE if memory ran out.
inline uint32_t name_of(Array<Slot> *table, size_t *used, uint64_t key, uint32_t fresh) {
  Slot *s = probe(table, key);
  if (s->value != NONE) return s->value;
  if (table_full(table, (*used)++)) return grow_and_file(table, key, fresh) ? fresh : NONE;
  *s = Slot{static_cast<uint32_t>(key), static_cast<uint32_t>(key >> 32), fresh};
  return fresh;
}

// What a deal keeps of a record made, where the block keeps it whole.
struct Whole {
  template <class R>
  R operator()(const R &r) const {
    return r;
  }
};

// Deals keep(make(q)), q < m, into `parts` partitions by part_of(make(q)), in text order; false if
// memory ran out or the block is too small.
template <class Make, class PartOf, class Keep = Whole>
bool deal(Build *b, size_t m, size_t parts, Make make, PartOf part_of, Keep keep = Keep()) {
  if (m > b->block_bytes / sizeof(keep(make(0)))) return false;
  size_t ranges = range_tasks(b->workers);
  if (!make_filled(&b->cursor, ranges * parts, size_t{0}) ||
      !make_filled(&b->start, parts + 1, size_t{0}))
    return false;
  auto count = [&](size_t r, unsigned) {
    size_t *c = b->cursor.data + r * parts;
    for (size_t q = range_start(m, ranges, r), end = range_start(m, ranges, r + 1); q < end; q++)
      c[part_of(make(q))]++;
  };
  run_tasks(ranges, b->workers, count);
  size_t at = 0;
  for (size_t part = 0; part < parts; part++) {
    b->start.data[part] = at;
    for (size_t r = 0; r < ranges; r++) {
      size_t c = b->cursor.data[r * parts + part];
      b->cursor.data[r * parts + part] = at;
      at += c;
    }
  }
  b->start.data[parts] = at;
  assert(at == m);
  auto copy = [&](size_t r, unsigned) {
    size_t *c = b->cursor.data + r * parts;
    for (size_t q = range_start(m, ranges, r), end = range_start(m, ranges, r + 1); q < end; q++) {
      auto rec = make(q);
      put_record(b->block, c[part_of(rec)]++, keep(rec));
    }
  };
  run_tasks(ranges, b->workers, copy);
  return true;
}

// Where a round's names go: 32 bits each, or the last round's packed `bits` apart; a write-back's
// span then covers whole 64-bit words, so that no two threads write in one.
struct Names {
  uint32_t *at;
  unsigned bits;
};

// Writes name `name` of position q to `out`.
inline void put_name(Names out, size_t q, uint32_t name) {
  if (out.bits == 32)
    out.at[q] = name;
  else
    put_bits(out.at, q * out.bits, out.bits, name);
}

// Names each key (a[q], a[q + d]), q < m, into `out` at q, at most `*names` distinct: by first
// position in the last round, else by numbers below m, leaving in `*names` how many.
bool name_round(Build *b, const uint32_t *a, size_t d, size_t m, Names out, bool last,
                size_t *names);

// Names the windows of the packed ids of `list` of the first round as name_round does.
bool name_packed(Build *b, const WordList *list, Round *r, Names out);

#endif
