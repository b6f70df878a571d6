// SpilledNames: the states of a text's prefixes, named over spill files.
#ifndef CHATTERLOOM_SPILLEDNAMES_H
#define CHATTERLOOM_SPILLEDNAMES_H

#include "Groups.h"

// Names the prefixes of k >= 2 words into `st`: each position q <= p gets its state, NONE for a
// last prefix met first at p; each state's first position goes to `prefixes`, and their number to
// `*states`.  False if memory ran out or a spill file failed.
bool number_states(Spiller *s, const WordList *list, uint32_t k, SpillFile *st, SpillFile *prefixes,
                   size_t *states);

// Writes the first position of each one-word prefix's state to `prefixes`, as first_meetings finds
// them, and their number to `*states`.
bool number_words(Spiller *s, const WordList *list, SpillFile *prefixes, size_t *states);

#endif
