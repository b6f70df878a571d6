// The chain build, from a text's word ids to its states and suffixes.  Every pass reads and writes
// the text's arrays in order; what must be found at random is found in a partition whose table fits
// in a core's cache (Deal.h).  The ids are first packed to the bits their words need.  Three steps:
//   numbering  Each position q <= p = n - k gets its prefix's state, named exactly in rounds
//              (name_prefixes), each round's names going back to text order a span at a time.
//              The last names each prefix by its first position, packed to the bits of p; the
//              states are the first positions below p, numbered in place by rank, with no global
//              index.
//   suffixes   Positions are dealt as pairs (state, next state) by ranges of states, and in each
//              partition the pairs are counted and laid out (Suffixes.cpp); where each state's
//              suffixes start goes to the front of the positions' block, now free.
//   packing    The suffixes are packed in their own block to the bytes their fields need, and
//              the states over their starts, each with its prefix's last word (pack_chain).
//
// Peak bytes a word, past the text's packed ids: the deals' block (8, or 12 for keys too wide to
// share 64 bits with a position) beside each position's state (the bits of p).
//
// A one-word prefix is its word, so the numbering is skipped; on a short text its suffixes are
// sorted with no deal, in less time and memory than a deal takes (the Bible at prefix 1: 8 MB).  A
// text whose build would not fit what its words leave is read into spilled ids and built over files
// (Spilled.cpp), a group at a time; so is one whose in-memory build the account refuses.
#include "Chain.h"

#include <bit>

#include "Spilled.h"
#include "Suffixes.h"
#include "Words.h"

