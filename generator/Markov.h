// Markov: word reading and the word-level Markov chain of Chatterloom.  Records are plain structs
// referring to each other by 32-bit index, never pointer, so the chain lives in a few large arrays.
// A failed allocation returns false (or NONE), never throws, and the caller gives up there; blocks
// are kept until exit, release() is for tests.  For a text of n words and k-word prefixes:
//   WordList::ids    [n]      each position's word id (in `spilled` for a text larger than memory)
//   WordList::words  [words]  Word{text_at, len}: a distinct word, interned
//   WordList::bytes           each word's text and one blank, the separator printed after it
//        words[id].text_at --> bytes[text_at .. text_at + len]
//
//   StateTable::states    [states + 1]  State{suffixes_at, word}, in order of first meeting; the
//                                       last is the end of the text, which has no suffix
//        suffixes_at(s) --> suffixes[suffixes_at(s) .. suffixes_at(s + 1))
//        state_word(s): the last word of the prefix, printed on stepping into the state
//   StateTable::suffixes  [pairs]       Suffix{count, next}: a distinct state after a state
//        suffix_next(i) --> the state the step leads to; the word it adds is that state's
//   StateTable::first     [n / 64 + 1]  where prefixes are first met: state s's prefix is
//                                       ids[q .. q + k) at the s-th first position q (k >= 2)
//
//   StateTable::picks     [states + 1]  one-word prefixes only: Pick{suffixes_at, total}
//   StateTable::guides    [pairs / 2]   offsets into a state's suffixes, packed `guide_bits` apart
//        suffixes_at(s) / 2 --> state s's guide, if it has one: no more than half its suffixes
//
// States and suffixes are Packed: each record in the whole bytes its two fields need, so a chain
// takes about half of what 32-bit fields would.  A step needs no word of its own: the word after a
// prefix fixes the prefix it leads to, and is that prefix's last.  "Newest first": position n of
// the all-states list is state count - 1 - n (state_at), and a state's suffixes stand in reverse
// order of first meeting.  `count` is the running sum up to and including a suffix, so a state's
// last suffix holds its total and a weighted pick is a binary search.  A chain too large for memory
// is kept in spill files as ChainFiles (Spilled.cpp).
#ifndef CHATTERLOOM_MARKOV_H
#define CHATTERLOOM_MARKOV_H

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Array.h"
#include "Packed.h"
#include "Spill.h"

// The prefix length in words: 2 at start, set once by main.
inline int32_t word_prefix_cnt = 2;

// The most bytes kept of one token; the rest of a longer token is dropped.
constexpr size_t MAX_WORD_LEN = 10000;

// The null index: no word, no state, no suffix.
constexpr uint32_t NONE = UINT32_MAX;

// Word reading

// One distinct word: `len` bytes at WordList::bytes[text_at]; no hash, as prefixes hash word ids.
// Eight bytes: a word is at most MAX_WORD_LEN bytes, and their texts fit 2^50 long before memory.
struct Word {
  uint64_t text_at : 50;
  uint64_t len : 14;
};
static_assert(sizeof(Word) == 8 && MAX_WORD_LEN < (1u << 14), "a word's length fits its field");

// `bytes` keeps WORD_SLACK readable bytes past its end, so a short word copies in one fixed move.
// The ids are read 32 bits each; the in-memory build packs them `id_bits` apart (pack_ids).
struct WordList {
  Array<uint32_t> ids;
  Array<Word> words;
  Array<char> bytes;
  SpillFile spilled;
  unsigned id_bits = 0;  // 0 while the ids are 32-bit
  uint64_t packed = 0;   // how many ids are packed
};
constexpr size_t WORD_SLACK = 16;

inline uint64_t word_count(const WordList *list) {
  if (list->spilled.fd >= 0) return list->spilled.bytes / 4;
  return list->id_bits ? list->packed : list->ids.size;
}

// Id q of a text whose ids are in memory, packed or not.
inline uint32_t id_at(const WordList *list, uint64_t q) {
  assert(list->spilled.fd < 0 && q < word_count(list));
  if (list->id_bits == 0) return list->ids.data[q];
  return packed_id(list->ids.data, q * list->id_bits, list->id_bits);
}

// Calls f(id) for ids [from, to) of a text whose ids are in memory, in order, packed or not.
template <class F>
inline void for_each_id(const WordList *list, uint64_t from, uint64_t to, F f) {
  assert(list->spilled.fd < 0 && from <= to && to <= word_count(list));
  if (list->id_bits == 0) {
    for (uint64_t q = from; q < to; q++) f(list->ids.data[q]);
    return;
  }
  WordStream ids = stream_from(list->ids.data, from, list->id_bits);
  for (uint64_t q = from; q < to; q++) f(stream_next(&ids));
}

