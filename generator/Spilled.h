// Spilled: the chain build of a text larger than memory, over spill files.
#ifndef CHATTERLOOM_SPILLED_H
#define CHATTERLOOM_SPILLED_H

#include "Groups.h"

// Builds the chain of spilled ids into t->files; false if memory ran out or a spill file failed.
bool build_spilled(const WordList *list, uint32_t k, StateTable *t);

#endif