namespace {

#if defined(__x86_64__) && !defined(__POPCNT__)
// Whether the core counts bits in one instruction: the build targets cores that may not, and the
// rank counts bits at every position.
const bool HAS_POPCNT = (__builtin_cpu_init(), __builtin_cpu_supports("popcnt"));
#endif

// The bits set in x: one instruction where the core has it, else inline steps, not a call.
inline uint32_t count_bits(uint64_t x) {
#ifdef __POPCNT__
  return static_cast<uint32_t>(__builtin_popcountll(x));
#else
#if defined(__x86_64__)
  if (HAS_POPCNT) {
    uint64_t n;
    __asm__("popcnt %1, %0" : "=r"(n) : "r"(x));
    return static_cast<uint32_t>(n);
  }
#endif
  x -= (x >> 1) & 0x5555555555555555u;
  x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fu;
  return static_cast<uint32_t>((x * 0x0101010101010101u) >> 56);
#endif
}

// How far ahead of its ranking the rank reads names, prefetching their bitmap words: its loads land
// anywhere in the bitmap, and the core alone keeps too few in flight.
constexpr size_t RANK_AHEAD = 32;

// Turns each first position at q of `st`, packed `bits` apart, into its state there, the rank of
// the first positions below p, leaving their bitmap in `first` and their number in `states`; false
// if memory ran out.
bool rank_states(Build *b, uint32_t *st, unsigned bits, size_t p, Array<FirstMet> *first,
                 size_t *states) {
  size_t words = p / 64 + 1;
  if (!make_block(first, words)) return false;
  first->size = words;
  FirstMet *f = first->data;
  size_t tasks = range_tasks(b->workers);
  auto mark = [&](size_t r, unsigned) {
    size_t w = range_start(words, tasks, r), end = range_start(words, tasks, r + 1);
    if (w == end) return;
    WordStream names = stream_from(st, w * 64, bits);
    for (; w < end; w++) {
      uint64_t met = 0;
      for (size_t q = w * 64, last = std::min(p, q + 64); q < last; q++)
        met |= uint64_t{stream_next(&names) == q} << (q % 64);
      f[w].bits = met;
    }
  };
  run_tasks(tasks, b->workers, mark);
  uint32_t count = 0;
  for (size_t w = 0; w < words; w++) {
    f[w].before = count;
    count += count_bits(f[w].bits);
  }
  *states = count;
  // Ranges of 64 positions at a time, so each task writes 64-bit words of its own, in place, each
  // once the names it holds are read.
  auto rank = [&](size_t r, unsigned) {
    size_t q = range_start(words, tasks, r) * 64,
           end = std::min(p + 1, range_start(words, tasks, r + 1) * 64);
    if (q >= end) return;
    WordStream names = stream_from(st, q, bits);
    WordSink out{reinterpret_cast<uint64_t *>(st) + q * bits / 64, 0, 0, bits};
    // The names read ahead, their bitmap words prefetched: name q + j is ahead[(q + j) % AHEAD].
    uint32_t ahead[RANK_AHEAD];
    for (size_t j = q; j < std::min(end, q + RANK_AHEAD); j++)
      __builtin_prefetch(&f[(ahead[j % RANK_AHEAD] = stream_next(&names)) / 64]);
    for (; q < end; q++) {
      uint32_t at = ahead[q % RANK_AHEAD];
      if (q + RANK_AHEAD < end)
        __builtin_prefetch(&f[(ahead[q % RANK_AHEAD] = stream_next(&names)) / 64]);
      assert(at <= q);
      uint64_t below = f[at / 64].bits & ((uint64_t{1} << (at % 64)) - 1);
      sink_put(&out, has_state(at, p) ? f[at / 64].before + count_bits(below) : count);
    }
    sink_end(&out);
  };
  run_tasks(tasks, b->workers, rank);
  return true;
}

// Gives each position q <= p its prefix's state, or the end of the text, the state count, packed
// `*bits_out` = bits_of(p) apart in `st`: the last round's names are first positions, at most p,
// and packed they leave the naming's peak the bits a position the rest do not use.
bool number_states(Build *b, const WordList *list, uint32_t k, uint32_t *st, Array<FirstMet> *first,
                   size_t *states, unsigned *bits_out) {
  size_t n = list->packed, p = n - k;
  unsigned bits = *bits_out = bits_of(p);
  auto name = [&](Round *r) {
    Names out{st, r->last ? bits : 32};
    if (r->d > 0) return name_round(b, st, r->d, r->m, out, r->last, &r->distinct);
    return name_packed(b, list, r, out);
  };
  if (!name_prefixes(n, k, list->words.size, name)) return false;
  return rank_states(b, st, bits, p, first, states);
}

// Readies `p` for `size` records of two fields of `low` and `high` bits; how many cells they take.
size_t shape_packed(Packed *p, size_t size, unsigned low, unsigned high) {
  assert(low + high <= 64);
  p->size = size;
  p->low = low;
  p->bytes = (low + high + 7) / 8;
  return (size * p->bytes + RECORD_SLACK + 7) / 8;
}

// Packs record i of `p` as `low` and `high`, in its own bytes alone: those past it, of the record
// after, are written before it.  No load, as a load that overlaps the last store would wait for it.
inline void put_over(Packed *p, uint64_t i, uint64_t low, uint64_t high) {
  assert(i < p->size && low >> p->low == 0);
  char *at = reinterpret_cast<char *>(p->cells.data) + i * p->bytes;
  uint64_t v = low | high << p->low;
  if (p->bytes == 8) {
    std::memcpy(at, &v, 8);
    return;
  }
  if (p->bytes & 4) {
    auto w = static_cast<uint32_t>(v);
    std::memcpy(at, &w, 4);
    at += 4, v >>= 32;
  }
  if (p->bytes & 2) {
    auto w = static_cast<uint16_t>(v);
    std::memcpy(at, &w, 2);
    at += 2, v >>= 16;
  }
  if (p->bytes & 1) *at = static_cast<char>(v);
}

// Packs the laid-out chain c of `list` into t, the suffixes in their own block, each state with its
// prefix's last word: for one-word prefixes state w is word w, for longer the s-th first
// position's, and for the end of the text the text's last.  False if memory ran out.
bool pack_chain(const WordList *list, uint32_t k, Laid *c, StateTable *t) {
  size_t count = c->at.size - 1, pairs = c->suffixes.size;
  const uint32_t *at = c->at.data;
  const Suffix *laid = c->suffixes.data;
  uint32_t most = 0;  // a state's last suffix holds its total
  for (size_t s = 0; s < count; s++) most = std::max(most, laid[at[s + 1] - 1].count);
  Packed *x = &t->suffixes;
  size_t cells = shape_packed(x, pairs, bits_of(most), bits_of(count));
  // Each record is written at or below where it was read, in no more than its eight bytes.
  if (!move_block(&x->cells, &c->suffixes, cells)) return false;
  x->cells.size = cells;
  char *out = reinterpret_cast<char *>(x->cells.data);  // in locals: the stores alias all
  for (size_t i = 0, bytes = x->bytes, low = x->low; i < pairs; i++, out += bytes) {
    uint64_t v = laid[i].count | uint64_t{laid[i].next} << low;
    std::memcpy(out, &v, 8);
  }
  shrink_to_fit(&x->cells);
  // The states go over the starts, on pages already faulted in, the block grown where they need
  // more, from the last, so that none covers a start unread: a record of 4 bytes or more stands at
  // or past its start.  Records under 4 bytes (a short text's) go to a block of their own.
  Packed *y = &t->states;
  cells = shape_packed(y, count + 1, bits_of(pairs), bits_of(list->words.size - 1));
  bool over = y->bytes >= sizeof(uint32_t);
  if (over && 2 * cells > c->at.cap && !set_capacity(&c->at, 2 * cells)) return false;
  at = c->at.data;  // growing may have moved it
  if (!(over ? move_block(&y->cells, &c->at, cells) : make_block(&y->cells, cells))) return false;
  y->cells.size = cells;
  size_t s = count;
  put_over(y, s, at[s], id_at(list, word_count(list) - 1));
  if (k == 1)
    for (; s > 0; s--) put_over(y, s - 1, at[s - 1], s - 1);
  else
    for (size_t w = t->first.size; w-- > 0;)
      for (uint64_t bits = t->first.data[w].bits; bits;
           bits &= ~(uint64_t{1} << 63 >> __builtin_clzll(bits))) {
        size_t q = w * 64 + 63 - static_cast<size_t>(__builtin_clzll(bits));
        s--;
        put_over(y, s, at[s], id_at(list, q + k - 1));
      }
  assert(s == 0);
  shrink_to_fit(&y->cells);
  return true;
}

// Gives each state of the one-word chain t its Pick and guide, each guide written from the middle
// of where its suffixes start; none at all where memory ran out, as they only shorten the search.
void guide_picks(StateTable *t) {
  size_t count = state_count(t), pairs = suffixes_at(t, count), widest = 0;
  for (size_t s = 0; s < count; s++)
    widest = std::max<size_t>(widest, suffixes_at(t, s + 1) - suffixes_at(t, s));
  t->guide_bits = bits_of(widest - 1);
  if (!make_block(&t->picks, count + 1) ||
      !make_block(&t->guides, packed_cells(pairs / 2 + 1, t->guide_bits) / 2)) {
    release(&t->picks);
    return;
  }
  t->picks.size = count + 1;
  const char *cells = reinterpret_cast<const char *>(t->suffixes.cells.data);
  const uint64_t bytes = t->suffixes.bytes, counts = (uint64_t{1} << t->suffixes.low) - 1;
  auto count_at = [&](uint64_t i) {  // suffix_count, its shape in locals
    uint64_t r;
    std::memcpy(&r, cells + i * bytes, 8);
    return r & counts;
  };
  for (size_t s = 0; s < count; s++) {
    uint32_t lo = suffixes_at(t, s), n = suffixes_at(t, s + 1) - lo;
    auto total = static_cast<uint32_t>(count_at(lo + n - 1));
    t->picks.data[s] = Pick{lo, total};
    uint64_t slices = guide_slices(n);
    if (slices == 0) continue;
    assert(lo / 2 + slices <= (lo + n) / 2);  // short of the next state's guide
    unsigned shift = guide_shift(total, slices);
    WordSink out = sink_at(t->guides.data, lo / 2, t->guide_bits);
    for (uint64_t c = 0, i = lo; c < slices; c++, sink_put(&out, i - lo))
      while (i + 1 < lo + n && count_at(i) <= c << shift) i++;
    sink_end(&out);
  }
  t->picks.data[count] = Pick{static_cast<uint32_t>(pairs), 0};
}

// Counts the states of one-word prefixes into c->at, zeroed: ids follow first meeting, so state w
// is word w for every word met before the last place, that is all but the last word if it is met
// only there; and the end of the text.  False if memory ran out.
bool number_words(const WordList *list, Laid *c) {
  size_t words = list->words.size, n = word_count(list);
  uint32_t last = id_at(list, n - 1);
  bool only_last = last == words - 1;  // seen nowhere else: sought back from the end
  for (size_t q = n - 1; only_last && q-- > 0;) only_last = id_at(list, q) != last;
  return make_filled(&c->at, words - only_last + 1, 0u);
}

bool build_in_memory(WordList *list, uint32_t k, StateTable *t) {
  t->k = k;
  size_t n = list->ids.size;
  if (n <= k) return true;  // no prefix has a word after it
  size_t p = n - k;
  Laid c{};
  bool ok = true;
  if (k == 1 && p <= SORTED_POSITIONS && !build_plan.partition_bits) {
    // The peak of this build is the text's arrays beside one block: the unused parts of their last
    // huge pages go first.  The sort reads the ids as read, and packs them once done with them.
    trim_block(&list->words, 0);
    ok = number_words(list, &c) && sort_word_suffixes(list, p, &c);
  } else if (!pack_ids(list)) {
    return false;
  } else {
    key_hashes();  // the deals' partitions are picked by hash
    Build b{};
    b.workers = build_workers();
    // The deals' block: pairs (a Suffix each) and, for k >= 2, the keys named before them.
    size_t record = deal_record_bytes(n, k, list->words.size);
    ok = make_block(&c.suffixes, (n * record + sizeof(Suffix) - 1) / sizeof(Suffix));
    b.block = reinterpret_cast<char *>(c.suffixes.data);
    b.block_bytes = c.suffixes.cap * sizeof(Suffix);
    if (k == 1) {
      auto dealt = [] { return true; };
      ok = ok && number_words(list, &c) &&
           collect_suffixes(&b, list->ids.data, list->id_bits, p, c.at.size - 1, dealt, &c);
    } else {
      // Each position's state until the suffixes are dealt, packed as the naming left them (the
      // bits of the states would save a few bits a position for one more pass), with the slack
      // packed reads want; then, in its block, where each state's suffixes start.
      Array<uint32_t> st;
      size_t states = 0;
      unsigned bits = 32;
      ok = ok && make_block(&st, n + PACKED_SLACK / 4) &&
           number_states(&b, list, k, st.data, &t->first, &states, &bits);
      st.size = std::min(st.cap, packed_cells(p + 1, bits));
      shrink_to_fit(&st);  // what it frees is faulted in: it goes back now
      // Its pages stay for the states, packed at the end.
      auto dealt = [&] {
        c.at = st;
        c.at.size = 0;
        st = Array<uint32_t>();
        return states < c.at.cap || set_capacity(&c.at, states + 1);
      };
      ok = ok && collect_suffixes(&b, st.data, bits, p, states, dealt, &c);
      release(&st);
    }
    release(&b);
  }
  ok = ok && pack_chain(list, k, &c, t);
  release(&c);
  if (ok && k == 1) guide_picks(t);
  return ok;
}

}  // namespace

bool build_chain(WordList *list, uint32_t k, StateTable *t) {
  hold_to_budget(true);
  bool ok = list->spilled.fd < 0 && build_in_memory(list, k, t);
  // A last resort: reading decides from an estimate.
  if (!ok) {
    release(t);
    ok = (list->spilled.fd >= 0 || spill_words(list)) && build_spilled(list, k, t);
  }
  hold_to_budget(false);
  return ok;
}

void release(StateTable *t) {
  close_spill(&t->files.prefix_at);
  close_spill(&t->files.suffixes_at);
  close_spill(&t->files.suffixes);
  t->files = ChainFiles();
  release(&t->states.cells);
  release(&t->suffixes.cells);
  t->states = t->suffixes = Packed();
  release(&t->first);
  release(&t->picks);
  release(&t->guides);
}
