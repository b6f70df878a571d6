// Naming over spill files: each round of name_prefixes (Deal.h) deals its keys by hash into groups,
// each named in memory as a round is (Deal.cpp), or through a table of its distinct keys: `locals`,
// each key's number in its group's order of first meeting.  A merge in text order gives each new
// key its global name (`ranks`), locals are translated to them, and a last merge writes the names
// out.  Positions are 64-bit; names stay 32-bit, and more are refused as lack of memory is.
#include "SpilledNames.h"

#include <new>

namespace {

// Naming a group in memory holds its keys (8 bytes) and dealt records (12).
constexpr size_t NAME_BYTES = 20;
// The block's records of `r` dealt keys.
inline size_t key_block(size_t r) {
  return (r * sizeof(KeyRecord) + sizeof(Suffix) - 1) / sizeof(Suffix);
}

// Where each piece's share of each group starts: at[p][g] is its first key in group g, and
// met[p][g] how many of the group's locals come before it; met[pieces][g] is all of them.
struct Shares {
  uint64_t at[MAX_WORKERS][MAX_GROUPS];
  uint64_t met[MAX_WORKERS + 1][MAX_GROUPS];
};

// Names the `r` keys of group g in memory into `a` as locals, calling mark(i, met) with the locals
// that come before key i; false if memory ran out.
template <class Mark>
bool name_in_memory(Spiller *s, Dealt *keys, size_t g, size_t r, Array<uint32_t> *a, Mark mark) {
  s->b.failed = false;
  size_t names = r;
  bool ok = fit_block(a, 2 * r) && fit_block(&s->block, key_block(r)) &&
            read_group(keys, g, reinterpret_cast<char *>(s->block.data));
  // The keys were read into the block, which the naming deals into: their low halves, then their
  // high halves, so that key i is (a[i], a[r + i]).
  uint32_t *x = a->data;
  for (size_t i = 0; ok && i < r; i++) {
    uint64_t key;
    std::memcpy(&key, reinterpret_cast<const char *>(s->block.data) + i * 8, 8);
    x[i] = static_cast<uint32_t>(key);
    x[r + i] = static_cast<uint32_t>(key >> 32);
  }
  s->b.block = reinterpret_cast<char *>(s->block.data);
  s->b.block_bytes = s->block.cap * sizeof(Suffix);
  ok = ok && (r == 0 || name_round(&s->b, x, r, r, Names{x, 32}, true, &names));
  // Each key is named by its first place; a first place is named first.
  size_t next = 0;
  for (size_t i = 0; ok && i < r; i++) {
    mark(i, next);
    x[i] = x[i] == i ? next++ : x[x[i]];
  }
  if (ok) mark(r, next);
  return ok;
}

// Names group g as name_in_memory does, through a table of its distinct keys.
template <class Mark>
bool name_streaming(Spiller *s, Dealt *keys, size_t g, size_t r, SpillFile *out, Mark mark) {
  Scratch *x = &s->b.scratch[0];
  SpillWriter w{};
  size_t used = 0, i = 0;
  bool ok = clear_table(x, std::min(r, FIRST_KEYS)) &&
            open_writer(&w, out, 0, buffer_bytes(s, 2)) &&
            each_in_group<uint64_t>(s, keys, g, 0, r, [&](uint64_t key) {
              mark(i++, used);
              uint32_t name =
                  used < NONE ? name_of(&x->table, &used, key, static_cast<uint32_t>(used)) : NONE;
              put(&w, name);
              return name != NONE;
            });
  mark(r, used);
  return close_writer(&w) && ok;
}

// Names each group's keys into `locals`, and sets the pieces' `sh`ares of them.
bool name_groups(Spiller *s, Dealt *keys, Groups *locals, Shares *sh) {
  Array<uint32_t> a;
  bool ok = true;
  for (size_t g = 0; ok && g < locals->count; g++) {
    size_t r = static_cast<size_t>(group_bytes(keys, g) / 8), p = 0;
    for (size_t q = 0, before = 0; q < keys->pieces; before += keys->piece[q++].file[g].bytes / 8)
      sh->at[q][g] = before;
    auto mark = [&](size_t i, uint64_t met) {
      for (; p < keys->pieces && sh->at[p][g] == i; p++) sh->met[p][g] = met;
      if (i == r) sh->met[keys->pieces][g] = met;
    };
    if (fits(s, uint64_t{r} * NAME_BYTES, held_bytes(&a) + held_bytes(&s->block)) &&
        name_in_memory(s, keys, g, r, &a, mark)) {
      ok = write_at(&locals->file[g], 0, a.data, r * 4);
    } else {
      // What the last group kept goes back first.
      release(&a);
      release(&s->block);
      release(&s->b);
      ok = name_streaming(s, keys, g, r, &locals->file[g], mark);
    }
    close_group(keys, g);
  }
  release(&a);
  return ok;
}

// Merges the locals in text order, each piece its own positions: a local that is its group's next
// new one takes the next name, into `ranks`, and in the last round, if a state, `prefixes`.
bool rank_groups(Spiller *s, const Round &r, SpillFile *which, Groups *locals, Groups *ranks,
                 const Shares *sh, SpillFile *prefixes, size_t *names) {
  size_t pieces = s->b.workers, groups = locals->count;
  uint64_t base[MAX_WORKERS + 1] = {};  // the new keys before each piece's
  std::atomic<bool> stateless{false};   // whether the last key is new, and takes no name
  for (size_t p = 0; p < pieces; p++) {
    base[p + 1] = base[p];
    for (size_t g = 0; g < groups; g++) base[p + 1] += sh->met[p + 1][g] - sh->met[p][g];
  }
  if (base[pieces] >= NONE) return false;  // names are 32-bit
  // Each piece writes its own range of each file.
  for (size_t g = 0; g < groups; g++) ranks->file[g].bytes = sh->met[pieces][g] * 4;
  if (r.last) prefixes->bytes = base[pieces] * 8;
  size_t cap = buffer_bytes(s, pieces * (2 * groups + 2));
  bool ok = by_pieces(s, r.m, [&](size_t p, uint64_t from, uint64_t to) {
    SpillReader gr{}, in[MAX_GROUPS] = {};
    SpillWriter pre{}, out[MAX_GROUPS] = {};
    uint64_t next[MAX_GROUPS], name = base[p];
    bool good = open_reader(&gr, which, from, cap) &&
                (!r.last || open_writer(&pre, prefixes, name * 8, cap));
    for (size_t g = 0; g < groups; g++) {
      next[g] = sh->met[p][g];
      good = good && open_reader(&in[g], &locals->file[g], sh->at[p][g] * 4, cap) &&
             open_writer(&out[g], &ranks->file[g], next[g] * 4, cap);
    }
    for (uint64_t q = from; good && q < to; q++) {
      size_t g = take<uint8_t>(&gr);
      if (take<uint32_t>(&in[g]) != next[g]) continue;
      next[g]++;
      if (r.last && !has_state(q, r.m - 1)) {
        put(&out[g], NONE);
        stateless = true;
      } else {
        if (r.last) put(&pre, q);
        put(&out[g], static_cast<uint32_t>(name++));
      }
    }
    good = good && gr.ok;
    close_reader(&gr);
    for (size_t g = 0; g < groups; g++) {
      good = good && in[g].ok && next[g] == sh->met[p + 1][g];
      close_reader(&in[g]);
      good = close_writer(&out[g]) && good;
    }
    if (r.last) good = close_writer(&pre) && good;
    return good;
  });
  *names = base[pieces] - stateless;
  if (r.last) prefixes->bytes = *names * 8;
  return ok;
}

// The group of a key: hash bits that a group's partitions (the top) and probes (from 16) leave.
inline size_t group_of(uint64_t key, size_t groups) {
  return pair_hash(key) >> 8 & (groups - 1);
}

// Reads a round's keys from the file `a` in order from a position on: packed windows of ids, each
// the last shifted down a word with the next id on top, or pairs of names (a[q], a[q + d]).
struct KeyReader {
  SpillReader x, y;
  const Round *r;
  uint64_t window;
};

bool open_keys(KeyReader *kr, const SpillFile *a, const Round *r, uint64_t from, size_t cap) {
  kr->r = r;
  kr->window = 0;
  if (!open_reader(&kr->x, a, from * 4, cap)) return false;
  if (r->d > 0) return open_reader(&kr->y, a, (from + r->d) * 4, cap);
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

// Deals the keys into groups by hash, and each position's group into the stream `which`.
bool deal_keys(Spiller *s, const SpillFile *a, const Round *r, Dealt *keys, SpillFile *which) {
  which->bytes = r->m;  // each piece writes its own range of it
  size_t groups = keys->piece[0].count;
  size_t cap = buffer_bytes(s, keys->pieces * (groups + 3));
  return by_pieces(s, r->m, [&](size_t p, uint64_t from, uint64_t to) {
    KeyReader x{};
    SpillWriter w{};
    Groups *out = &keys->piece[p];
    bool ok = open_keys(&x, a, r, from, cap) && open_writer(&w, which, from, cap) &&
              open_writers(out, cap);
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

// Names round r's keys in `a` into `out` in order of first meeting, and how many into `*names`.
bool name_round(Spiller *s, const SpillFile *a, const Round &r, SpillFile *out, SpillFile *prefixes,
                size_t *names) {
  if (!open_spill(out) || (r.last && !open_spill(prefixes))) return false;
  size_t groups = groups_for(s, r.m, NAME_BYTES);
  struct Files {
    Dealt keys;
    Groups locals, ranks;
    Shares shares;
    SpillFile which;
  } *f = new (std::nothrow) Files();
  bool ok = f && open_spill(&f->which) && open_dealt(&f->keys, s->b.workers, groups) &&
            open_files(&f->locals, groups) && open_files(&f->ranks, groups) &&
            deal_keys(s, a, &r, &f->keys, &f->which) &&
            name_groups(s, &f->keys, &f->locals, &f->shares) &&
            rank_groups(s, r, &f->which, &f->locals, &f->ranks, &f->shares, prefixes, names) &&
            translate_groups(s, &f->locals, &f->ranks) &&
            merge_groups(s, r.m, &f->which, &f->locals, f->shares.at, out);
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

bool number_states(Spiller *s, const WordList *list, uint32_t k, SpillFile *st, SpillFile *prefixes,
                   size_t *states) {
  SpillFile names = list->spilled;  // the last round's names, or the ids
  auto name = [&](Round *r) {
    SpillFile next;
    bool ok = name_round(s, &names, *r, r->last ? st : &next, prefixes, &r->distinct);
    if (names.fd != list->spilled.fd) close_spill(&names);
    names = next;
    *states = r->distinct;
    return ok;
  };
  bool ok = name_prefixes(word_count(list), k, list->words.size, name);
  if (names.fd != list->spilled.fd) close_spill(&names);  // a round that failed
  return ok;
}

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
