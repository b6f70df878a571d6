// The chain build: from the word ids of a text to its states and suffixes.
//
// Every pass reads and writes the text's arrays in order; what must be
// found at random is found in a partition whose table fits in a core's
// cache.  A deal copies the positions into partitions by a key, each
// partition in text order, and the partitions are then worked on all cores:
//
//   numbering  Each position q <= p = n - k gets the state of the k-word
//              prefix there.  Prefixes are named exactly by doubling: a
//              window of 2w words is the pair of names of its halves, so
//              log2(k) rounds each name 64-bit keys in hash partitions.
//              The last round names each prefix by its first position, and
//              the states are the first positions below p, numbered by
//              rank: creation order, without a global index.
//   suffixes   Positions are dealt by ranges of states.  In a partition
//              each (state, word) pair is counted, then the pairs are laid
//              out by state, newest first, with running counts.
//
// A one-word prefix is its word, so the numbering is skipped there.  The
// records of both passes live in one block that ends as the suffixes.
#include <algorithm>
#include <atomic>

#include "Hash.h"
#include "Markov.h"
#include "Workers.h"

BuildPlan build_plan;

namespace {

// A partition of about this many records keeps its table in a core's cache.
constexpr size_t PARTITION_RECORDS = size_t{1} << 16;
// More partitions than this would thin the streams that a deal writes.
constexpr unsigned MAX_PARTITION_BITS = 12;
// The fine ranges of states that the suffixes' partitions are made of.
constexpr unsigned FINE_BITS = 16;
// Threads beyond this gain nothing on a build bound by memory.
constexpr unsigned MAX_BUILD_WORKERS = 16;

// A record of a deal: a 64-bit key (lo, hi) and a position, or a state, a
// word and the next state.  Records are kept in the suffixes' block, which
// they leave as suffixes, so they are copied in and out as bytes.
struct Record {
  uint32_t lo, hi, q;
};
static_assert(sizeof(Record) == sizeof(Suffix), "records are dealt into the suffixes' block");

inline Record record_at(const Suffix *block, size_t i) {
  Record r;
  std::memcpy(&r, block + i, sizeof r);
  return r;
}

inline uint64_t key_of(const Record &r) {
  return r.lo | uint64_t{r.hi} << 32;
}

// One slot of a partition's table: a key (lo, hi) and its value, NONE
// when empty; 12 bytes, so that more of the table stays in cache.
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
  Array<Suffix> pairs;     // a partition's pairs, in order of first meeting
  Array<uint32_t> owner;   // the state of each pair, from the range's first
  Array<uint32_t> bounds;  // where each state's pairs go
  size_t keys;             // the keys of the last partition, to size the next
};

struct Build {
  unsigned workers;
  Scratch scratch[MAX_BUILD_WORKERS];
  Array<size_t> cursor;  // a deal's write place per (range, partition)
  Array<size_t> start;   // a deal's partition bounds in the block
  Suffix *block;
  std::atomic<bool> failed;
};

// About log2(n / PARTITION_RECORDS), unless the plan forces it.
unsigned partition_bits(size_t n) {
  if (build_plan.partition_bits) return std::min(build_plan.partition_bits, MAX_PARTITION_BITS);
  unsigned bits = 0;
  while (bits < MAX_PARTITION_BITS && (n >> bits) > PARTITION_RECORDS) bits++;
  return bits;
}

// Makes the worker's table empty for a partition of `records` records,
// with room for about as many keys as its last partition had (partitions
// are alike, and a table that must grow costs less than clearing one too
// large); false if memory ran out.
bool clear_table(Scratch *x, size_t records) {
  size_t keys = std::min(records, std::max<size_t>(x->keys + x->keys / 4, 256)), n = 512;
  while (n < keys * 2) n *= 2;
  if (n > x->table.cap) return make_filled(&x->table, n, EMPTY);
  x->table.size = n;
  std::fill(x->table.data, x->table.data + n, EMPTY);
  return true;
}

// The slot that holds `key`, or the empty one where it belongs.
inline Slot *probe(Array<Slot> *table, uint64_t key) {
  size_t mask = table->size - 1;
  for (size_t pos = pair_hash(key) >> 16 & mask;; pos = (pos + 1) & mask) {
    Slot *s = &table->data[pos];
    if (s->value == NONE || key_of(*s) == key) return s;
  }
}

