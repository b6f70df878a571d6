// Markov: reads a source text into words, builds the chain and walks it.
#include "Markov.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <ctime>

int32_t word_prefix_cnt = 2;

namespace {

// ---------------------------------------------------------------------------
// Byte classes of the source text

enum : unsigned char { TOKEN, ZERO, SEPARATOR, DROPPED, END };

// True for a class of byte that belongs to a token.
inline bool in_token(unsigned char c) {
  return c <= ZERO;
}

struct ByteClasses {
  unsigned char of[256];
};

constexpr ByteClasses make_classes() {
  ByteClasses c{};
  for (int b = 9; b <= 12; b++) c.of[b] = SEPARATOR;
  c.of[32] = SEPARATOR;
  c.of[13] = DROPPED;  // carriage returns vanish, joining what stands around them
  c.of[26] = END;      // the end-of-text byte: nothing after it is read
  c.of[0] = ZERO;      // part of a token, but it ends the word's text
  return c;
}

constexpr ByteClasses kClass = make_classes();

// Bytes readable past the end of the read buffer and of any text handed to
// new_word, so that tokens are scanned, hashed and compared 8 bytes a step.
constexpr size_t SLACK = 8;

// Where a token that does not lie whole in the read buffer is put together.
unsigned char token_buf[MAX_WORD_LEN + SLACK];

constexpr size_t kReadSize = 1 << 20;

// Reads the next block into an exhausted reader; false at the end of the
// input, which a read error also is.
bool refill(WordReader *r) {
  if (r->done) return false;
  for (;;) {
    ssize_t n = read(r->fd, r->buf, r->cap);
    if (n > 0) {
      r->pos = 0;
      r->end = static_cast<size_t>(n);
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    r->done = true;
    return false;
  }
}

// Marks the input ended at a byte 26.
void end_input(WordReader *r) {
  r->done = true;
  r->pos = r->end;
}

// Goes on with a token that runs past the buffer, holds dropped bytes, is too
// long or ends the input: buffers[start, i) is its beginning.
bool next_word_slow(WordReader *r, Token *t, size_t start, size_t i) {
  size_t len = std::min(i - start, MAX_WORD_LEN);
  std::memcpy(token_buf, r->buf + start, len);
  r->pos = i;
  for (;;) {
    if (r->pos == r->end && !refill(r)) break;
    unsigned char c = kClass.of[r->buf[r->pos]];
    if (in_token(c)) {
      size_t j = r->pos;
      while (j < r->end && in_token(kClass.of[r->buf[j]])) j++;
      size_t keep = std::min(j - r->pos, MAX_WORD_LEN - len);
      std::memcpy(token_buf + len, r->buf + r->pos, keep);
      len += keep;
      r->pos = j;
    } else if (c == DROPPED) {
      r->pos++;
    } else if (c == SEPARATOR) {
      r->pos++;
      break;
    } else {
      end_input(r);
      break;
    }
  }
  const void *zero = std::memchr(token_buf, 0, len);
  if (zero) len = static_cast<size_t>(static_cast<const unsigned char *>(zero) - token_buf);
  token_buf[len] = 0;
  t->text = token_buf;
  t->len = len;
  return true;
}

// The offset of the first byte below 33 in the 8 bytes at p, or 8: the
// bytes that may end a token are all below 33.  (The subtraction flags the
// lowest such byte exactly; its borrow may flag later ones, which are moot.)
inline size_t low_byte_at(const unsigned char *p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  uint64_t low = (v - 0x2121212121212121u) & ~v & 0x8080808080808080u;
  return low ? static_cast<size_t>(__builtin_ctzll(low)) / 8 : 8;
}

// next_word, inlined where words are read.
inline bool next_token(WordReader *r, Token *t) {
  for (;;) {
    if (r->pos == r->end && !refill(r)) return false;
    unsigned char c = kClass.of[r->buf[r->pos]];
    if (in_token(c)) break;
    if (c == END) {
      end_input(r);
      return false;
    }
    r->pos++;
  }
  // Eight bytes a step to the first byte that may end the token; the buffer
  // has SLACK bytes past its end, and the stop is cut back to the end.
  size_t start = r->pos, i = start, step;
  do i += step = low_byte_at(r->buf + i);
  while (step == 8 && i < r->end);
  while (i < r->end && kClass.of[r->buf[i]] == TOKEN) i++;
  // Fast path: the whole token is in the buffer and a separator ends it.
  if (i < r->end && kClass.of[r->buf[i]] == SEPARATOR && i - start <= MAX_WORD_LEN) {
    t->text = r->buf + start;
    t->len = i - start;
    r->pos = i + 1;
    return true;
  }
  return next_word_slow(r, t, start, std::min(i, r->end));
}

// ---------------------------------------------------------------------------
// Hashing

constexpr uint64_t M61 = (uint64_t{1} << 61) - 1;
constexpr uint64_t BASE = 0x0d5a3f1c9e2b4a77 % M61;
__extension__ typedef unsigned __int128 u128;

inline uint64_t mix64(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9u;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebu;
  x ^= x >> 31;
  return x;
}

inline uint64_t mulmod(uint64_t a, uint64_t b) {
  u128 p = static_cast<u128>(a) * b;
  uint64_t s = (static_cast<uint64_t>(p) & M61) + static_cast<uint64_t>(p >> 61);
  return s >= M61 ? s - M61 : s;
}

inline uint64_t addmod(uint64_t a, uint64_t b) {
  uint64_t s = a + b;
  return s >= M61 ? s - M61 : s;
}

// A word id's term in the prefix hash.
inline uint64_t id_term(uint32_t id) {
  uint64_t x = mix64(id) >> 3;  // 61 bits, kept canonical below M61
  return x == M61 ? 0 : x;
}

uint64_t powmod(uint64_t b, uint64_t e) {
  uint64_t r = 1;
  for (; e; e >>= 1, b = mulmod(b, b))
    if (e & 1) r = mulmod(r, b);
  return r;
}

// The first n < 8 bytes at p, read as one 8-byte load (p has SLACK after it).
inline uint64_t load_short(const void *p, size_t n) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v & ((uint64_t{1} << (8 * n)) - 1);
}

// True when the k word ids at a and b are equal; short prefixes are the
// common case, so they are compared inline.
inline bool same_ids(const uint32_t *a, const uint32_t *b, uint32_t k) {
  if (k > 4) return std::memcmp(a, b, size_t{k} * sizeof *a) == 0;
  for (uint32_t j = 0; j < k; j++)
    if (a[j] != b[j]) return false;
  return true;
}

// The intern hash of a word's bytes: 8 bytes a step, well mixed.
uint64_t text_hash(const unsigned char *p, size_t n) {
  uint64_t h = 0x9e3779b97f4a7c15u ^ (n * 0xff51afd7ed558ccdu);
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    h = (h ^ v) * 0xbf58476d1ce4e5b9u;
    h ^= h >> 29;
  }
  return mix64(h ^ load_short(p, n));
}

