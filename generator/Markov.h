// Markov: word reading and the word-level Markov chain of Chatterloom.
//
// Every record here is a plain struct and every operation a free function.
// Records refer to each other by 32-bit index, never by pointer, so the
// chain lives in a few large arrays.  Arrays grow with realloc: a failed
// allocation comes back as false (or NONE), never as an exception, and the
// caller gives up at that point.  All memory lives until the process ends.
#ifndef CHATTERLOOM_MARKOV_H
#define CHATTERLOOM_MARKOV_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// The prefix length in words: 2 at start, set once by main.
extern int32_t word_prefix_cnt;

// The most bytes kept of one token; the rest of a longer token is dropped.
constexpr size_t MAX_WORD_LEN = 10000;

// The null index: no word, no state, no suffix.
constexpr uint32_t NONE = UINT32_MAX;

// A growable array of plain records; owns `data`, which realloc may move.
template <class T>
struct Array {
  T *data = nullptr;
  size_t size = 0;
  size_t cap = 0;
};

// Makes room for at least `want` elements in all; false if memory ran out.
template <class T>
bool reserve(Array<T> *a, size_t want) {
  if (want <= a->cap) return true;
  size_t cap = a->cap ? a->cap : 16;
  while (cap < want) cap *= 2;
  if (cap > SIZE_MAX / sizeof(T)) return false;
  void *p = std::realloc(a->data, cap * sizeof(T));
  if (!p) return false;
  a->data = static_cast<T *>(p);
  a->cap = cap;
  return true;
}

// Appends `v`; false if memory ran out (the array is then unchanged).
template <class T>
inline bool push(Array<T> *a, const T &v) {
  if (a->size == a->cap && !reserve(a, a->size + 1)) return false;
  a->data[a->size++] = v;
  return true;
}

// Frees the array's block and leaves it empty.
template <class T>
void release(Array<T> *a) {
  std::free(a->data);
  *a = Array<T>();
}

// ---------------------------------------------------------------------------
// Word reading

// One distinct word: `text` is its offset in WordList::bytes; `hash` is
// word_hash of it; `len` its byte count.
struct Word {
  uint64_t text;
  uint32_t hash;
  int32_t len;
};

// One slot of an open-addressed index (of words, or of states): the id it
// finds (NONE when empty) and the low bits of its key's hash, so that most
// probes that miss need no key compare.
struct Slot {
  uint32_t id;
  uint32_t tag;
};

// One slot of the word index: a Slot, and the word's first 8 bytes, zero
// filled past its end.  No word holds a zero byte, so for a word under 8
// bytes `head` is the whole word and a match needs nothing more.
struct WordSlot {
  uint32_t id;
  uint32_t tag;
  uint64_t head;
};

// The words of a source text.  `at` holds a word id per token in text order;
// equal texts share one interned Word, found through the open-addressed
// table `index`.  Each word's bytes stand in `bytes` followed by one blank,
// the separator that is printed after it.
struct WordList {
  Array<uint32_t> at;
  Array<Word> words;
  Array<char> bytes;
  Array<WordSlot> index;
};

// A buffered reader over one open file descriptor.  `done` is set at the end
// of the file, at a read error and at the first byte 26.
struct WordReader {
  int fd;
  unsigned char *buf;
  size_t cap, pos, end;
  bool done;
};

// The token that next_word found: `len` bytes at `text` (at most
// MAX_WORD_LEN), valid until the next call.
struct Token {
  const unsigned char *text;
  size_t len;
};

using Tokenizer = bool (*)(WordReader *, Token *);

// Finds the next token of `r`, its text cut at its first zero byte: false
// when the input ends before one starts.  Byte 13 is dropped wherever it
// stands; 9, 10, 11, 12 and 32 separate.
bool next_word(WordReader *r, Token *t);

// The word hash of `len` bytes: h = h * 31 + byte over unsigned bytes, mod 2^32.
uint32_t word_hash(const unsigned char *text, size_t len);

// Returns the id of the word with these bytes, adding it if new; NONE if
// memory ran out.  Up to 7 bytes past the text are read (not used), so the
// text must lie in a buffer with that much room after it.
uint32_t new_word(WordList *list, const unsigned char *text, size_t len);

