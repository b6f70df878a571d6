// SpilledNames: the states of a text's prefixes, named over spill files.
#ifndef CHATTERLOOM_SPILLEDNAMES_H
#define CHATTERLOOM_SPILLEDNAMES_H

#include "Groups.h"

// Names k-word prefixes (k >= 2): `st` gets each position q <= p's state or NONE, `prefixes` each
// state's first position, `*states` their number; false if memory ran out or a spill file failed.
bool number_states(Spiller *s, const WordList *list, uint32_t k, SpillFile *st, SpillFile *prefixes,
                   size_t *states);

// Writes each one-word prefix state's first position to `prefixes`, and their number to `*states`.
bool number_words(Spiller *s, const WordList *list, SpillFile *prefixes, size_t *states);

#endif