// The packed ids from id q in text order, read with stream_next.
inline WordStream read_ids(const WordList *list, uint64_t q) {
  return stream_from(list->ids.data, q, list->id_bits);
}

// The chain

struct Suffix {
  uint32_t count;
  uint32_t next;
};

// 64 positions' first-meeting bits and how many came before: a rank is one cache line away.
struct FirstMet {
  uint64_t bits;
  uint32_t before;
};

// A one-word chain's states are few, one a distinct word, and walked the most, so a step of it
// reads one record of 8 bytes for all it needs of a state: where its suffixes start and their
// total.  A state of GUIDE_MIN suffixes or more also has a guide of `slices` (a power of two, at
// most half its suffixes, so guides placed by where their suffixes start never overlap) slices of
// its total, each 2^shift counts wide.  Entry c of a guide is the first suffix whose running count
// passes c << shift, or the last, so the pick for `rem` lies from entry rem >> shift to the next:
// a few suffixes to search where the whole list may be thousands.
struct Pick {
  uint32_t suffixes_at;  // as the state's record has it
  uint32_t total;        // the state's counts summed; 0 for the end of the text
};
constexpr uint64_t GUIDE_MIN = 16;

// The slices of the guide of a state of n suffixes: from a quarter to a half of n, or none.
inline uint64_t guide_slices(uint64_t n) {
  return n < GUIDE_MIN ? 0 : uint64_t{1} << (std::bit_width(n) - 2);
}

// The width, as a shift, of the narrowest of `slices` slices that cover the counts below `total`.
inline unsigned guide_shift(uint32_t total, uint64_t slices) {
  assert(total > 0 && std::has_single_bit(slices));
  auto wide = static_cast<unsigned>(std::bit_width(total - 1u));
  auto have = static_cast<unsigned>(std::countr_zero(slices));
  return wide > have ? wide - have : 0;
}

// A chain in spill files: each state's first position and first suffix as 64-bit numbers, and the
// Suffix records; a state's word is read from the spilled ids.
struct ChainFiles {
  uint64_t states = 0, suffixes_total = 0;
  SpillFile prefix_at, suffixes_at, suffixes;
};

// The chain of `k`-word prefixes, only what the walk needs: its arrays, or `files` if ids spilled.
struct StateTable {
  uint32_t k = 0;
  Packed states;    // State{suffixes_at, word}: suffixes_at low
  Packed suffixes;  // Suffix{count, next}: count low
  Array<FirstMet> first;
  Array<Pick> picks;  // empty for longer prefixes, or where memory ran short
  Array<uint64_t> guides;
  unsigned guide_bits = 0;
  ChainFiles files;
};

inline uint64_t state_count(const StateTable *t) {
  if (t->files.suffixes.fd >= 0) return t->files.states;
  return t->states.size ? t->states.size - 1 : 0;
}

// Where state s's suffixes start; s may be the end of the text, where the last state's end.
inline uint32_t suffixes_at(const StateTable *t, uint64_t s) {
  return low_field(&t->states, packed_record(&t->states, s));
}

// The word a step into state s prints.
inline uint32_t state_word(const StateTable *t, uint64_t s) {
  return high_field(&t->states, packed_record(&t->states, s));
}

// The running count of suffix i.
inline uint32_t suffix_count(const StateTable *t, uint64_t i) {
  return low_field(&t->suffixes, packed_record(&t->suffixes, i));
}

// Returns the state at 0-based position n of the all-states list, or NONE.
inline uint32_t state_at(const StateTable *t, uint32_t n) {
  uint64_t count = state_count(t);
  return n < count ? static_cast<uint32_t>(count - 1 - n) : NONE;
}

// Output and the walk

struct Random;

// Output to `fd` through the caller's `buf`; once a write fails, `failed` is set and none follows.
struct Output {
  int fd;
  bool failed;
  size_t used, cap;
  char *buf;
};

// Writes out what is buffered; false if the output has failed.
bool flush_output(Output *o);

// Walks the chain from a random start, writing at most `limit` words to `o`; returns how many.
uint64_t walk(const WordList *list, const StateTable *t, int32_t limit, Random *rng, Output *o);

// Reads `path`, builds its chain, prints at most `max_word_output` words; how many, 0 on failure.
int64_t generate(const char *path, int32_t max_word_output);

#endif
