// Markov: word reading and the word-level Markov chain of Chatterloom.
//
// Records are plain structs and operations free functions.  Records refer
// to each other by 32-bit index, never by pointer, so the whole chain lives
// in a few large arrays.  A failed allocation comes back as false (or NONE),
// never as an exception, and the caller gives up at that point.  The
// programs keep every block until exit; release() is for tests.
//
// The layout, for a text of n words and prefixes of k words:
//
//   WordList::ids    [n]      the word id at each position of the text (or,
//                             for a text larger than memory, WordList::spilled)
//   WordList::words  [words]  Word{text_at, len}: a distinct word, interned
//   WordList::bytes           each word's text followed by one blank, the
//                             separator printed after it
//        words[id].text_at --> bytes[text_at .. text_at + len]
//
//   StateTable::states    [states]  State{prefix_at, suffixes_at}, in
//                                   creation order: the order of each
//                                   prefix's first position
//        states[s].prefix_at --> ids[prefix_at .. prefix_at + k]
//        states[s].suffixes_at --> suffixes[suffixes_at .. end), where end
//                                  is states[s + 1].suffixes_at, or
//                                  suffixes.size for the last state
//   StateTable::suffixes  [pairs]   Suffix{word, count, next_state}: one per
//                                   distinct word met after a state's prefix
//        suffixes[i].next_state --> states[...]: the state of the prefix
//                                   the word leads to, NONE if it has none
//
// "Newest first": the all-states list is the states newest first, so its
// position n is states[size - 1 - n] (state_at); a state's suffixes stand
// in the order of their first meeting, latest first.  `count` is the
// running sum of the counts up to and including a suffix, so the last
// suffix of a state holds its total and a weighted pick is a binary search.
//
// A chain too large for memory is built from spilled ids into spill files
// (Spilled.cpp) and kept there, as ChainFiles: the same arrays with 64-bit
// indices, read by the walk only where it steps.
#ifndef CHATTERLOOM_MARKOV_H
#define CHATTERLOOM_MARKOV_H

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Array.h"
#include "Budget.h"
#include "Spill.h"

// The prefix length in words: 2 at start, set once by main.
extern int32_t word_prefix_cnt;

// The most bytes kept of one token; the rest of a longer token is dropped.
constexpr size_t MAX_WORD_LEN = 10000;

// The null index: no word, no state, no suffix.
constexpr uint32_t NONE = UINT32_MAX;

// ---------------------------------------------------------------------------
// Word reading

// One distinct word: `len` bytes at WordList::bytes[text_at].  Prefixes are
// hashed over word ids, so a word carries no hash of its own.
struct Word {
  uint64_t text_at;
  uint32_t len;
};

// `bytes` keeps WORD_SLACK readable bytes past its end, so that a short
// word is copied out with one fixed-size move.  A text whose build does not
// fit in memory has its ids in `spilled`, 4 bytes each, and `ids` empty.
struct WordList {
  Array<uint32_t> ids;
  Array<Word> words;
  Array<char> bytes;
  SpillFile spilled;
};
constexpr size_t WORD_SLACK = 16;

// The number of words in the text.
inline uint64_t word_count(const WordList *list) {
  return list->spilled.fd >= 0 ? list->spilled.bytes / 4 : list->ids.size;
}

// Reads every word of the open descriptor `fd`, in one pass, into the empty
// `list`; false if memory ran out.  A read error ends the input as its end
// does.
bool read_words_fd(int fd, WordList *list);

// Opens `path` and reads its words as read_words_fd does; false if the file
// cannot be opened or memory ran out.
bool read_words(const char *path, WordList *list);

// Moves the ids of `list` that are still in memory to its spill file,
// making it first; false if the file cannot be made or written.
bool spill_words(WordList *list);

// Frees what `list` holds and leaves it empty.
void release(WordList *list);

// ---------------------------------------------------------------------------
// The chain

