// Chain: building the chain of a text's prefixes, in memory or, past the
// memory budget, in spill files.
#ifndef CHATTERLOOM_CHAIN_H
#define CHATTERLOOM_CHAIN_H

#include "Markov.h"

// Builds into the empty `t` the chain of k-word prefixes of `list`; false
// if memory ran out.  A text of k words or fewer has no states.  A text
// whose ids were spilled, or whose build does not fit in memory, is built
// in spill files.
bool build_chain(WordList *list, uint32_t k, StateTable *t);

// Frees what `t` holds and leaves it empty.
void release(StateTable *t);

#endif