// Files `value` under the new `key` of a table holding `used` keys,
// doubling it first where it would pass three quarters full (probes stay
// short); false if memory ran out.
bool file(Array<Slot> *table, size_t used, uint64_t key, uint32_t value) {
  if ((used + 1) * 4 > table->size * 3) {
    Array<Slot> bigger;
    if (!make_filled(&bigger, table->size * 2, EMPTY)) return false;
    std::swap(*table, bigger);
    for (size_t i = 0; i < bigger.size; i++)
      if (bigger.data[i].value != NONE) *probe(table, key_of(bigger.data[i])) = bigger.data[i];
    release(&bigger);
  }
  *probe(table, key) = Slot{static_cast<uint32_t>(key), static_cast<uint32_t>(key >> 32), value};
  return true;
}

// The first of the positions [0, m) that worker range r of `ranges` takes;
// ranges start on multiples of 64, so that each has whole words of a
// bitmap over the positions.
inline size_t range_start(size_t m, size_t ranges, size_t r) {
  return r == ranges ? m : std::min(m, (m / ranges * r + 63) / 64 * 64);
}

inline void store(Suffix *block, size_t i, const Record &r) {
  std::memcpy(block + i, &r, sizeof r);
}

// Deals positions [0, m) into `parts` partitions of the block: part_of(q)
// picks one, make(q) the record.  Each worker counts and then copies one
// range of positions, so each partition keeps text order.  Sets b->start.
template <class PartOf, class Make>
bool deal(Build *b, size_t m, size_t parts, PartOf part_of, Make make) {
  size_t ranges = b->workers;
  if (!make_filled(&b->cursor, ranges * parts, size_t{0}) ||
      !make_filled(&b->start, parts + 1, size_t{0}))
    return false;
  auto count = [&](size_t r, unsigned) {
    size_t *c = b->cursor.data + r * parts;
    for (size_t q = range_start(m, ranges, r), end = range_start(m, ranges, r + 1); q < end; q++)
      c[part_of(q)]++;
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
    for (size_t q = range_start(m, ranges, r), end = range_start(m, ranges, r + 1); q < end; q++)
      store(b->block, c[part_of(q)]++, make(q));
  };
  run_tasks(ranges, b->workers, copy);
  return true;
}

// The partition of the key (x, y) among 2^bits.
inline size_t key_part(uint32_t x, uint32_t y, unsigned bits) {
  return bits ? pair_hash(x | uint64_t{y} << 32) >> (64 - bits) : 0;
}

// One round of naming: out[q], for q in [0, m), names the key (a[q],
// a[q + d]), of which there are at most `*names` distinct: equal keys get
// equal names.  The last round names a key by its first position; the
// others by numbers below m, and leave in `*names` how many they gave.
bool name_round(Build *b, const uint32_t *a, size_t d, size_t m, uint32_t *out, bool last,
                size_t *names) {
  unsigned bits = partition_bits(std::min(m, *names));
  size_t parts = size_t{1} << bits;
  // Keys that fit one table are named where they stand, with no deal; `out`
  // may be `a`, as a[q] and a[q + d] are read before out[q] is written.
  auto direct = [&](size_t, unsigned worker) {
    Scratch *x = &b->scratch[worker];
    size_t used = 0;
    if (!clear_table(x, std::min(m, *names))) {
      b->failed = true;
      return;
    }
    for (size_t q = 0; q < m; q++) {
      uint64_t key = a[q] | uint64_t{a[q + d]} << 32;
      uint32_t name = probe(&x->table, key)->value;
      if (name == NONE) {
        name = static_cast<uint32_t>(last ? q : used);
        if (!file(&x->table, used++, key, name)) {
          b->failed = true;
          return;
        }
      }
      out[q] = name;
    }
    *names = x->keys = used;
  };
  auto part_of = [&](size_t q) { return key_part(a[q], a[q + d], bits); };
  auto make = [&](size_t q) { return Record{a[q], a[q + d], static_cast<uint32_t>(q)}; };
  auto name = [&](size_t part, unsigned worker) {
    Scratch *x = &b->scratch[worker];
    Array<Slot> *table = &x->table;
    size_t from = b->start.data[part], to = b->start.data[part + 1], used = 0;
    if (b->failed || !clear_table(x, to - from)) {
      b->failed = true;
      return;
    }
    for (size_t i = from; i < to; i++) {
      Record r = record_at(b->block, i);
      Slot *s = probe(table, key_of(r));
      uint32_t name = s->value;
      if (name == NONE) {
        name = last ? r.q : static_cast<uint32_t>(from + used);
        if (!file(table, used++, key_of(r), name)) {
          b->failed = true;
          return;
        }
      }
      out[r.q] = name;
    }
    x->keys = used;
  };
  if (parts == 1) {
    direct(0, 0);
  } else {
    if (!deal(b, m, parts, part_of, make)) return false;
    run_tasks(parts, b->workers, name);
    // Names are places in the block, below m but not dense.
    *names = m;
  }
  return !b->failed;
}

