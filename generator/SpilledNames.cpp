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

#include "GroupNames.h"

namespace {

// The group of a key: hash bits that neither the partitions of a group
// (the top bits) nor a table's probe (from bit 16 up) use.
inline size_t group_of(uint64_t key, size_t groups) {
  return pair_hash(key) >> 8 & (groups - 1);
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
            rank_groups(s, *k.round, &f->which, &f->locals, &f->ranks, prefixes, names) &&
            translate_groups(s, &f->locals, &f->ranks) &&
            merge_groups(s, *k.round, &f->which, &f->locals, f->at, out);
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
