// GroupNames: naming a round's keys dealt into groups of files.
#ifndef CHATTERLOOM_GROUPNAMES_H
#define CHATTERLOOM_GROUPNAMES_H

#include "Groups.h"

// Naming a group in memory holds its keys (8 bytes) and dealt records (12).
constexpr size_t NAME_BYTES = 20;

// The name of `key` among `*used` names, given in order of first meeting;
// NONE if memory ran out or names ran out.
inline uint32_t name_next(Scratch *x, size_t *used, uint64_t key) {
  return *used < NONE ? name_of(&x->table, used, key, static_cast<uint32_t>(*used)) : NONE;
}

// Names each group's keys by their number in the group's order of first
// meeting, into `locals`; leaves in at[p][g] where piece p's share of
// group g starts in it.
bool name_groups(Spiller *s, Dealt *keys, Groups *locals, uint64_t (*at)[MAX_GROUPS]);

// Merges the groups' locals in text order: a key whose local is the next
// new one of its group is met first there, and takes the next global name,
// written to its group's `ranks`.  The last round's states go as
// name_direct's do.
bool rank_groups(Spiller *s, const Round &r, SpillFile *which, Groups *locals, Groups *ranks,
                 SpillFile *prefixes, size_t *names);

// Rewrites each group's locals, in place, as the global names in `ranks`,
// which holds the name of each local in turn.  Groups are rewritten on
// every worker.
bool translate_groups(Spiller *s, Groups *locals, Groups *ranks);

// Writes the names out in text order, each taken from its group, in
// pieces: piece p's share of group g starts at at[p][g].
bool merge_groups(Spiller *s, const Round &r, SpillFile *which, Groups *names,
                  const uint64_t (*at)[MAX_GROUPS], SpillFile *out);

#endif