// 64 positions of the bitmap of first meetings: a bit for each position
// below p where its prefix is first met, and how many were met before, so
// that a position's rank is one cache line away.
struct FirstMet {
  uint64_t bits;
  uint32_t before;
};

// Turns each position's first position st[q] into its state: the states
// are the first positions below p, numbered by rank in text order.  The
// text's last prefix has no state where it is met first.  Leaves in
// `first` the bitmap that make_states makes the states from, and their
// number in `states`; false if memory ran out.
bool rank_states(Build *b, uint32_t *st, size_t p, Array<FirstMet> *first, size_t *states) {
  size_t words = p / 64 + 1;
  if (!make_block(first, words)) return false;
  first->size = words;
  FirstMet *f = first->data;
  auto mark = [&](size_t r, unsigned) {
    for (size_t w = words * r / b->workers, end = words * (r + 1) / b->workers; w < end; w++) {
      uint64_t bits = 0;
      for (size_t q = w * 64, last = std::min(p, q + 64); q < last; q++)
        bits |= uint64_t{st[q] == q} << (q % 64);
      f[w].bits = bits;
    }
  };
  run_tasks(b->workers, b->workers, mark);
  uint32_t count = 0;
  for (size_t w = 0; w < words; w++) {
    f[w].before = count;
    count += static_cast<uint32_t>(__builtin_popcountll(f[w].bits));
  }
  *states = count;
  auto rank = [&](size_t r, unsigned) {
    for (size_t q = (p + 1) * r / b->workers, end = (p + 1) * (r + 1) / b->workers; q < end; q++) {
      uint32_t at = st[q];
      assert(at <= q);
      uint64_t below = f[at / 64].bits & ((uint64_t{1} << (at % 64)) - 1);
      st[q] =
          at == p ? NONE : f[at / 64].before + static_cast<uint32_t>(__builtin_popcountll(below));
    }
  };
  run_tasks(b->workers, b->workers, rank);
  return true;
}

// Makes the states, in creation order, from the bitmap of first meetings;
// false if memory ran out.
bool make_states(const Array<FirstMet> *first, size_t states, StateTable *t) {
  if (!reserve(&t->states, states)) return false;
  for (size_t w = 0; w < first->size; w++)
    for (uint64_t bits = first->data[w].bits; bits; bits &= bits - 1) {
      uint32_t q = static_cast<uint32_t>(w * 64 + static_cast<size_t>(__builtin_ctzll(bits)));
      t->states.data[t->states.size++] = State{q, 0};
    }
  assert(t->states.size == states);
  return true;
}

