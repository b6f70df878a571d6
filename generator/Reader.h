// Reader: splits a source text into tokens, read in large blocks: a token whole in the block and
// ending at a separator is handed on where it stands, any other put together in the token buffer.
#ifndef CHATTERLOOM_READER_H
#define CHATTERLOOM_READER_H

#include <errno.h>
#include <unistd.h>

#include <algorithm>

#include "Hash.h"
#include "Markov.h"

// Byte classes of the source text

enum : unsigned char { TOKEN, ZERO, SEPARATOR, DROPPED, END };

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

// The block read at once, small enough to stay in the cache while it is split.
constexpr size_t READ_SIZE = 128 << 10;

// A reader of one descriptor: with `positional`, bytes [at, stop) by pread so readers can share a
// file, else to its end.  `buf` has SLACK bytes past `cap`, `token` room for one put together.
// `done` is set at the end, a read error or a byte 26; `cut` at the last two, ending the text.
struct WordReader {
  int fd;
  unsigned char *buf, *token;
  size_t cap, pos, end;
  bool positional;
  uint64_t at, stop;
  bool done, cut;
};

// A token: `len` <= MAX_WORD_LEN bytes at `text`, SLACK readable past, valid until the next one.
struct Token {
  const unsigned char *text;
  size_t len;
};

// Reads the next block into an exhausted reader; false at the input's end or a read error.
inline bool refill(WordReader *r) {
  if (r->done) return false;
  for (;;) {
    size_t want = r->positional ? std::min<uint64_t>(r->cap, r->stop - r->at) : r->cap;
    ssize_t n = want == 0       ? 0
                : r->positional ? pread(r->fd, r->buf, want, static_cast<off_t>(r->at))
                                : read(r->fd, r->buf, want);
    if (n > 0) {
      r->pos = 0;
      r->end = static_cast<size_t>(n);
      r->at += static_cast<uint64_t>(n);
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    r->done = true;
    r->cut = n < 0;
    return false;
  }
}

// Marks the input ended at a byte 26.
inline void end_input(WordReader *r) {
  r->done = r->cut = true;
  r->pos = r->end;
}

// Puts together in the token buffer any other token, from its beginning buf[start, i).
inline bool next_word_slow(WordReader *r, Token *t, size_t start, size_t i) {
  unsigned char *token_buf = r->token;
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

// The offset of the first byte below 33 (all that may end a token) in the 8 bytes at p, or 8; the
// subtraction flags the lowest exactly, and later ones its borrow may flag are moot.
inline size_t low_byte_at(const unsigned char *p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  uint64_t low = (v - 0x2121212121212121u) & ~v & 0x8080808080808080u;
  return low ? static_cast<size_t>(__builtin_ctzll(low)) / 8 : 8;
}

// The end of the token bytes from `start`: 8 bytes a step to the first that may end a token (the
// buffer has SLACK past its end, and the stop is cut back to it), then byte by byte.
inline size_t token_end(const WordReader *r, size_t start) {
  size_t i = start, step;
  do i += step = low_byte_at(r->buf + i);
  while (step == 8 && i < r->end);
  while (i < r->end && BYTE_CLASS.of[r->buf[i]] == TOKEN) i++;
  return i;
}

// Hands on in place the token buf[start, i) if whole, ended by a separator and not too long.
inline bool token_in_place(WordReader *r, size_t start, size_t i, Token *t) {
  if (i >= r->end || BYTE_CLASS.of[r->buf[i]] != SEPARATOR || i - start > MAX_WORD_LEN)
    return false;
  t->text = r->buf + start;
  t->len = i - start;
  r->pos = i + 1;
  return true;
}

// Finds the next token if it is a common one in the block, without copying or refilling (only
// next_word refills); false, with only separators passed, where next_word must go on.
inline bool next_word_in_block(WordReader *r, Token *t) {
  while (r->pos < r->end && BYTE_CLASS.of[r->buf[r->pos]] == SEPARATOR) r->pos++;
  return r->pos < r->end && BYTE_CLASS.of[r->buf[r->pos]] == TOKEN &&
         token_in_place(r, r->pos, token_end(r, r->pos), t);
}

// Finds the next token, cut at its first zero byte; false if the input ends before one starts.
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
  size_t start = r->pos, i = token_end(r, start);
  return token_in_place(r, start, i, t) || next_word_slow(r, t, start, std::min(i, r->end));
}

#endif
