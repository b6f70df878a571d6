// Intern: the word index, giving words ids in order of first meeting while a text is read.
#ifndef CHATTERLOOM_INTERN_H
#define CHATTERLOOM_INTERN_H

#include <algorithm>

#include "Hash.h"
#include "Markov.h"

// A word index slot: the word's id (NONE when empty), the low bits of its text hash and its first 8
// bytes, zero filled; no word holds a zero byte, so `head` alone matches a word under 8 bytes.
struct WordSlot {
  uint32_t id;
  uint32_t tag;
  uint64_t head;
};

// The index is kept at most three quarters full: probes stay short, and the index, held beside the
// whole text as it is read, stays small.
inline bool word_index_full(size_t words, size_t slots) {
  return (words + 1) * 4 > slots * 3;
}

// Doubles the word index (past SMALL_BLOCK, to a huge page of slots); false if memory ran out.
bool grow_word_index(Array<WordSlot> *index);

// Files a new word in index slot `pos`, found empty by hashed_word; NONE if memory ran out.
uint32_t add_word(WordList *list, Array<WordSlot> *index, const unsigned char *text, size_t len,
                  size_t pos, WordSlot slot);

// The id of the word with these bytes and text_hash `h`, added if new; NONE if memory ran out.
inline uint32_t hashed_word(WordList *list, Array<WordSlot> *index, const unsigned char *text,
                            size_t len, uint64_t h) {
  if (word_index_full(list->words.size, index->size) && !grow_word_index(index)) return NONE;
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

// Returns the id of the word with these bytes, as hashed_word does.
inline uint32_t new_word(WordList *list, Array<WordSlot> *index, const unsigned char *text,
                         size_t len) {
  return hashed_word(list, index, text, len, text_hash(text, len));
}

#endif
