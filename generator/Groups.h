// Groups: how the build over spill files deals a pass into groups of files, each then worked in
// memory by the in-memory build (Deal.h).  A pass is split into pieces, one per worker, each on its
// own streams with its own share of each group, so that a group keeps text order:
//
//   Dealt   piece[0]: file[0] file[1] ... file[groups - 1]
//           piece[1]: file[0] file[1] ...
//           group g = piece[0].file[g] ++ piece[1].file[g] ++ ...
#ifndef CHATTERLOOM_GROUPS_H
#define CHATTERLOOM_GROUPS_H

#include "Suffixes.h"
#include "Words.h"

// A group's number is one byte of the group stream.
constexpr size_t MAX_GROUPS = 256;
// A table filled one by one starts this small: its distinct keys may be far fewer than its records.
constexpr size_t FIRST_KEYS = 1024;
// Stream buffers: each read or write moves a run of the disk; 2 * MAX_GROUPS of them stay small.
constexpr size_t MIN_BUFFER = size_t{4} << 10, MAX_BUFFER = size_t{1} << 20;

// A spilled build: what its stream buffers may take, the in-memory build that works each group,
// and the blocks kept from group to group (its records as read and as dealt, and where its states'
// suffixes start).
struct Spiller {
  size_t buffers;
  Build b;
  Array<Suffix> records, block;
  Array<uint32_t> states;
};

// Gives back what the build's workers and the last group kept.
inline void release(Spiller *s) {
  release(&s->b);
  release(&s->records);
  release(&s->block);
  release(&s->states);
}

// The bytes of each of `streams` buffers open at once.
inline size_t buffer_bytes(const Spiller *s, size_t streams) {
  return std::clamp(s->buffers / streams, MIN_BUFFER, MAX_BUFFER);
}

// The room a group's own blocks may take: three quarters of the room left (the rest for what a step
// holds beside them), less the workers' scratch.
inline size_t group_room(const Spiller *s) {
  size_t scratch = s->b.workers * WORKER_BYTES, room = memory_room() / 4 * 3;
  return room > scratch ? room - scratch : 0;
}

// Whether a group's blocks of `bytes` fit the room and the `kept` blocks the last group left (to
// serve again or go), or are too small to be held.
inline bool fits(const Spiller *s, uint64_t bytes, size_t kept) {
  return bytes <= std::max(group_room(s) + kept, LARGE_BLOCK);
}

// The items of `bytes` each a group should hold: a `share` of its room (half for keys dealt by
// hash, which may pass it), but no fewer than small blocks or the most groups hold.
inline uint64_t group_items(const Spiller *s, uint64_t items, size_t bytes, size_t share) {
  size_t small = std::min(LARGE_BLOCK, memory_budget());
  return std::max<uint64_t>({group_room(s) / share / bytes, small / bytes, items / MAX_GROUPS + 1});
}

// The groups, a power of two, that deal `items` keys of `bytes` each into half their room.
inline size_t groups_for(const Spiller *s, uint64_t items, size_t bytes) {
  size_t groups = 1, target = group_items(s, items, bytes, 2);
  while (groups < MAX_GROUPS && items / groups > target) groups *= 2;
  return groups;
}

// A set of files, one per group, and their streams.
struct Groups {
  size_t count;
  SpillFile file[MAX_GROUPS];
  SpillWriter out[MAX_GROUPS];
};

// Opens `count` new files in `g`; false if one cannot be made.
bool open_files(Groups *g, size_t count);
void close_files(Groups *g);
// Opens a writer at the start of each file; false if memory ran out.
bool open_writers(Groups *g, size_t cap);
// Closes each writer; false if any failed.
bool close_writers(Groups *g);

// Groups dealt by a pass in pieces, as drawn above.
struct Dealt {
  size_t pieces;
  Groups piece[MAX_WORKERS];
};

// Opens the files of `groups` groups for each of `pieces` pieces.
bool open_dealt(Dealt *d, size_t pieces, size_t groups);
void close_dealt(Dealt *d);

// The bytes of group g.
uint64_t group_bytes(const Dealt *d, size_t g);

// Reads the whole of group g into `to`; false if a read failed.
bool read_group(const Dealt *d, size_t g, char *to);

// Gives the files of group g back.
void close_group(Dealt *d, size_t g);

// Rewrites each group's values in place through its table in `ranks`, groups on every worker.
bool translate_groups(Spiller *s, Groups *locals, Groups *ranks);

// Writes the groups' values out in the order `which` gives, piece p's share of g from at[p][g].
bool merge_groups(Spiller *s, uint64_t m, const SpillFile *which, Groups *names,
                  const uint64_t (*at)[MAX_GROUPS], SpillFile *out);

// Calls fn(item) for group g's `T`s [from, to) while it returns true; false if not, or unread.
template <class T, class F>
bool each_in_group(const Spiller *s, const Dealt *d, size_t g, uint64_t from, uint64_t to, F fn) {
  bool ok = true;
  for (size_t p = 0, before = 0; ok && p < d->pieces && from < to; p++) {
    const SpillFile *f = &d->piece[p].file[g];
    uint64_t n = f->bytes / sizeof(T), end = std::min(to, before + n);
    if (from < end) {
      SpillReader in{};
      ok = open_reader(&in, f, (from - before) * sizeof(T), buffer_bytes(s, 2));
      for (; ok && from < end; from++) ok = fn(take<T>(&in)) && in.ok;
      close_reader(&in);
    }
    before += n;
  }
  return ok;
}

// Runs fn(piece, from, to) for the pieces of positions [0, m), one per worker; false if any failed.
template <class F>
bool by_pieces(Spiller *s, uint64_t m, F fn) {
  auto piece = [&](size_t p, unsigned) {
    if (!fn(p, range_start(m, s->b.workers, p), range_start(m, s->b.workers, p + 1)))
      s->b.failed = true;
  };
  s->b.failed = false;
  run_tasks(s->b.workers, s->b.workers, piece);
  return !s->b.failed;
}

#endif
