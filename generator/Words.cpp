// Word reading: splits a source text into words and interns them.
//
// The text is read once, in large blocks, and split in place: a token that
// lies whole in the block and ends at a separator is handed on where it
// stands; one that crosses a block, holds a dropped byte, runs too long or
// ends the input is put together in a buffer of its own.  Equal words share
// one id, found through an open-addressed index that lives only while the
// text is read.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "Hash.h"
#include "Markov.h"

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

constexpr ByteClasses BYTE_CLASS = make_classes();

// The block read at once; a smaller regular file gets a buffer of its size.
constexpr size_t READ_SIZE = 1 << 20;

// A buffered reader over one open file descriptor.  `buf` has SLACK bytes
// past `cap`.  `done` is set at the end of the input, at a read error and
// at the first byte 26.
struct WordReader {
  int fd;
  unsigned char *buf;
  size_t cap, pos, end;
  bool done;
};

// A token: `len` bytes at `text` (at most MAX_WORD_LEN, SLACK readable past
// them), valid until the next token is read.
struct Token {
  const unsigned char *text;
  size_t len;
};

// Where a token that does not lie whole in the read buffer is put together.
unsigned char token_buf[MAX_WORD_LEN + SLACK];

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
// long or ends the input: buf[start, i) is its beginning.
bool next_word_slow(WordReader *r, Token *t, size_t start, size_t i) {
  size_t len = std::min(i - start, MAX_WORD_LEN);
  std::memcpy(token_buf, r->buf + start, len);
  r->pos = i;
  for (;;) {
    if (r->pos == r->end && !refill(r)) break;
    unsigned char c = BYTE_CLASS.of[r->buf[r->pos]];
    if (in_token(c)) {
      size_t j = r->pos;
      while (j < r->end && in_token(BYTE_CLASS.of[r->buf[j]])) j++;
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

// Finds the next token of `r`, its text cut at its first zero byte: false
// when the input ends before one starts.  Byte 13 is dropped wherever it
// stands; 9, 10, 11, 12 and 32 separate; byte 26 ends the input.
inline bool next_word(WordReader *r, Token *t) {
  for (;;) {
    if (r->pos == r->end && !refill(r)) return false;
    unsigned char c = BYTE_CLASS.of[r->buf[r->pos]];
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
  while (i < r->end && BYTE_CLASS.of[r->buf[i]] == TOKEN) i++;
  // Fast path: the whole token is in the buffer and a separator ends it.
  if (i < r->end && BYTE_CLASS.of[r->buf[i]] == SEPARATOR && i - start <= MAX_WORD_LEN) {
    t->text = r->buf + start;
    t->len = i - start;
    r->pos = i + 1;
    return true;
  }
  return next_word_slow(r, t, start, std::min(i, r->end));
}

// ---------------------------------------------------------------------------
// Interning

// One slot of the word index: the word's id (NONE when empty), the low
// bits of its text hash, and its first 8 bytes, zero filled past its end.
// No word holds a zero byte, so for a word under 8 bytes `head` is the
// whole word and a match needs nothing more.
struct WordSlot {
  uint32_t id;
  uint32_t tag;
  uint64_t head;
};

// The index is kept at most half full: probes stay short.
inline bool word_index_full(size_t words, size_t slots) {
  return (words + 1) * 2 > slots;
}

// Doubles the word index, re-filing every slot by its tag; false if memory
// ran out.
bool grow_word_index(Array<WordSlot> *index) {
  size_t n = index->size ? index->size * 2 : 1024;
  Array<WordSlot> bigger;
  if (!make_filled(&bigger, n, WordSlot{NONE, 0, 0})) return false;
  for (size_t i = 0; i < index->size; i++) {
    WordSlot s = index->data[i];
    if (s.id == NONE) continue;
    size_t pos = s.tag & (n - 1);
    while (bigger.data[pos].id != NONE) pos = (pos + 1) & (n - 1);
    bigger.data[pos] = s;
  }
  release(index);
  *index = bigger;
  return true;
}

// Files a new word with these bytes in index slot `pos`, found empty by
// new_word; NONE if memory ran out.
uint32_t add_word(WordList *list, Array<WordSlot> *index, const unsigned char *text, size_t len,
                  size_t pos, WordSlot slot) {
  uint32_t id = static_cast<uint32_t>(list->words.size);
  if (id == NONE || !reserve(&list->bytes, list->bytes.size + len + 1 + SLACK)) return NONE;
  if (!push(&list->words, Word{list->bytes.size, static_cast<uint32_t>(len)})) return NONE;
  std::memcpy(list->bytes.data + list->bytes.size, text, len);
  list->bytes.data[list->bytes.size + len] = ' ';
  list->bytes.size += len + 1;
  slot.id = id;
  index->data[pos] = slot;
  return id;
}

// Returns the id of the word with these bytes, adding it if new; NONE if
// memory ran out.  SLACK bytes past the text are read, not used.
inline uint32_t new_word(WordList *list, Array<WordSlot> *index, const unsigned char *text,
                         size_t len) {
  if (word_index_full(list->words.size, index->size) && !grow_word_index(index)) return NONE;
  uint64_t h = text_hash(text, len);
  uint32_t tag = static_cast<uint32_t>(h);
  uint64_t head = load_short(text, std::min<size_t>(len, 7));
  if (len >= 8) std::memcpy(&head, text, 8);
  size_t mask = index->size - 1, pos = tag & mask;
  for (WordSlot s; (s = index->data[pos]).id != NONE; pos = (pos + 1) & mask) {
    if (s.head != head) continue;
    if (len < 8) return s.id;
    const Word &w = list->words.data[s.id];
    if (s.tag == tag && w.len == len && std::memcmp(list->bytes.data + w.text_at, text, len) == 0)
      return s.id;
  }
  return add_word(list, index, text, len, pos, WordSlot{NONE, tag, head});
}

}  // namespace

bool read_words_fd(int fd, WordList *list) {
  key_hashes();
  // A small file needs no more than its size (a file that grows meanwhile is
  // still read to its end, in more reads).
  size_t cap = READ_SIZE;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
      static_cast<uint64_t>(st.st_size) < READ_SIZE)
    cap = std::max<size_t>(static_cast<size_t>(st.st_size) + 1, 4096);
  WordReader r{fd, static_cast<unsigned char *>(std::malloc(cap + SLACK)), cap, 0, 0, false};
  if (!r.buf) return false;
  std::memset(r.buf + cap, 0, SLACK);
  Array<WordSlot> index;
  bool ok = true;
  for (Token t; ok && next_word(&r, &t);) {
    uint32_t id = new_word(list, &index, t.text, t.len);
    // Positions are 32-bit indices too, so a text of 2^32 - 1 words is too big.
    ok = id != NONE && list->ids.size < NONE - 1 && push(&list->ids, id);
  }
  release(&index);
  std::free(r.buf);
  return ok;
}

bool read_words(const char *path, WordList *list) {
  int fd;
  do fd = open(path, O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  bool ok = read_words_fd(fd, list);
  close(fd);
  return ok;
}

void release(WordList *list) {
  release(&list->ids);
  release(&list->words);
  release(&list->bytes);
}
