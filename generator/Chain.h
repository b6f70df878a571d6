// Chain: building a text's chain of prefixes, in memory or, past the budget, in spill files.
#ifndef CHATTERLOOM_CHAIN_H
#define CHATTERLOOM_CHAIN_H

#include "Markov.h"

// Builds into the empty `t` the chain of k-word prefixes of `list` (none for k words or fewer), in
// spill files if its ids were spilled or the build does not fit memory; false if memory ran out.
bool build_chain(WordList *list, uint32_t k, StateTable *t);

// Frees what `t` holds.
void release(StateTable *t);

#endif