// Blocks at least this large are worth the advice below.
constexpr size_t LARGE_BLOCK = size_t{4} << 20;

// Asks for the `bytes` at `p`, about to be filled and then probed at random,
// to be backed by huge pages and mapped at once: one fault and one address
// translation per 2 MiB instead of 512.  Advice only: where the system
// declines it, small pages are faulted in as they are touched.
void advise_random_access(void *p, size_t bytes) {
  if (bytes < LARGE_BLOCK) return;
  constexpr uintptr_t HUGE = uintptr_t{2} << 20, PAGE = 4096;
  uintptr_t at = reinterpret_cast<uintptr_t>(p), end = at + bytes;
  uintptr_t b = (at + HUGE - 1) & ~(HUGE - 1), e = end & ~(HUGE - 1);
  if (e > b) madvise(reinterpret_cast<void *>(b), e - b, MADV_HUGEPAGE);
  b = at & ~(PAGE - 1);
  madvise(reinterpret_cast<void *>(b), end - b, MADV_POPULATE_WRITE);
}

// Makes `a` hold `n` entries of `empty`, in a block of at least `bytes`
// whose part past them is left untouched for a later owner; false if
// memory ran out.
template <class T>
bool make_empty(Array<T> *a, size_t n, T empty, size_t bytes = 0) {
  release(a);
  if (n > SIZE_MAX / sizeof(T)) return false;
  bytes = std::max(bytes, n * sizeof(T));
  void *p = std::malloc(bytes ? bytes : 1);
  if (!p) return false;
  *a = Array<T>{static_cast<T *>(p), n, bytes / sizeof(T)};
  advise_random_access(p, n * sizeof(T));
  std::fill(a->data, a->data + n, empty);
  return true;
}

