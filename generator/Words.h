// Words: reading a source text into the words of a WordList.
#ifndef CHATTERLOOM_WORDS_H
#define CHATTERLOOM_WORDS_H

#include "Markov.h"

// The most bytes the in-memory build holds per word of the text: its ids
// (4), the dealt records (12) and each position's state (4) or, once those
// are read, the states (8).
constexpr size_t BUILD_BYTES_PER_WORD = 24;
// What each worker of the in-memory build holds besides: a partition's
// table, its pairs and its bounds.
constexpr size_t WORKER_BYTES = size_t{2} << 20;

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

#endif
