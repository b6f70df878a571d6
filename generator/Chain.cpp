// The chain build, from a text's word ids to its states and suffixes.  Every pass reads and writes
// the text's arrays in order; what must be found at random is found in a partition whose table fits
// in a core's cache (Deal.h).  The ids are first packed to the bits their words need.  Two steps:
//   numbering  Each position q <= p = n - k gets its prefix's state, named exactly in rounds
//              (name_prefixes), each round's names going back to text order a span at a time.
//              The last names each prefix by its first position; the states are the first
//              positions below p, numbered by rank, with no global index.
//   suffixes   Positions are dealt as pairs (state, next state) by ranges of states, and in each
//              partition the pairs are counted and laid out (Suffixes.cpp).
//
// Peak bytes a word, past the text's packed ids: the deals' block (8, or 12 for keys too wide to
// share 64 bits with a position) and each position's state (4).
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

// Packs the in-memory ids of `list` to the bits its words need, in place, giving back the rest;
// false, leaving them as they were, if memory ran out.
bool pack_ids(WordList *list) {
  assert(list->id_bits == 0 && list->spilled.fd < 0);
  size_t n = list->ids.size, words = list->words.size;
  unsigned bits = std::max(1u, static_cast<unsigned>(std::bit_width(words ? words - 1 : 0)));
  size_t at = 0, cells = 2 * ((n * bits + 63) / 64) + PACKED_SLACK / 4;  // in 32-bit ids
  if (cells > list->ids.cap && !set_capacity(&list->ids, cells)) return false;
  // Written a 64-bit word at a time behind the reading: word w is written once ids past its 64
  // bits, 32 at least each, are read, so it never covers one unread.
  auto *out = reinterpret_cast<uint64_t *>(list->ids.data);
  uint64_t acc = 0;
  unsigned fill = 0;
  for (size_t q = 0; q < n; q++) {
    uint64_t id = list->ids.data[q];
    acc |= id << fill;
    fill += bits;
    if (fill >= 64) {
      out[at++] = acc;
      fill -= 64;
      acc = fill ? id >> (bits - fill) : 0;
    }
  }
  if (fill) out[at++] = acc;
  assert(2 * at + PACKED_SLACK / 4 == cells);
  std::memset(out + at, 0, PACKED_SLACK);
  list->ids.size = cells;
  shrink_to_fit(&list->ids);
  trim_block(&list->ids, 0);  // the huge page the 32-bit ids filled, now part empty
  list->id_bits = bits;
  list->packed = n;
  return true;
}

// The bits set in x: one instruction where the target has it, else inline steps, not a call.
inline uint32_t count_bits(uint64_t x) {
#ifdef __POPCNT__
  return static_cast<uint32_t>(__builtin_popcountll(x));
#else
  x -= (x >> 1) & 0x5555555555555555u;
  x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fu;
  return static_cast<uint32_t>((x * 0x0101010101010101u) >> 56);
#endif
}

// How far ahead the rank prefetches: its loads land anywhere in the bitmap, and the core alone
// keeps too few in flight.
constexpr size_t RANK_AHEAD = 32;

// Turns each first position st[q] into its state, the rank of the first positions below p, leaving
// their bitmap in `first` and their number in `states`; false if memory ran out.
bool rank_states(Build *b, uint32_t *st, size_t p, Array<FirstMet> *first, size_t *states) {
  size_t words = p / 64 + 1;
  if (!make_block(first, words)) return false;
  first->size = words;
  FirstMet *f = first->data;
  size_t tasks = range_tasks(b->workers);
  auto mark = [&](size_t r, unsigned) {
    for (size_t w = range_start(words, tasks, r), end = range_start(words, tasks, r + 1); w < end;
         w++) {
      uint64_t bits = 0;
      for (size_t q = w * 64, last = std::min(p, q + 64); q < last; q++)
        bits |= uint64_t{st[q] == q} << (q % 64);
      f[w].bits = bits;
    }
  };
  run_tasks(tasks, b->workers, mark);
  uint32_t count = 0;
  for (size_t w = 0; w < words; w++) {
    f[w].before = count;
    count += count_bits(f[w].bits);
  }
  *states = count;
  auto rank = [&](size_t r, unsigned) {
    for (size_t q = range_start(p + 1, tasks, r), end = range_start(p + 1, tasks, r + 1); q < end;
         q++) {
      if (q + RANK_AHEAD < end) __builtin_prefetch(&f[st[q + RANK_AHEAD] / 64]);
      uint32_t at = st[q];
      assert(at <= q);
      uint64_t below = f[at / 64].bits & ((uint64_t{1} << (at % 64)) - 1);
      st[q] = has_state(at, p) ? f[at / 64].before + count_bits(below) : NONE;
    }
  };
  run_tasks(tasks, b->workers, rank);
  return true;
}

