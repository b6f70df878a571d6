// Naming over spill files: each round of name_prefixes (Deal.h) over the
// ids or the last round's names in a file, a group at a time.
//
//   one scan  Where a round's keys are few, one table names them all.
//   groups    Otherwise keys are dealt by hash into groups.  Each group is
//             named in memory as a round is (Deal.cpp), or, where one key
//             repeated made it too large, one key at a time through a table
//             of its distinct keys: `locals`, each key's number in the
//             group's order of first meeting.  A merge in text order gives
//             each key met first its global name in order of first meeting
//             (each group's `ranks`), each group's locals are translated to
//             them, and a last merge writes the names out.
//
// The last round's names are the states, in creation order.  Text
// positions are 64-bit here; names of keys and states stay 32-bit, and a
// text with more than that many is refused as lack of memory is.
#include "SpilledNames.h"

#include <new>

namespace {

// Naming a group in memory holds its keys (8 bytes) and dealt records (12).
constexpr size_t NAME_BYTES = 20;

// The group of a key: hash bits that neither the partitions of a group
// (the top bits) nor a table's probe (from bit 16 up) use.
inline size_t group_of(uint64_t key, size_t groups) {
  return pair_hash(key) >> 8 & (groups - 1);
}

// The name of `key` among `*used` names, given in order of first meeting;
// NONE if memory ran out or names ran out.
inline uint32_t name_next(Scratch *x, size_t *used, uint64_t key) {
  return *used < NONE ? name_of(&x->table, used, key, static_cast<uint32_t>(*used)) : NONE;
}

// The keys of a round: packed windows of ids, or pairs of names (a[q],
// a[q + d]), for q in [0, m), from the file a.
struct Keys {
  const SpillFile *a;
  const Round *round;
};

// Reads the keys of a round in order from a position on.  A packed key is
// the last one shifted down a word, with the next id on top.
struct KeyReader {
  SpillReader x, y;
  const Round *r;
  uint64_t window;
};

bool open_keys(KeyReader *kr, const Keys &k, uint64_t from, size_t cap) {
  const Round *r = kr->r = k.round;
  kr->window = 0;
  if (!open_reader(&kr->x, k.a, from * 4, cap)) return false;
  if (r->d > 0) return open_reader(&kr->y, k.a, (from + r->d) * 4, cap);
  for (size_t j = 0; j + 1 < r->width; j++)
    kr->window |= uint64_t{take<uint32_t>(&kr->x)} << (j * r->bits);
  return kr->x.ok;
}

inline uint64_t next_key(KeyReader *kr) {
  const Round *r = kr->r;
  if (r->d > 0) return take<uint32_t>(&kr->x) | uint64_t{take<uint32_t>(&kr->y)} << 32;
  uint64_t key = kr->window | uint64_t{take<uint32_t>(&kr->x)} << ((r->width - 1) * r->bits);
  kr->window = key >> r->bits;
  return key;
}

// Closes the readers; false if either failed.
bool close_keys(KeyReader *kr) {
  bool ok = kr->x.ok && (kr->r->d == 0 || kr->y.ok);
  close_reader(&kr->x);
  close_reader(&kr->y);
  return ok;
}

// Names the keys in one scan with one table.  The last round's key first
// met at m - 1, the text's last prefix, has no state; every other state's
// first position goes to `prefixes`.
bool name_direct(Spiller *s, const Keys &k, size_t bound, SpillFile *out, SpillFile *prefixes,
                 size_t *names) {
  KeyReader x{};
  SpillWriter o{}, pre{};
  size_t cap = buffer_bytes(s, 4), used = 0;
  const Round *r = k.round;
  bool ok = open_keys(&x, k, 0, cap) && open_writer(&o, out, 0, cap) &&
            (!r->last || open_writer(&pre, prefixes, 0, cap)) &&
            clear_table(&s->b.scratch[0], bound);
  for (uint64_t q = 0; ok && q < r->m; q++) {
    size_t before = used;
    uint32_t name = name_next(&s->b.scratch[0], &used, next_key(&x));
    ok = name != NONE && x.x.ok;
    if (r->last && used > before) {
      if (has_state(q, r->m - 1))
        put(&pre, q);
      else
        name = NONE, used--;
    }
    put(&o, name);
  }
  ok = close_keys(&x) && ok;
  ok = close_writer(&o) && ok;
  if (r->last) ok = close_writer(&pre) && ok;
  *names = used;
  return ok;
}

// Deals the keys into groups by hash, and each position's group into the
// stream `which`.
bool deal_keys(Spiller *s, const Keys &k, Dealt *keys, SpillFile *which) {
  which->bytes = k.round->m;  // each piece writes its own range of it
  size_t groups = keys->piece[0].count;
  size_t cap = buffer_bytes(s, keys->pieces * (groups + 3));
  return by_pieces(s, k.round->m, [&](size_t p, uint64_t from, uint64_t to) {
    KeyReader x{};
    SpillWriter w{};
    Groups *out = &keys->piece[p];
    bool ok =
        open_keys(&x, k, from, cap) && open_writer(&w, which, from, cap) && open_writers(out, cap);
    for (uint64_t q = from; ok && q < to; q++) {
      uint64_t key = next_key(&x);
      size_t g = group_of(key, groups);
      put(&w, static_cast<uint8_t>(g));
      put(&out->out[g], key);
    }
    ok = close_keys(&x) && ok;
    ok = close_writer(&w) && ok;
    return close_writers(out) && ok;
  });
}

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
    if (fits(s, uint64_t{r} * NAME_BYTES) && name_in_memory(s, keys, g, r, &a)) {
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
bool rank_groups(Spiller *s, const Keys &k, SpillFile *which, Groups *locals, Groups *ranks,
                 SpillFile *prefixes, size_t *names) {
  SpillReader gr{};
  SpillWriter pre{};
  size_t cap = buffer_bytes(s, 2 * locals->count + 2), used = 0;
  uint32_t met[MAX_GROUPS] = {};
  bool ok = open_reader(&gr, which, 0, cap) &&
            (!k.round->last || open_writer(&pre, prefixes, 0, cap)) && open_readers(locals, cap) &&
            open_writers(ranks, cap);
  for (uint64_t q = 0; ok && q < k.round->m; q++) {
    size_t g = take<uint8_t>(&gr);
    if (take<uint32_t>(&locals->in[g]) != met[g]) continue;
    met[g]++;
    uint32_t name = static_cast<uint32_t>(used++);
    if (k.round->last && !has_state(q, k.round->m - 1))
      name = NONE, used--;
    else if (k.round->last)
      put(&pre, q);
    put(&ranks->out[g], name);
    ok = used < NONE;
  }
  ok = ok && gr.ok;
  close_reader(&gr);
  if (k.round->last) ok = close_writer(&pre) && ok;
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
  std::atomic<bool> failed{false};
  auto one = [&](size_t g, unsigned worker) {
    size_t r = static_cast<size_t>(locals->file[g].bytes / 4);
    size_t d = static_cast<size_t>(ranks->file[g].bytes / 4);
    bool ok = !failed && fit_block(&rank[worker], d) && fit_block(&chunk[worker], step) &&
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
    if (!ok) failed = true;
  };
  run_tasks(locals->count, s->b.workers, one);
  for (unsigned w = 0; w < MAX_WORKERS; w++) {
    release(&rank[w]);
    release(&chunk[w]);
  }
  return !failed;
}

// Writes the names out in text order, each taken from its group, in
// pieces: piece p's share of group g starts at at[p][g].
bool merge_groups(Spiller *s, const Keys &k, SpillFile *which, Groups *names,
                  const uint64_t (*at)[MAX_GROUPS], SpillFile *out) {
  out->bytes = k.round->m * 4;  // each piece writes its own range of it
  size_t cap = buffer_bytes(s, s->b.workers * (names->count + 2));
  return by_pieces(s, k.round->m, [&](size_t p, uint64_t from, uint64_t to) {
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

// One round of naming into `out`: a key's name is its number in order of
// first meeting, of which there are at most `*names`; leaves in `*names`
// how many there are.
bool name_round(Spiller *s, const Keys &k, SpillFile *out, SpillFile *prefixes, size_t *names) {
  size_t bound = static_cast<size_t>(std::min<uint64_t>(k.round->m, *names));
  if (!open_spill(out) || (k.round->last && !open_spill(prefixes))) return false;
  if (bound <= few_keys()) return name_direct(s, k, bound, out, prefixes, names);
  size_t groups = groups_for(s, k.round->m, NAME_BYTES);
  // The round's files: its keys dealt, each group's names in it and their
  // ranks, and where each piece's share of a group starts.
  struct Files {
    Dealt keys;
    Groups locals, ranks;
    uint64_t at[MAX_WORKERS][MAX_GROUPS];
    SpillFile which;
  } *f = new (std::nothrow) Files();
  bool ok = f && open_spill(&f->which) && open_dealt(&f->keys, s->b.workers, groups) &&
            open_files(&f->locals, groups) && open_files(&f->ranks, groups) &&
            deal_keys(s, k, &f->keys, &f->which) && name_groups(s, &f->keys, &f->locals, f->at) &&
            rank_groups(s, k, &f->which, &f->locals, &f->ranks, prefixes, names) &&
            translate_groups(s, &f->locals, &f->ranks) &&
            merge_groups(s, k, &f->which, &f->locals, f->at, out);
  if (f) {
    close_dealt(&f->keys);
    close_files(&f->locals);
    close_files(&f->ranks);
    close_spill(&f->which);
  }
  delete f;
  return ok;
}

}  // namespace

// Names the prefixes of k >= 2 words in rounds (name_prefixes) into `st`:
// each position q <= p gets its state, NONE for a last prefix met first at
// p.  Each state's first position goes to `prefixes`.
bool number_states(Spiller *s, const WordList *list, uint32_t k, SpillFile *st, SpillFile *prefixes,
                   size_t *states) {
  SpillFile names = list->spilled;  // the last round's names, or the ids
  auto name = [&](Round *r) {
    SpillFile next;
    bool ok = name_round(s, Keys{&names, r}, r->last ? st : &next, prefixes, &r->distinct);
    if (names.fd != list->spilled.fd) close_spill(&names);
    names = next;
    *states = r->distinct;
    return ok;
  };
  bool ok = name_prefixes(word_count(list), k, list->words.size, name);
  if (names.fd != list->spilled.fd) close_spill(&names);  // a round that failed
  return ok;
}

// Writes the first position of each one-word prefix's state to `prefixes`,
// as first_meetings finds them.
bool number_words(Spiller *s, const WordList *list, SpillFile *prefixes, size_t *states) {
  SpillReader r{};
  SpillWriter w{};
  size_t cap = buffer_bytes(s, 2);
  *states = 0;
  bool ok = open_spill(prefixes) && open_reader(&r, &list->spilled, 0, cap) &&
            open_writer(&w, prefixes, 0, cap) &&
            first_meetings(
                word_count(list) - 1, [&] { return take<uint32_t>(&r); },
                [&](uint64_t q) {
                  put(&w, q);
                  ++*states;
                  return r.ok;
                });
  ok = ok && r.ok;
  close_reader(&r);
  return close_writer(&w) && ok;
}