// Gives each position q <= p the state of its prefix (NONE where it has
// none); the states are left to make_states.
bool number_states(Build *b, const WordList *list, uint32_t k, uint32_t *st, Array<FirstMet> *first,
                   size_t *states) {
  const uint32_t *ids = list->ids.data;
  size_t n = list->ids.size, p = n - k;
  size_t half = 1;  // the largest power of two below k
  while (half * 2 < k) half *= 2;
  const uint32_t *names = ids;  // the names of windows of `width` words
  // How many names there may be: a window's pairs of halves are at most
  // the square of its halves' names (few where the text repeats itself).
  size_t distinct = list->words.size;
  auto pairs = [](size_t x) { return x > UINT32_MAX ? SIZE_MAX : x * x; };
  for (size_t width = 1; width < half; width *= 2, names = st) {
    distinct = pairs(distinct);
    if (!name_round(b, names, width, n - 2 * width + 1, st, false, &distinct)) return false;
  }
  // Two windows of `half` words, overlapping where k is no power of two,
  // make up the prefix.
  distinct = pairs(distinct);
  return name_round(b, names, k - half, p + 1, st, true, &distinct) &&
         rank_states(b, st, p, first, states);
}

// Makes the states of one-word prefixes.  Words are numbered in order of
// first meeting, so word w is state w; every word has a state but a new
// last word, which has the top id.
bool number_words(const WordList *list, StateTable *t) {
  size_t p = list->ids.size - 1;
  if (!make_filled(&t->states, list->words.size, State{NONE, 0})) return false;
  for (size_t q = 0; q < p; q++) {
    State &s = t->states.data[list->ids.data[q]];
    if (s.prefix_at == NONE) s.prefix_at = static_cast<uint32_t>(q);
  }
  if (t->states.data[t->states.size - 1].prefix_at == NONE) t->states.size--;
  return true;
}

// Lays out in the block each suffix of `count` states, newest first with
// running counts, from the positions [0, p) and their states st[q] (a
// state number of `count` or more stands for none).  Once st has been
// read, dealt() makes the states in t, which must then number `count`.
template <class Dealt>
bool collect_suffixes(Build *b, const uint32_t *ids, uint32_t k, const uint32_t *st, size_t p,
                      size_t count, Dealt dealt, StateTable *t) {
  // Partitions are ranges of states holding about as many positions each:
  // early states are the text's most frequent, so equal ranges of states
  // would leave one partition most of the work.  The ranges are made of
  // fine ranges of 2^shift states, counted first.
  unsigned shift = 0;
  while ((count - 1) >> shift >> FINE_BITS) shift++;
  size_t fine = ((count - 1) >> shift) + 1;
  Array<size_t> seen;            // positions per fine range
  Array<uint32_t> part_of_fine;  // the partition of each fine range
  Array<size_t> lo;              // each partition's first state
  if (!make_filled(&seen, fine * b->workers, size_t{0}) || !make_block(&part_of_fine, fine) ||
      !make_block(&lo, fine + 1)) {
    release(&seen);
    release(&part_of_fine);
    return false;
  }
  auto tally = [&](size_t r, unsigned) {
    size_t *c = seen.data + r * fine;
    for (size_t q = p * r / b->workers, end = p * (r + 1) / b->workers; q < end; q++)
      c[st[q] >> shift]++;
  };
  run_tasks(b->workers, b->workers, tally);
  size_t target = std::max<size_t>(p >> partition_bits(p), 1), parts = 0, held = target;
  for (size_t f = 0; f < fine; f++) {
    size_t here = 0;
    for (size_t r = 0; r < b->workers; r++) here += seen.data[r * fine + f];
    if (held + here > target && held > 0) {
      lo.data[parts++] = f << shift;
      held = 0;
    }
    held += here;
    part_of_fine.data[f] = static_cast<uint32_t>(parts - 1);
  }
  lo.data[parts] = count;
  release(&seen);
  auto part_of = [&](size_t q) -> size_t { return part_of_fine.data[st[q] >> shift]; };
  auto make = [&](size_t q) {
    return Record{st[q], ids[q + k], st[q + 1] < count ? st[q + 1] : NONE};
  };
  Array<size_t> made;  // pairs per partition
  bool ok = make_filled(&made, parts, size_t{0}) && deal(b, p, parts, part_of, make) && dealt();
  release(&part_of_fine);
  if (!ok) {
    release(&made);
    release(&lo);
    return false;
  }
  assert(t->states.size == count);
  auto gather = [&](size_t part, unsigned worker) {
    Scratch *x = &b->scratch[worker];
    size_t from = b->start.data[part], to = b->start.data[part + 1], first = lo.data[part];
    size_t states = lo.data[part + 1] - first;
    x->pairs.size = x->owner.size = 0;
    bool ok = !b->failed && clear_table(x, to - from) && make_filled(&x->bounds, states + 1, 0u);
    // Each distinct (state, word) once, in order of first meeting.
    for (size_t i = from; ok && i < to; i++) {
      Record r = record_at(b->block, i);
      Slot *s = probe(&x->table, key_of(r));
      if (s->value == NONE) {
        uint32_t pair = static_cast<uint32_t>(x->pairs.size);
        ok = push(&x->pairs, Suffix{r.hi, 0, r.q}) &&
             push(&x->owner, static_cast<uint32_t>(r.lo - first)) &&
             file(&x->table, pair, key_of(r), pair);
        x->bounds.data[r.lo - first + 1]++;
        s = probe(&x->table, key_of(r));
      }
      if (ok) x->pairs.data[s->value].count++;
    }
    if (!ok) {
      b->failed = true;
      return;
    }
    // By state, and within a state latest first: pairs are placed from the
    // last met, each at its state's next place.
    uint32_t *at = x->bounds.data;
    for (size_t g = 0; g < states; g++) at[g + 1] += at[g];
    size_t m = x->keys = x->pairs.size;
    Suffix *out = b->block + from;
    for (size_t i = m; i-- > 0;) out[at[x->owner.data[i]]++] = x->pairs.data[i];
    // Each place now stands at its state's end: running counts, and where
    // each state's suffixes begin.
    for (size_t g = 0, begin = 0; g < states; begin = at[g++]) {
      assert(at[g] > begin);  // a state is made where its prefix has a word after it
      t->states.data[first + g].suffixes_at = static_cast<uint32_t>(from + begin);
      for (size_t j = begin + 1; j < at[g]; j++) out[j].count += out[j - 1].count;
    }
    made.data[part] = m;
  };
  run_tasks(parts, b->workers, gather);
  // The partitions' suffixes, moved together in order.
  size_t base = 0;
  for (size_t part = 0; !b->failed && part < parts; part++) {
    size_t from = b->start.data[part], shift = from - base;
    std::memmove(b->block + base, b->block + from, made.data[part] * sizeof(Suffix));
    for (size_t s = lo.data[part]; s < lo.data[part + 1]; s++)
      t->states.data[s].suffixes_at -= static_cast<uint32_t>(shift);
    base += made.data[part];
  }
  t->suffixes.size = base;
  release(&made);
  release(&lo);
  return !b->failed;
}

}  // namespace