// Doubles an index, re-filing every slot by its tag; false if memory ran out.
template <class S>
bool grow_slots(Array<S> *index) {
  size_t n = index->size ? index->size * 2 : 1024;
  Array<S> bigger;
  S empty{};
  empty.id = NONE;
  if (!make_empty(&bigger, n, empty)) return false;
  for (size_t i = 0; i < index->size; i++) {
    S s = index->data[i];
    if (s.id == NONE) continue;
    size_t pos = s.tag & (n - 1);
    while (bigger.data[pos].id != NONE) pos = (pos + 1) & (n - 1);
    bigger.data[pos] = s;
  }
  release(index);
  *index = bigger;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Word reading

bool next_word(WordReader *r, Token *t) {
  return next_token(r, t);
}

uint32_t word_hash(const unsigned char *text, size_t len) {
  uint32_t h = 0;
  for (size_t i = 0; i < len; i++) h = h * 31u + text[i];
  return h;
}

namespace {

// Files a new word with these bytes in index slot `pos`, found empty by
// intern; NONE if memory ran out.
uint32_t add_word(WordList *list, const unsigned char *text, size_t len, size_t pos,
                  WordSlot slot) {
  uint32_t id = static_cast<uint32_t>(list->words.size);
  if (id == NONE || !reserve(&list->bytes, list->bytes.size + len + 1 + SLACK)) return NONE;
  Word w{list->bytes.size, word_hash(text, len), static_cast<int32_t>(len)};
  if (!push(&list->words, w)) return NONE;
  std::memcpy(list->bytes.data + list->bytes.size, text, len);
  list->bytes.data[list->bytes.size + len] = ' ';
  list->bytes.size += len + 1;
  slot.id = id;
  list->index.data[pos] = slot;
  return id;
}

// new_word, inlined where words are read: a word met before is found here.
inline uint32_t intern(WordList *list, const unsigned char *text, size_t len) {
  if ((list->words.size + 1) * 2 > list->index.size && !grow_slots(&list->index)) return NONE;
  uint64_t h = text_hash(text, len);
  uint32_t tag = static_cast<uint32_t>(h);
  uint64_t head = load_short(text, std::min<size_t>(len, 7));
  if (len >= 8) std::memcpy(&head, text, 8);
  size_t mask = list->index.size - 1, pos = tag & mask;
  for (WordSlot s; (s = list->index.data[pos]).id != NONE; pos = (pos + 1) & mask) {
    if (s.head != head) continue;
    if (len < 8) return s.id;
    const Word &w = list->words.data[s.id];
    if (s.tag == tag && static_cast<size_t>(w.len) == len &&
        std::memcmp(list->bytes.data + w.text, text, len) == 0)
      return s.id;
  }
  return add_word(list, text, len, pos, WordSlot{NONE, tag, head});
}

// Reads every word of `r` into `list`; false if memory ran out.
template <class Next>
bool read_all(WordReader *r, Next next, WordList *list) {
  Token t;
  while (next(r, &t)) {
    uint32_t id = intern(list, t.text, t.len);
    // Positions are 32-bit indices too, so a text of 2^32 - 1 words is too big.
    if (id == NONE || list->at.size >= NONE - 1 || !push(&list->at, id)) return false;
  }
  return true;
}

}  // namespace

uint32_t new_word(WordList *list, const unsigned char *text, size_t len) {
  return intern(list, text, len);
}

bool read_words_fd(int fd, Tokenizer tokenizer, WordList *list) {
  // A small file needs no more than its size (a file that grows meanwhile is
  // still read to its end, in more reads).
  size_t cap = kReadSize;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
      static_cast<uint64_t>(st.st_size) < kReadSize)
    cap = std::max<size_t>(static_cast<size_t>(st.st_size) + 1, 4096);
  WordReader r{fd, static_cast<unsigned char *>(std::malloc(cap + SLACK)), cap, 0, 0, false};
  if (!r.buf) return false;
  std::memset(r.buf + cap, 0, SLACK);
  // The usual tokenizer is called directly, so that it is inlined.
  bool ok = tokenizer == next_word ? read_all(&r, next_token, list) : read_all(&r, tokenizer, list);
  std::free(r.buf);
  return ok;
}