struct State {
  uint32_t prefix_at;
  uint32_t suffixes_at;
};

struct Suffix {
  uint32_t word;
  uint32_t count;
  uint32_t next_state;
};

// A chain kept in spill files: `prefix_at` and `suffixes_at` hold each
// state's fields as 64-bit numbers, `suffixes` its Suffix records.
struct ChainFiles {
  uint64_t states = 0, suffixes_total = 0;
  SpillFile prefix_at, suffixes_at, suffixes;
};

// The chain of prefixes of `k` words: what the walk needs, and no more.
// Its arrays, or, where the text's ids were spilled, `files`.
struct StateTable {
  uint32_t k = 0;
  Array<State> states;
  Array<Suffix> suffixes;
  ChainFiles files;
};

// How the build divides its work; 0 picks from the text and the machine.
// The output never depends on them: tests set them to prove it.
struct BuildPlan {
  unsigned workers;         // threads, the caller among them
  unsigned partition_bits;  // log2 of the partitions of each deal
  unsigned read_parts;      // parts a regular file is read in
  size_t budget;            // bytes of memory the build may use, else found
  unsigned span_bits;       // log2 of the positions written back at a time
};
extern BuildPlan build_plan;

// The most bytes the in-memory build holds per word of the text: its ids
// (4), the dealt records (12) and each position's state (4) or, once those
// are read, the states (8).
constexpr size_t BUILD_BYTES_PER_WORD = 24;

// The threads the build and the reading use: as many as the cores this
// process may run on, within a bound and the process's memory limits, unless
// the plan says otherwise.
unsigned build_workers();

// The bytes the process may hold: the plan's budget, or else the one found
// from the system now.
size_t plan_budget();

// Builds into the empty `t` the chain of k-word prefixes of `list`; false
// if memory ran out.  A text of k words or fewer has no states.  A text
// whose ids were spilled is built in spill files.
bool build_chain(const WordList *list, uint32_t k, StateTable *t);

// Builds the chain of a text whose ids were spilled into t->files, a group
// of states at a time within the memory budget; false if memory ran out or
// a spill file failed.
bool build_spilled(const WordList *list, uint32_t k, StateTable *t);

// Frees what `t` holds and leaves it empty.
void release(StateTable *t);

// Returns the state at 0-based position n of the all-states list, or NONE.
inline uint32_t state_at(const StateTable *t, uint32_t n) {
  return n < t->states.size ? static_cast<uint32_t>(t->states.size) - 1 - n : NONE;
}

// Returns the number of states of the chain, in memory or in files.
inline uint64_t state_count(const StateTable *t) {
  return t->files.suffixes.fd >= 0 ? t->files.states : t->states.size;
}

// ---------------------------------------------------------------------------
// Output and the walk

struct Random;

// Buffered output to a file descriptor through the caller's `buf` of `cap`
// bytes; `failed` once a write has failed, after which nothing more is
// written.
struct Output {
  int fd;
  bool failed;
  size_t used, cap;
  char *buf;
};

// Writes out what is buffered; false if the output has failed.
bool flush_output(Output *o);

// Buffers `len` bytes (at most o->cap), flushing as needed.
inline void put_bytes(Output *o, const char *s, size_t len) {
  assert(len <= o->cap);
  if (o->used + len > o->cap && !flush_output(o)) return;
  std::memcpy(o->buf + o->used, s, len);
  o->used += len;
}

// Walks the chain from a start state drawn with `rng`, writing at most
// `limit` words to `o`, each followed by a blank; returns the words written.
uint64_t walk(const WordList *list, const StateTable *t, int32_t limit, Random *rng, Output *o);

// Reads `path`, builds the chain of word_prefix_cnt, seeds from the clock
// and prints at most `max_word_output` words; returns how many were printed
// (0 when nothing could be, or when standard output failed).
int64_t generate(const char *path, int32_t max_word_output);

#endif