unsigned build_workers() {
  return std::min(build_plan.workers ? build_plan.workers : usable_cores(), MAX_BUILD_WORKERS);
}

bool build_chain(const WordList *list, uint32_t k, StateTable *t) {
  t->k = k;
  size_t n = list->ids.size;
  if (n <= k) return true;  // no prefix has a word after it
  key_hashes();
  size_t p = n - k;
  Build b{};
  b.workers = build_workers();
  bool ok = make_block(&t->suffixes, n);
  b.block = t->suffixes.data;
  if (k == 1) {
    // A one-word prefix's state is its word: the ids serve as states.
    ok = ok && number_words(list, t) &&
         collect_suffixes(
             &b, list->ids.data, k, list->ids.data, p, t->states.size, [] { return true; }, t);
  } else {
    // Each position's state, kept until the suffixes are dealt; the states
    // are made in its room after.
    Array<uint32_t> st;
    Array<FirstMet> first;
    size_t states = 0;
    ok = ok && make_block(&st, n) && number_states(&b, list, k, st.data, &first, &states);
    auto dealt = [&] {
      release(&st);
      return make_states(&first, states, t);
    };
    ok = ok && collect_suffixes(&b, list->ids.data, k, st.data, p, states, dealt, t);
    release(&st);
    release(&first);
  }
  for (Scratch &x : b.scratch) {
    release(&x.table);
    release(&x.pairs);
    release(&x.owner);
    release(&x.bounds);
  }
  release(&b.cursor);
  release(&b.start);
  // What the walk needs, and no more: the block shrinks to the suffixes.
  if (ok) shrink_to_fit(&t->suffixes);
  return ok;
}

void release(StateTable *t) {
  release(&t->states);
  release(&t->suffixes);
}