bool read_words(const char *path, Tokenizer tokenizer, WordList *list) {
  int fd;
  do fd = open(path, O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  bool ok = read_words_fd(fd, tokenizer, list);
  close(fd);
  return ok;
}

// ---------------------------------------------------------------------------
// The chain

namespace {

// Moves a prefix hash one word on: drops `out` (weighted by `oldest`), adds `in`.
inline uint64_t roll(uint64_t h, uint32_t out, uint32_t in, uint64_t oldest) {
  return addmod(mulmod(addmod(h, M61 - mulmod(id_term(out), oldest)), BASE), id_term(in));
}

// How many positions ahead the state index is prefetched.
constexpr size_t AHEAD = 16;

// find_state, inlined where states are numbered.
inline uint32_t find_first(const StateTable *t, const uint32_t *ids, const uint32_t *key,
                           uint32_t tag) {
  for (size_t pos = tag & t->mask;; pos = (pos + 1) & t->mask) {
    Slot slot = t->bucket.data[pos];
    if (slot.id == NONE) return NONE;
    if (slot.tag == tag && same_ids(ids + slot.id, key, t->k)) return slot.id;
  }
}

// add_state, inlined where states are numbered.
inline bool file_first(StateTable *t, uint32_t first, uint32_t tag, size_t count) {
  // Linear probing stays short up to three quarters full, and tags make a
  // probe cheap; a fuller table costs far less memory on large texts.
  if (count * 4 > t->bucket.size * 3) {
    if (!grow_slots(&t->bucket)) return false;
    t->mask = t->bucket.size - 1;
  }
  size_t pos = tag & t->mask;
  while (t->bucket.data[pos].id != NONE) pos = (pos + 1) & t->mask;
  t->bucket.data[pos] = Slot{first, tag};
  return true;
}

// new_state, inlined where states are numbered.
inline uint32_t append_state(StateTable *t, uint32_t prefix) {
  if (t->states.size >= NONE - 1 || !push(&t->states, State{prefix, 0})) return NONE;
  return t->count++;
}

// Hands the block of `from` over to `to`, made to hold exactly `want`
// elements, which costs no copy when the block is that large already;
// false if memory ran out, when `from` keeps it.
template <class A, class B>
bool take_over(Array<A> *from, Array<B> *to, size_t want) {
  if (want > SIZE_MAX / sizeof(B)) return false;
  void *p = std::realloc(from->data, want * sizeof(B));
  if (!p) return false;
  *from = Array<A>();
  release(to);
  *to = Array<B>{static_cast<B *>(p), 0, want};
  return true;
}

// Writes the tag of the prefix at each position q <= p to tags[q], and
// returns how many distinct prefixes may start before p: for a long text an
// estimate to a few percent, from a HyperLogLog sketch of their hashes; for
// a short one, where the sketch would cost more than it saves, p itself.
size_t tag_prefixes(const uint32_t *ids, size_t p, size_t k, uint32_t *tags) {
  constexpr int BITS = 12;
  constexpr size_t M = size_t{1} << BITS;
  unsigned char rank[M] = {};
  bool sketch = p > 16 * M;
  uint64_t oldest = powmod(BASE, k - 1), h = prefix_hash(ids, static_cast<uint32_t>(k));
  for (size_t q = 0;; q++) {
    tags[q] = hash_tag(h);
    if (q == p) break;
    if (sketch) {
      // The top bits of the 61-bit hash pick a register; the rest give a rank.
      uint64_t rest = (h << (64 - 61 + BITS)) | (uint64_t{1} << (64 - 61 + BITS - 1));
      unsigned char r = static_cast<unsigned char>(__builtin_clzll(rest) + 1);
      unsigned char &reg = rank[h >> (61 - BITS)];
      if (r > reg) reg = r;
    }
    h = roll(h, ids[q], ids[q + k], oldest);
  }
  if (!sketch) return p;
  double sum = 0;
  size_t zeros = 0;
  for (unsigned char r : rank) {
    sum += 1.0 / static_cast<double>(uint64_t{1} << r);
    zeros += r == 0;
  }
  double e = 0.7213 / (1 + 1.079 / M) * M * M / sum;
  if (e < 2.5 * M && zeros > 0) e = M * std::log(static_cast<double>(M) / zeros);
  return std::min(p, static_cast<size_t>(e));
}

// Gives each position q <= p, p = n - k, the state of the prefix starting
// there: a new state at the first q < p with that prefix; st[p], the text's
// last prefix, is NONE unless it also stands earlier.
bool number_states(const WordList *list, StateTable *t, uint32_t *st, size_t room) {
  const uint32_t *ids = list->at.data;
  size_t k = t->k, p = list->at.size - k;
  if (k == 1) {
    // A one-word prefix is its word: a plain array finds its state.
    Array<uint32_t> of_word;
    if (!make_empty(&t->bucket, 0, Slot{NONE, 0}, room) ||
        !make_empty(&of_word, list->words.size, NONE))
      return false;
    for (size_t q = 0; q < p; q++) {
      uint32_t *s = &of_word.data[ids[q]];
      if (*s == NONE && (*s = append_state(t, static_cast<uint32_t>(q))) == NONE) return false;
      st[q] = *s;
    }
    st[p] = of_word.data[ids[p]];
    release(&of_word);
    return true;
  }
  // The tags go where the states will be; an index sized once for the
  // estimate, with room for its error, is never re-filed (one that fills
  // up grows all the same).
  size_t want = tag_prefixes(ids, p, k, st) * 21 / 20, slots = 1024;
  while (slots * 3 < want * 4) slots *= 2;
  if (!make_empty(&t->bucket, slots, Slot{NONE, 0}, room) || !reserve(&t->states, want))
    return false;
  t->mask = slots - 1;
  // The index finds where a prefix was first met, and that position's
  // state is the state.  The slot of the position AHEAD on is fetched from
  // memory, and halfway there the prefix and state that slot names, so
  // that none is waited for when its position comes up.
  for (size_t q = 0; q <= p; q++) {
    if (q + AHEAD <= p) __builtin_prefetch(&t->bucket.data[st[q + AHEAD] & t->mask]);
    if (q + AHEAD / 2 <= p) {
      uint32_t ahead = st[q + AHEAD / 2];
      Slot mid = t->bucket.data[ahead & t->mask];
      if (mid.tag == ahead && mid.id != NONE) {
        __builtin_prefetch(ids + mid.id);
        __builtin_prefetch(st + mid.id);
      }
    }
    uint32_t tag = st[q], first = find_first(t, ids, ids + q, tag), s = NONE;
    if (first != NONE) {
      s = st[first];
    } else if (q < p) {
      s = append_state(t, static_cast<uint32_t>(q));
      if (s == NONE || !file_first(t, static_cast<uint32_t>(q), tag, t->count)) return false;
    }
    st[q] = s;
  }
  return true;
}

// Lists each state's suffixes, newest first with running counts.  Each
// position's (word, next state) is first dealt to its state's group, in
// text order within a group; then each group is merged in place, a mark
// per word telling whether the group has met that word yet.
bool collect_suffixes(const WordList *list, StateTable *t, const uint32_t *st, uint32_t *start) {
  const uint32_t *ids = list->at.data;
  size_t k = t->k, p = list->at.size - k, count = t->count;
  Array<uint32_t> mark, slot;
  bool ok = make_empty(&mark, list->words.size, NONE) && reserve(&slot, list->words.size);
  if (ok) {
    Suffix *out = t->suffixes.data;
    std::fill(start, start + count + 1, 0u);
    for (size_t q = 0; q < p; q++) start[st[q] + 1]++;
    for (size_t s = 0; s < count; s++) start[s + 1] += start[s];
    // A position met again deals to anywhere: its group's start is fetched
    // 2 * AHEAD positions ahead, and the slot it points at AHEAD ahead.
    for (size_t q = 0; q < p; q++) {
      if (q + 2 * AHEAD < p) __builtin_prefetch(start + st[q + 2 * AHEAD]);
      if (q + AHEAD < p) __builtin_prefetch(out + start[st[q + AHEAD]]);
      out[start[st[q]]++] = Suffix{ids[q + k], 1, st[q + 1]};
    }
    // The deal moved each start to the next group's; the first starts at 0.
    uint32_t base = 0, from = 0;
    for (uint32_t s = 0; s < count; s++) {
      t->states.data[s].suffixes = base;
      if (start[s] - from == 1) {  // most states of a large text are met once
        out[base++] = out[from++];
        continue;
      }
      uint32_t m = 0;
      for (uint32_t i = from; i < start[s]; i++) {
        uint32_t w = out[i].word;
        if (mark.data[w] != s) {
          mark.data[w] = s;
          slot.data[w] = m;
          out[base + m++] = out[i];  // base + m <= i: merging never overtakes the deal
        } else {
          out[base + slot.data[w]].count++;
        }
      }
      std::reverse(out + base, out + base + m);
      for (uint32_t j = 1; j < m; j++) out[base + j].count += out[base + j - 1].count;
      base += m;
      from = start[s];
    }
    t->suffixes.size = base;
  }
  release(&mark);
  release(&slot);
  return ok;
}

}  // namespace

bool new_table(StateTable *t, uint32_t k) {
  *t = StateTable();
  t->k = k;
  if (!grow_slots(&t->bucket)) return false;
  t->mask = t->bucket.size - 1;
  return true;
}

uint64_t prefix_hash(const uint32_t *ids, uint32_t k) {
  uint64_t h = 0;
  for (uint32_t j = 0; j < k; j++) h = addmod(mulmod(h, BASE), id_term(ids[j]));
  return h;
}

uint32_t find_state(const StateTable *t, const WordList *list, const uint32_t *key, uint32_t tag) {
  return find_first(t, list->at.data, key, tag);
}

bool add_state(StateTable *t, uint32_t first, uint32_t tag, size_t count) {
  return file_first(t, first, tag, count);
}

uint32_t new_state(StateTable *t, uint32_t prefix) {
  return append_state(t, prefix);
}

bool build_chain(const WordList *list, StateTable *t) {
  size_t n = list->at.size, k = t->k;
  if (n <= k) return true;  // no prefix has a word after it
  // The state index is made in a block large enough for what takes it over
  // once the states are known: a suffix per position, then the group
  // starts.  Its pages, mapped once, so serve twice.
  size_t p = n - k, room = p + (p + 3) / 3;  // in suffixes; a group start is a third
  Array<uint32_t> st;
  bool ok = reserve(&st, p + 1) && number_states(list, t, st.data, room * sizeof(Suffix)) &&
            take_over(&t->bucket, &t->suffixes, room);
  release(&t->bucket);
  ok = ok && collect_suffixes(list, t, st.data, reinterpret_cast<uint32_t *>(t->suffixes.data + p));
  release(&st);
  return ok;
}

// ---------------------------------------------------------------------------
// Random source, output and the walk

void seed_random(Random *r, uint32_t s) {
  r->state = s;
  draw(r);
}

uint32_t draw_below(Random *r, uint64_t n) {
  if (n <= 32768) return draw(r) % static_cast<uint32_t>(n);
  uint64_t d1 = draw(r), d2 = draw(r), d3 = draw(r);
  return static_cast<uint32_t>(((d1 << 30) | (d2 << 15) | d3) % n);
}

bool flush_output(Output *o) {
  size_t done = 0;
  while (!o->failed && done < o->used) {
    ssize_t n = write(o->fd, o->buf + done, o->used - done);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n < 0 && errno != EINTR)
      o->failed = true;
  }
  o->used = 0;
  return !o->failed;
}

