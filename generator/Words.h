// Words: reading a source text into the words of a WordList.
#ifndef CHATTERLOOM_WORDS_H
#define CHATTERLOOM_WORDS_H

#include "Markov.h"

// The least bytes the in-memory build holds per word: an 8-byte dealt record and each position's
// state (4); reading keeps no more ids than this leaves room for.
constexpr size_t BUILD_BYTES_PER_WORD = 12;
// What each in-memory build worker holds besides: a partition's table, its pairs and its bounds.
constexpr size_t WORKER_BYTES = size_t{2} << 20;

// Reads every word of the open descriptor `fd` into the empty `list`, a read error ending the input
// as its end does; false if memory ran out.
bool read_words_fd(int fd, WordList *list);

// Opens `path` and reads its words as read_words_fd does; false also if it cannot be opened.
bool read_words(const char *path, WordList *list);

// Packs the in-memory ids of `list` to the bits its words need, in place, giving back the rest;
// false, leaving them as they were, if memory ran out.
bool pack_ids(WordList *list);

// Moves the in-memory ids of `list` to its spill file, made first; false if that cannot be done.
bool spill_words(WordList *list);

// Frees what `list` holds.
void release(WordList *list);

#endif
