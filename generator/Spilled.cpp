// The chain build of a text larger than memory: the steps of Chain.cpp and
// Suffixes.cpp over spill files, a group at a time, every pass a stream.
//
//   naming    Each round names the keys (a[q], a[q + d]) of the file a.
//             Where all its keys fit one table it names them in one scan.
//             Otherwise keys are dealt by hash into groups, each group
//             names its own in order of first meeting (`locals`), a merge
//             in text order turns the locals into global names in order of
//             first meeting (each group's `ranks`), each group's locals are
//             translated to them, and a last merge writes the names out.
//             The last round's names are the states, in creation order.
//   suffixes  Positions are dealt by ranges of states into groups, and each
//             group is gathered as Suffixes.cpp does and appended to the
//             chain's files, which are in state order because the groups are.
//
// Text positions are 64-bit here; names of keys and states stay 32-bit,
// and a text with more than that many is refused as lack of memory is.
#include "Deal.h"

namespace {

// A group's number is one byte of the group stream.
constexpr size_t MAX_GROUPS = 256;
// A naming table holds a key in 12-byte slots at most 3/4 full, and while
// doubling holds both tables: at most 48 bytes a key.
constexpr size_t NAME_BYTES = 48;
// Gathering a group holds, per record at most: its table slot (48), its
// pair and owner as they grow (32), and the laid-out pair (12).
constexpr size_t PAIR_BYTES = 96;
// Stream buffers: large enough that each read or write moves a run of the
// disk, small enough that 2 * MAX_GROUPS of them stay a fraction of memory.
constexpr size_t MIN_BUFFER = size_t{4} << 10, MAX_BUFFER = size_t{1} << 20;

// The memory a spilled build may use, split between its tables and the
// buffers of its streams.
struct Spiller {
  size_t tables;
  size_t buffers;
  Scratch x;
  bool ok;
};

// The bytes of each of `streams` buffers open at once.
size_t buffer_bytes(const Spiller *s, size_t streams) {
  return std::clamp(s->buffers / streams, MIN_BUFFER, MAX_BUFFER);
}

// The groups, a power of two, that make `items` items of `bytes` bytes each
// fit the tables' budget.
size_t groups_for(const Spiller *s, uint64_t items, size_t bytes) {
  size_t groups = 1;
  while (groups < MAX_GROUPS && items / groups * bytes > s->tables) groups *= 2;
  return groups;
}

unsigned bits_of(size_t groups) {
  return static_cast<unsigned>(__builtin_ctzll(groups));
}

// A set of files, one per group, and their streams.
struct Groups {
  size_t count;
  SpillFile file[MAX_GROUPS];
  SpillWriter out[MAX_GROUPS];
  SpillReader in[MAX_GROUPS];
};

bool open_files(Groups *g, size_t count) {
  g->count = count;
  for (size_t i = 0; i < count; i++)
    if (!open_spill(&g->file[i])) return false;
  return true;
}

void close_files(Groups *g) {
  for (size_t i = 0; i < g->count; i++) close_spill(&g->file[i]);
}

bool open_writers(Groups *g, size_t cap) {
  bool ok = true;
  for (size_t i = 0; i < g->count; i++) ok = open_writer(&g->out[i], &g->file[i], cap) && ok;
  return ok;
}

bool close_writers(Groups *g) {
  bool ok = true;
  for (size_t i = 0; i < g->count; i++) ok = close_writer(&g->out[i]) && ok;
  return ok;
}

bool open_readers(Groups *g, size_t cap) {
  bool ok = true;
  for (size_t i = 0; i < g->count; i++) ok = open_reader(&g->in[i], &g->file[i], 0, cap) && ok;
  return ok;
}

bool close_readers(Groups *g) {
  bool ok = true;
  for (size_t i = 0; i < g->count; i++) {
    ok = ok && g->in[i].ok;
    close_reader(&g->in[i]);
  }
  return ok;
}

// The name of `key` among `*used` names, given in order of first meeting;
// NONE if memory ran out or names ran out.
inline uint32_t name_next(Scratch *x, size_t *used, uint64_t key) {
  return *used < NONE ? name_of(&x->table, used, key, static_cast<uint32_t>(*used)) : NONE;
}

// The keys of a round: (a[q], a[q + d]) for q in [0, m).
struct Keys {
  const SpillFile *a;
  uint64_t d, m;
  bool last;  // the last round, whose names are states
};

// Names the keys in one scan with one table.  The last round's key first
// met at m - 1, the text's last prefix, has no state; every other state's
// first position goes to `prefixes`.
bool name_direct(Spiller *s, const Keys &k, size_t bound, SpillFile *out, SpillFile *prefixes,
                 size_t *names) {
  SpillReader x{}, y{};
  SpillWriter o{}, pre{};
  size_t cap = buffer_bytes(s, 4), used = 0;
  bool ok = open_reader(&x, k.a, 0, cap) & open_reader(&y, k.a, k.d * 4, cap) &
                open_writer(&o, out, cap) & (!k.last || open_writer(&pre, prefixes, cap)) &&
            clear_table(&s->x, bound);
  for (uint64_t q = 0; ok && q < k.m; q++) {
    uint64_t key = take<uint32_t>(&x) | uint64_t{take<uint32_t>(&y)} << 32;
    size_t before = used;
    uint32_t name = name_next(&s->x, &used, key);
    ok = name != NONE && x.ok && y.ok;
    if (k.last && used > before) {
      if (q + 1 == k.m)
        name = NONE, used--;
      else
        put(&pre, q);
    }
    put(&o, name);
  }
  ok = ok && x.ok && y.ok;
  close_reader(&x);
  close_reader(&y);
  ok = close_writer(&o) && ok;
  if (k.last) ok = close_writer(&pre) && ok;
  *names = used;
  return ok;
}

// Deals the keys into `keys`' groups by hash, and each position's group
// into the stream `which`.
bool deal_keys(Spiller *s, const Keys &k, Groups *keys, SpillFile *which) {
  SpillReader x{}, y{};
  SpillWriter w{};
  size_t cap = buffer_bytes(s, keys->count + 3);
  unsigned bits = bits_of(keys->count);
  bool ok = open_reader(&x, k.a, 0, cap) & open_reader(&y, k.a, k.d * 4, cap) &
            open_writer(&w, which, cap) & open_writers(keys, cap);
  for (uint64_t q = 0; ok && q < k.m; q++) {
    uint64_t key = take<uint32_t>(&x) | uint64_t{take<uint32_t>(&y)} << 32;
    size_t g = bits ? pair_hash(key) >> (64 - bits) : 0;
    put(&w, static_cast<uint8_t>(g));
    put(&keys->out[g], key);
  }
  ok = ok && x.ok && y.ok;
  close_reader(&x);
  close_reader(&y);
  ok = close_writer(&w) && ok;
  return close_writers(keys) && ok;
}

// Names each group's keys in order of first meeting, into `locals`; leaves
// in seen[g] the names group g gave.
bool name_groups(Spiller *s, Groups *keys, Groups *locals, size_t *seen) {
  size_t cap = buffer_bytes(s, 2);
  bool ok = true;
  for (size_t g = 0; ok && g < keys->count; g++) {
    SpillReader r{};
    SpillWriter w{};
    uint64_t records = keys->file[g].bytes / 8;
    size_t used = 0;
    ok = open_reader(&r, &keys->file[g], 0, cap) & open_writer(&w, &locals->file[g], cap) &&
         clear_table(&s->x, static_cast<size_t>(std::min<uint64_t>(records, SIZE_MAX)));
    for (uint64_t i = 0; ok && i < records; i++) {
      uint32_t name = name_next(&s->x, &used, take<uint64_t>(&r));
      ok = name != NONE && r.ok;
      put(&w, name);
    }
    s->x.keys = seen[g] = used;
    ok = ok && r.ok;
    close_reader(&r);
    ok = close_writer(&w) && ok;
    close_spill(&keys->file[g]);
  }
  return ok;
}

// Merges the groups' locals in text order: a local met for the first time
// is a key's first meeting, and takes the next global name, written to its
// group's `ranks`.  The last round's states go as name_direct's do.
bool rank_groups(Spiller *s, const Keys &k, SpillFile *which, Groups *locals, Groups *ranks,
                 SpillFile *prefixes, size_t *names) {
  SpillReader gr{};
  SpillWriter pre{};
  size_t cap = buffer_bytes(s, 2 * locals->count + 2), seen[MAX_GROUPS] = {}, used = 0;
  bool ok = open_reader(&gr, which, 0, cap) & (!k.last || open_writer(&pre, prefixes, cap)) &
            open_readers(locals, cap) & open_writers(ranks, cap);
  for (uint64_t q = 0; ok && q < k.m; q++) {
    size_t g = take<uint8_t>(&gr);
    if (take<uint32_t>(&locals->in[g]) != seen[g]) continue;
    seen[g]++;
    uint32_t name = static_cast<uint32_t>(used++);
    if (k.last && q + 1 == k.m)
      name = NONE, used--;
    else if (k.last)
      put(&pre, q);
    put(&ranks->out[g], name);
    ok = used < NONE;
  }
  ok = ok && gr.ok;
  close_reader(&gr);
  if (k.last) ok = close_writer(&pre) && ok;
  ok = close_readers(locals) && ok;
  *names = used;
  return close_writers(ranks) && ok;
}

// Rewrites each group's locals, in place, as the global names in `ranks`.
bool translate_groups(Spiller *s, Groups *locals, Groups *ranks) {
  Array<uint32_t> rank, chunk;
  size_t step = buffer_bytes(s, 1) / 4;
  bool ok = make_block(&chunk, step);
  for (size_t g = 0; ok && g < locals->count; g++) {
    size_t n = static_cast<size_t>(ranks->file[g].bytes / 4);
    ok = make_block(&rank, n) && read_at(&ranks->file[g], 0, rank.data, n * 4);
    close_spill(&ranks->file[g]);
    for (uint64_t at = 0, end = locals->file[g].bytes; ok && at < end; at += step * 4) {
      size_t len = static_cast<size_t>(std::min<uint64_t>(step * 4, end - at));
      ok = read_at(&locals->file[g], at, chunk.data, len);
      for (size_t i = 0; ok && i < len / 4; i++) {
        ok = chunk.data[i] < n;
        if (ok) chunk.data[i] = rank.data[chunk.data[i]];
      }
      ok = ok && write_at(&locals->file[g], at, chunk.data, len);
    }
  }
  release(&rank);
  release(&chunk);
  return ok;
}

// Writes the names out in text order, each taken from its group.
bool merge_groups(Spiller *s, const Keys &k, SpillFile *which, Groups *names, SpillFile *out) {
  SpillReader gr{};
  SpillWriter o{};
  size_t cap = buffer_bytes(s, names->count + 2);
  bool ok = open_reader(&gr, which, 0, cap) & open_writer(&o, out, cap) & open_readers(names, cap);
  for (uint64_t q = 0; ok && q < k.m; q++) put(&o, take<uint32_t>(&names->in[take<uint8_t>(&gr)]));
  ok = ok && gr.ok;
  close_reader(&gr);
  ok = close_readers(names) && ok;
  return close_writer(&o) && ok;
}

// One round of naming into `out`: a key's name is its number in order of
// first meeting, of which there are at most `*names`; leaves in `*names`
// how many there are.
bool name_round(Spiller *s, const Keys &k, SpillFile *out, SpillFile *prefixes, size_t *names) {
  size_t bound = static_cast<size_t>(std::min<uint64_t>(k.m, *names));
  size_t groups = groups_for(s, bound, NAME_BYTES);
  if (!open_spill(out) || (k.last && !open_spill(prefixes))) return false;
  if (groups == 1) return name_direct(s, k, bound, out, prefixes, names);
  static Groups keys, locals, ranks;
  SpillFile which;
  size_t seen[MAX_GROUPS] = {};
  bool ok = open_spill(&which) && open_files(&keys, groups) && open_files(&locals, groups) &&
            open_files(&ranks, groups) && deal_keys(s, k, &keys, &which) &&
            name_groups(s, &keys, &locals, seen) &&
            rank_groups(s, k, &which, &locals, &ranks, prefixes, names) &&
            translate_groups(s, &locals, &ranks) && merge_groups(s, k, &which, &locals, out);
  close_files(&keys);
  close_files(&locals);
  close_files(&ranks);
  close_spill(&which);
  return ok;
}

// Names the prefixes of k >= 2 words by doubling, as Chain.cpp does, into
// `st`: each position q <= p gets its state, NONE for a last prefix met
// first at p.  Each state's first position goes to `prefixes`.
bool number_states(Spiller *s, const WordList *list, uint32_t k, SpillFile *st, SpillFile *prefixes,
                   size_t *states) {
  uint64_t n = word_count(list), p = n - k;
  size_t half = 1;
  while (half * 2 < k) half *= 2;
  SpillFile names = list->spilled, next;
  size_t distinct = list->words.size;
  auto pairs = [](size_t x) { return x > UINT32_MAX ? SIZE_MAX : x * x; };
  bool ok = true;
  for (size_t width = 1; ok && width < half; width *= 2) {
    distinct = pairs(distinct);
    ok = name_round(s, Keys{&names, width, n - 2 * width + 1, false}, &next, nullptr, &distinct);
    if (names.fd != list->spilled.fd) close_spill(&names);
    names = next;
  }
  distinct = pairs(distinct);
  ok = ok && name_round(s, Keys{&names, k - half, p + 1, true}, st, prefixes, &distinct);
  if (names.fd != list->spilled.fd) close_spill(&names);
  *states = distinct;
  return ok;
}

// The states of one-word prefixes: word w is state w, first met where its
// id is first met; a new last word has no state.
bool number_words(Spiller *s, const WordList *list, SpillFile *prefixes, size_t *states) {
  uint64_t p = word_count(list) - 1;
  SpillReader r{};
  SpillWriter w{};
  size_t cap = buffer_bytes(s, 2), count = 0;
  bool ok = open_spill(prefixes) &&
            open_reader(&r, &list->spilled, 0, cap) & open_writer(&w, prefixes, cap);
  for (uint64_t q = 0; ok && q < p; q++)
    if (take<uint32_t>(&r) == count) {
      put(&w, q);
      count++;
    }
  ok = ok && r.ok;
  close_reader(&r);
  *states = count;
  return close_writer(&w) && ok;
}

// ---------------------------------------------------------------------------
// Suffixes

// The fine ranges of states that groups are made of.
constexpr unsigned FINE_BITS = 16;

// Gathers the records that next() gives, of the states [first, first +
// states), and appends their suffixes and each state's first suffix to the
// chain's files.
template <class Next>
bool gather_group(Spiller *s, size_t first, size_t states, uint64_t records, Next next,
                  StateTable *t, SpillWriter *starts) {
  Scratch *x = &s->x;
  Array<Suffix> out;
  bool ok = start_pairs(x, static_cast<size_t>(std::min<uint64_t>(records, SIZE_MAX)), states);
  for (uint64_t i = 0; ok && i < records; i++) {
    Record r = next(&ok);
    ok = ok && r.lo - first < states && count_pair(x, r, first);
  }
  ok = ok && make_block(&out, x->pairs.size);
  if (ok) {
    lay_out_pairs(x, states, out.data);
    uint64_t base = t->files.suffixes_total;
    for (size_t g = 0; g < states; g++) put(starts, base + (g ? x->bounds.data[g - 1] : 0));
    ok = write_at(&t->files.suffixes, base * sizeof(Suffix), out.data,
                  x->pairs.size * sizeof(Suffix));
    t->files.suffixes_total += x->pairs.size;
  }
  release(&out);
  return ok;
}

// The suffixes of the `count` states of `st`, where positions [0, p) have
// states below count and a state number of `count` or more stands for none.
bool collect_suffixes(Spiller *s, const WordList *list, uint32_t k, const SpillFile *st, uint64_t p,
                      size_t count, StateTable *t) {
  size_t cap = buffer_bytes(s, MAX_GROUPS + 4);
  SpillWriter starts{};
  if (!open_spill(&t->files.suffixes) || !open_spill(&t->files.suffixes_at) ||
      !open_writer(&starts, &t->files.suffixes_at, cap))
    return false;
  // Three streams make each position's record: its state, its word and the
  // next position's state.
  SpillReader a{}, w{}, b{};
  bool ok = open_reader(&a, st, 0, cap) & open_reader(&w, &list->spilled, uint64_t{k} * 4, cap) &
            open_reader(&b, st, 4, cap);
  auto record = [&](bool *good) {
    uint32_t state = take<uint32_t>(&a), word = take<uint32_t>(&w), next = take<uint32_t>(&b);
    *good = *good && a.ok && w.ok && b.ok && state < count;
    return Record{state, word, next < count ? next : NONE};
  };
  if (ok && groups_for(s, p, PAIR_BYTES) == 1) {
    ok = gather_group(s, 0, count, p, record, t, &starts);
  } else if (ok) {
    // Groups are ranges of states holding about as many positions each,
    // made of fine ranges of 2^shift states, counted first.
    unsigned shift = 0;
    while ((count - 1) >> shift >> FINE_BITS) shift++;
    size_t fine = ((count - 1) >> shift) + 1, groups = 0;
    uint64_t target = std::max<uint64_t>(s->tables / PAIR_BYTES, p / MAX_GROUPS + 1), held = 0;
    Array<uint64_t> seen;
    Array<uint8_t> group_of;
    Array<size_t> lo;
    ok = make_filled(&seen, fine, uint64_t{0}) && make_block(&group_of, fine) &&
         make_block(&lo, MAX_GROUPS + 1);
    SpillReader c{};
    ok = ok && open_reader(&c, st, 0, cap);
    for (uint64_t q = 0; ok && q < p; q++) {
      uint32_t state = take<uint32_t>(&c);
      ok = c.ok && state < count;
      if (ok) seen.data[state >> shift]++;
    }
    close_reader(&c);
    for (size_t f = 0; ok && f < fine; f++) {
      if ((held + seen.data[f] > target && held > 0 && groups < MAX_GROUPS) || groups == 0) {
        lo.data[groups++] = f << shift;
        held = 0;
      }
      held += seen.data[f];
      group_of.data[f] = static_cast<uint8_t>(groups - 1);
    }
    if (ok) lo.data[groups] = count;
    // Deal the records, then gather each group in state order.
    static Groups dealt;
    ok = ok && open_files(&dealt, groups) && open_writers(&dealt, cap);
    for (uint64_t q = 0; ok && q < p; q++) {
      Record r = record(&ok);
      put(&dealt.out[group_of.data[r.lo >> shift]], r);
    }
    ok = close_writers(&dealt) && ok && open_readers(&dealt, cap);
    for (size_t g = 0; ok && g < groups; g++) {
      SpillReader *in = &dealt.in[g];
      auto next = [&](bool *good) {
        Record r = take<Record>(in);
        *good = *good && in->ok;
        return r;
      };
      ok = gather_group(s, lo.data[g], lo.data[g + 1] - lo.data[g],
                        dealt.file[g].bytes / sizeof(Record), next, t, &starts);
      close_spill(&dealt.file[g]);
    }
    close_readers(&dealt);
    close_files(&dealt);
    release(&seen);
    release(&group_of);
    release(&lo);
  }
  close_reader(&a);
  close_reader(&w);
  close_reader(&b);
  return close_writer(&starts) && ok;
}

}  // namespace

bool build_spilled(const WordList *list, uint32_t k, StateTable *t) {
  t->k = k;
  uint64_t n = word_count(list);
  if (n <= k) return true;
  key_hashes();
  size_t budget = memory_budget();
  Spiller s{budget / 4 * 3, budget / 4, Scratch(), true};
  SpillFile st;
  size_t states = 0;
  bool ok = k == 1 ? number_words(&s, list, &t->files.prefix_at, &states)
                   : number_states(&s, list, k, &st, &t->files.prefix_at, &states);
  t->files.states = states;
  ok = ok && collect_suffixes(&s, list, k, k == 1 ? &list->spilled : &st, n - k, states, t);
  close_spill(&st);
  release(&s.x.table);
  release(&s.x.pairs);
  release(&s.x.owner);
  release(&s.x.bounds);
  return ok;
}