namespace {

inline void put_word(Output *o, const WordList *list, uint32_t id) {
  const Word &w = list->words.data[id];
  put_bytes(o, list->bytes.data + w.text, static_cast<size_t>(w.len) + 1);  // with its blank
}

}  // namespace

uint64_t walk(const WordList *list, const StateTable *t, int32_t limit, Random *rng, Output *o) {
  uint32_t k = t->k;
  if (t->count == 0 || limit <= 0) return 0;
  uint32_t s = state_at(t, draw_below(rng, t->count));
  uint64_t max = static_cast<uint64_t>(limit);
  uint64_t printed = std::min<uint64_t>(k, max);
  const uint32_t *start = list->at.data + t->states.data[s].prefix;
  for (uint64_t j = 0; j < printed; j++) put_word(o, list, start[j]);
  if (printed < k) return printed;
  const Suffix *all = t->suffixes.data;
  while (printed < max && !o->failed) {
    const Suffix *lo = all + t->states.data[s].suffixes;
    const Suffix *hi =
        s + 1 < t->count ? all + t->states.data[s + 1].suffixes : all + t->suffixes.size;
    uint32_t rem = draw_below(rng, hi[-1].count);
    // The first suffix, newest first, whose running count passes the draw.
    const Suffix *f =
        std::upper_bound(lo, hi, rem, [](uint32_t r, const Suffix &x) { return r < x.count; });
    put_word(o, list, f->word);
    printed++;
    s = f->next_state;
    if (s == NONE) break;
  }
  return printed;
}

int64_t generate(const char *path, int32_t max_word_output) {
  static WordList list;
  static StateTable table;
  static Output out{1, false, 0, {}};
  uint32_t k = static_cast<uint32_t>(word_prefix_cnt);
  if (!read_words(path, next_word, &list) || !new_table(&table, k) || !build_chain(&list, &table))
    return 0;
  Random rng;
  seed_random(&rng, static_cast<uint32_t>(std::time(nullptr)));
  uint64_t printed = walk(&list, &table, max_word_output, &rng, &out);
  if (!flush_output(&out)) return 0;
  return static_cast<int64_t>(printed);
}