// Makes the states from the bitmap of first meetings, each with its prefix's last word, and the end
// of the text; false if memory ran out.
bool make_states(const WordList *list, uint32_t k, const Array<FirstMet> *first, size_t states,
                 StateTable *t) {
  if (!reserve(&t->states, states + 1)) return false;
  for (size_t w = 0; w < first->size; w++)
    for (uint64_t bits = first->data[w].bits; bits; bits &= bits - 1) {
      size_t q = w * 64 + static_cast<size_t>(__builtin_ctzll(bits));
      t->states.data[t->states.size++] = State{0, id_at(list, q + k - 1)};
    }
  assert(t->states.size == states);
  t->states.data[t->states.size++] = State{0, id_at(list, list->packed - 1)};
  return true;
}

// Gives each position q <= p its prefix's state, or NONE.
bool number_states(Build *b, const WordList *list, uint32_t k, uint32_t *st, Array<FirstMet> *first,
                   size_t *states) {
  size_t n = list->packed, p = n - k;
  auto name = [&](Round *r) {
    if (r->d > 0) return name_round(b, st, r->d, r->m, st, r->last, &r->distinct);
    return name_packed(b, list, r, st);
  };
  if (!name_prefixes(n, k, list->words.size, name)) return false;
  return rank_states(b, st, p, first, states);
}

// Makes the states of one-word prefixes: ids follow first meeting, so state w is word w for every
// word met before the last place, that is all but the last word if it is met only there; then the
// end of the text.  False if memory ran out.
bool number_words(const WordList *list, StateTable *t) {
  size_t words = list->words.size, n = list->packed;
  uint32_t last = id_at(list, n - 1);
  bool only_last = last == words - 1;  // seen nowhere else: sought back from the end
  for (size_t q = n - 1; only_last && q-- > 0;) only_last = id_at(list, q) != last;
  if (!set_capacity(&t->states, words + 1)) return false;
  for (size_t w = 0; w < words - only_last; w++)
    t->states.data[t->states.size++] = State{0, static_cast<uint32_t>(w)};
  t->states.data[t->states.size++] = State{0, last};
  return true;
}

bool build_in_memory(WordList *list, uint32_t k, StateTable *t) {
  t->k = k;
  size_t n = list->ids.size;
  if (n <= k) return true;  // no prefix has a word after it
  if (!pack_ids(list)) return false;
  size_t p = n - k;
  if (k == 1 && p <= SORTED_POSITIONS && !build_plan.partition_bits) {
    // The peak of this build is the text's arrays beside one block: the unused parts of their last
    // huge pages go first.
    trim_block(&list->words, 0);
    bool ok = number_words(list, t) && sort_word_suffixes(list, p, t);
    if (ok) shrink_to_fit(&t->suffixes);
    return ok;
  }
  key_hashes();  // the deals' partitions are picked by hash
  Build b{};
  b.workers = build_workers();
  // The deals' block: pairs (a Suffix each) and, for k >= 2, the keys named before them.
  size_t record = deal_record_bytes(n, k, list->words.size);
  bool ok = make_block(&t->suffixes, (n * record + sizeof(Suffix) - 1) / sizeof(Suffix));
  b.block = reinterpret_cast<char *>(t->suffixes.data);
  b.block_bytes = t->suffixes.cap * sizeof(Suffix);
  if (k == 1) {
    auto made = [] { return true; };
    auto state = [&](size_t q) { return id_at(list, q); };
    auto next = [&](size_t q) { return id_at(list, q + 1); };
    ok = ok && number_words(list, t) &&
         collect_suffixes(&b, state, next, p, state_count(t), made, t);
  } else {
    // Each position's state until the suffixes are dealt; then the states, in its block if it fits.
    Array<uint32_t> st;
    Array<FirstMet> first;
    size_t states = 0;
    ok = ok && make_block(&st, n) && number_states(&b, list, k, st.data, &first, &states);
    auto dealt = [&] {
      // Its pages are already faulted in; those past the states go back.
      if (move_block(&t->states, &st, states + 1))
        set_capacity(&t->states, states + 1);
      else
        release(&st);
      return make_states(list, k, &first, states, t);
    };
    const uint32_t *at = st.data;
    auto state = [&](size_t q) { return at[q]; };
    auto next = [&](size_t q) { return at[q + 1]; };
    ok = ok && collect_suffixes(&b, state, next, p, states, dealt, t);
    release(&st);
    t->first = first;  // the walk finds its start's prefix there
  }
  release(&b);
  if (ok) shrink_to_fit(&t->suffixes);
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
  release(&t->states);
  release(&t->suffixes);
  release(&t->first);
}