// Reads every token of the open descriptor `fd` in one pass into `list`;
// false if memory ran out.
bool read_words_fd(int fd, Tokenizer tokenizer, WordList *list);

// Opens `path` and reads its words as read_words_fd does; false if the file
// cannot be opened or memory ran out.
bool read_words(const char *path, Tokenizer tokenizer, WordList *list);

// ---------------------------------------------------------------------------
// The chain

// A distinct prefix.  `prefix` is the position in WordList::at where it was
// first met with a word after it; its suffixes are entries `suffixes` up to
// the next state's `suffixes` of StateTable::suffixes.  States are kept in
// creation order, so the all-states list (newest first) is the state array
// read from its end.
struct State {
  uint32_t prefix;
  uint32_t suffixes;
};

// A word seen after a state's prefix.  A state's suffixes stand newest
// first; `count` is the running sum of the counts up to and including this
// one, so a weighted pick is one binary search.  `next_state` is the state
// of the prefix that the word leads to, or NONE where that has no state.
struct Suffix {
  uint32_t word;
  uint32_t count;
  uint32_t next_state;
};

// The chain for prefixes of `k` words.  While it is built, `bucket` (with
// `mask` = slots - 1) finds where a prefix was first met; `count` states.
struct StateTable {
  uint32_t k;
  Array<Slot> bucket;
  size_t mask;
  Array<State> states;
  uint32_t count;
  Array<Suffix> suffixes;
};

// Sets up an empty table for prefixes of k words; false if memory ran out.
bool new_table(StateTable *t, uint32_t k);

// The 61-bit prefix hash of word ids ids[0..k-1]: order-sensitive, no
// cancellation (a polynomial over well-mixed word ids modulo 2^61 - 1).
uint64_t prefix_hash(const uint32_t *ids, uint32_t k);

// The 32 bits of a prefix hash that the state index files a prefix by.
inline uint32_t hash_tag(uint64_t h) {
  return static_cast<uint32_t>(h ^ (h >> 29));
}

// Returns the position where the prefix equal to the t->k ids at `key`,
// whose hash has the tag `tag`, was first met, or NONE if it was not.
uint32_t find_state(const StateTable *t, const WordList *list, const uint32_t *key, uint32_t tag);

// Indexes the prefix first met at position `first` under `tag`, growing
// the index to hold `count` prefixes; false if memory ran out.
bool add_state(StateTable *t, uint32_t first, uint32_t tag, size_t count);

// Appends a state first met at position `prefix`; returns it, or NONE if
// memory ran out.
uint32_t new_state(StateTable *t, uint32_t prefix);

// Returns the state at 0-based position n of the all-states list, or NONE.
inline uint32_t state_at(const StateTable *t, uint32_t n) {
  return n < t->count ? t->count - 1 - n : NONE;
}

// Builds the chain of t->k word prefixes over `list`; false if memory ran
// out.  The state index is freed once the states are known.
bool build_chain(const WordList *list, StateTable *t);

// ---------------------------------------------------------------------------
// Random source and output

// The chain's random source: a 32-bit linear congruential state.
struct Random {
  uint32_t state;
};

// Seeds with `s` and makes the one discarded draw.
void seed_random(Random *r, uint32_t s);

// One draw: 15 bits, 0 to 32767.
inline uint32_t draw(Random *r) {
  r->state = r->state * 22695477u + 1u;
  return (r->state >> 16) & 0x7fff;
}

// A draw reduced modulo n (1 <= n <= 2^32): one draw when n <= 32768, else
// three draws combined into 45 bits.
uint32_t draw_below(Random *r, uint64_t n);

// Buffered output to a file descriptor; `failed` once a write has failed,
// after which nothing more is written.
struct Output {
  int fd;
  bool failed;
  size_t used;
  char buf[1 << 16];
};

// Writes out what is buffered; false if the output has failed.
bool flush_output(Output *o);

// Buffers `len` bytes (at most the buffer's size), flushing as needed.
inline void put_bytes(Output *o, const char *s, size_t len) {
  if (o->used + len > sizeof o->buf && !flush_output(o)) return;
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
