// Naming the groups of a round over spill files: each group's keys named
// on their own, then the names made global in text order.
#include "GroupNames.h"

namespace {

// Names the `r` keys of group g in memory into `a`, each by its number in
// the group's order of first meeting; false if memory ran out.
bool name_in_memory(Spiller *s, Dealt *keys, size_t g, size_t r, Array<uint32_t> *a) {
  s->b.failed = false;
  size_t names = r;
  bool ok = fit_block(a, 2 * r) && fit_block(&s->block, r) &&
            read_group(keys, g, reinterpret_cast<char *>(s->block.data));
  // The keys were read into the block, which the naming deals into: their
  // low halves, then their high halves, so that key i is (a[i], a[r + i]).
  uint32_t *x = a->data;
  for (size_t i = 0; ok && i < r; i++) {
    uint64_t key;
    std::memcpy(&key, reinterpret_cast<const char *>(s->block.data) + i * 8, 8);
    x[i] = static_cast<uint32_t>(key);
    x[r + i] = static_cast<uint32_t>(key >> 32);
  }
  s->b.block = s->block.data;
  ok = ok && (r == 0 || name_round(&s->b, x, r, r, x, true, &names));
  // Each key is named by its first place; a first place is named first.
  for (size_t i = 0, next = 0; ok && i < r; i++) x[i] = x[i] == i ? next++ : x[x[i]];
  return ok;
}

// Names the keys of group g as name_in_memory does, but one by one through
// one table, which holds the distinct keys only: for a group that one
// frequent key made too large to hold.
bool name_streaming(Spiller *s, Dealt *keys, size_t g, size_t r, SpillFile *out) {
  Scratch *x = &s->b.scratch[0];
  SpillWriter w{};
  size_t used = 0;
  bool ok = clear_table(x, std::min(r, FIRST_KEYS)) &&
            open_writer(&w, out, 0, buffer_bytes(s, 2)) &&
            each_in_group<uint64_t>(s, keys, g, 0, r, [&](uint64_t key) {
              uint32_t name = name_next(x, &used, key);
              put(&w, name);
              return name != NONE;
            });
  return close_writer(&w) && ok;
}

}  // namespace

// Names each group's keys by their number in the group's order of first
// meeting, into `locals`; leaves in at[p][g] where piece p's share of
// group g starts in it.
bool name_groups(Spiller *s, Dealt *keys, Groups *locals, uint64_t (*at)[MAX_GROUPS]) {
  Array<uint32_t> a;
  bool ok = true;
  for (size_t g = 0; ok && g < locals->count; g++) {
    size_t r = static_cast<size_t>(group_bytes(keys, g) / 8);
    for (size_t p = 0, before = 0; p < keys->pieces; before += keys->piece[p++].file[g].bytes / 8)
      at[p][g] = before;
    if (fits(s, uint64_t{r} * NAME_BYTES, held_bytes(&a) + held_bytes(&s->block)) &&
        name_in_memory(s, keys, g, r, &a)) {
      ok = write_at(&locals->file[g], 0, a.data, r * 4);
    } else {
      // What the last group kept goes back first.
      release(&a);
      release(&s->block);
      release(&s->b);
      ok = name_streaming(s, keys, g, r, &locals->file[g]);
    }
    close_group(keys, g);
  }
  release(&a);
  return ok;
}

// Merges the groups' locals in text order: a key whose local is the next
// new one of its group is met first there, and takes the next global name,
// written to its group's `ranks`.  The last round's states go as
// name_direct's do.
bool rank_groups(Spiller *s, const Round &r, SpillFile *which, Groups *locals, Groups *ranks,
                 SpillFile *prefixes, size_t *names) {
  SpillReader gr{};
  SpillWriter pre{};
  size_t cap = buffer_bytes(s, 2 * locals->count + 2), used = 0;
  uint32_t met[MAX_GROUPS] = {};
  bool ok = open_reader(&gr, which, 0, cap) && (!r.last || open_writer(&pre, prefixes, 0, cap)) &&
            open_readers(locals, cap) && open_writers(ranks, cap);
  for (uint64_t q = 0; ok && q < r.m; q++) {
    size_t g = take<uint8_t>(&gr);
    if (take<uint32_t>(&locals->in[g]) != met[g]) continue;
    met[g]++;
    uint32_t name = static_cast<uint32_t>(used++);
    if (r.last && !has_state(q, r.m - 1))
      name = NONE, used--;
    else if (r.last)
      put(&pre, q);
    put(&ranks->out[g], name);
    ok = used < NONE;
  }
  ok = ok && gr.ok;
  close_reader(&gr);
  if (r.last) ok = close_writer(&pre) && ok;
  ok = close_readers(locals) && ok;
  *names = used;
  return close_writers(ranks) && ok;
}

// Rewrites each group's locals, in place, as the global names in `ranks`,
// which holds the name of each local in turn.  Groups are rewritten on
// every worker.
bool translate_groups(Spiller *s, Groups *locals, Groups *ranks) {
  Array<uint32_t> rank[MAX_WORKERS], chunk[MAX_WORKERS];
  size_t step = buffer_bytes(s, 2 * s->b.workers) / 4;
  auto one = [&](size_t g, unsigned worker) {
    size_t r = static_cast<size_t>(locals->file[g].bytes / 4);
    size_t d = static_cast<size_t>(ranks->file[g].bytes / 4);
    bool ok = !s->b.failed && fit_block(&rank[worker], d) && fit_block(&chunk[worker], step) &&
              read_at(&ranks->file[g], 0, rank[worker].data, d * 4);
    uint32_t *rk = rank[worker].data, *ch = chunk[worker].data;
    for (size_t from = 0; ok && from < r; from += step) {
      size_t len = std::min(step, r - from);
      ok = read_at(&locals->file[g], from * 4, ch, len * 4);
      for (size_t i = 0; ok && i < len; i++) {
        ok = ch[i] < d;
        if (ok) ch[i] = rk[ch[i]];
      }
      ok = ok && write_at(&locals->file[g], from * 4, ch, len * 4);
    }
    close_spill(&ranks->file[g]);
    if (!ok) s->b.failed = true;
  };
  s->b.failed = false;
  run_tasks(locals->count, s->b.workers, one);
  for (unsigned w = 0; w < MAX_WORKERS; w++) {
    release(&rank[w]);
    release(&chunk[w]);
  }
  return !s->b.failed;
}

// Writes the names out in text order, each taken from its group, in
// pieces: piece p's share of group g starts at at[p][g].
bool merge_groups(Spiller *s, const Round &r, SpillFile *which, Groups *names,
                  const uint64_t (*at)[MAX_GROUPS], SpillFile *out) {
  out->bytes = r.m * 4;  // each piece writes its own range of it
  size_t cap = buffer_bytes(s, s->b.workers * (names->count + 2));
  return by_pieces(s, r.m, [&](size_t p, uint64_t from, uint64_t to) {
    SpillReader gr{}, in[MAX_GROUPS] = {};
    SpillWriter o{};
    bool ok = open_reader(&gr, which, from, cap) && open_writer(&o, out, from * 4, cap);
    for (size_t g = 0; ok && g < names->count; g++)
      ok = open_reader(&in[g], &names->file[g], at[p][g] * 4, cap);
    for (uint64_t q = from; ok && q < to; q++) put(&o, take<uint32_t>(&in[take<uint8_t>(&gr)]));
    ok = ok && gr.ok;
    close_reader(&gr);
    for (size_t g = 0; g < names->count; g++) {
      ok = ok && in[g].ok;
      close_reader(&in[g]);
    }
    return close_writer(&o) && ok;
  });
}
