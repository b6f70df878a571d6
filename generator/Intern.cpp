// The word index's slow path: growing it and filing a new word.
#include "Intern.h"

bool grow_word_index(Array<WordSlot> *index) {
  size_t n = index->size ? index->size * 2 : 1024;
  if (n * sizeof(WordSlot) > SMALL_BLOCK) n = std::max(n, HUGE_PAGE / sizeof(WordSlot));
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

uint32_t add_word(WordList *list, Array<WordSlot> *index, const unsigned char *text, size_t len,
                  size_t pos, WordSlot slot) {
  uint32_t id = static_cast<uint32_t>(list->words.size);
  if (id == NONE || !reserve_sparse(&list->bytes, list->bytes.size + len + 1 + WORD_SLACK))
    return NONE;
  if (!push(&list->words, Word{list->bytes.size, static_cast<uint32_t>(len)})) return NONE;
  std::memcpy(list->bytes.data + list->bytes.size, text, len);
  list->bytes.data[list->bytes.size + len] = ' ';
  list->bytes.size += len + 1;
  slot.id = id;
  index->data[pos] = slot;
  return id;
}
