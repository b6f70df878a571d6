// The chain build of a text larger than memory: the steps of Chain.cpp and
// Suffixes.cpp over spill files, a group at a time, every pass a stream.
//
//   naming    Each round names the keys (a[q], a[q + d]) of the file a.
//             Where its keys are few it names them in one scan with one
//             table.  Otherwise keys are dealt by hash into groups, each
//             group is named in memory as Chain.cpp names a round (each key
//             by its first place in the group: `locals`), a merge in text
//             order gives each key met first its global name in order of
//             first meeting (each group's `ranks`), each group's locals are
//             translated to them, and a last merge writes the names out.
//             The last round's names are the states, in creation order.
//   suffixes  Positions are dealt by ranges of states into groups, and each
//             group is gathered in memory as Suffixes.cpp does and appended
//             to the chain's files, in state order because the groups are.
//
// Text positions are 64-bit here; names of keys and states stay 32-bit,
// and a text with more than that many is refused as lack of memory is.
#include "Deal.h"

namespace {

// A group's number is one byte of the group stream.
constexpr size_t MAX_GROUPS = 256;
// Keys this few are named in one scan, with a table that stays in cache;
// it holds a key in 12-byte slots at most 3/4 full, and while doubling
// holds both tables: at most 48 bytes a key.
constexpr size_t FEW_KEYS = size_t{1} << 16, FEW_BYTES = 48;
// Naming a group in memory holds its keys (8 bytes) and dealt records (12).
constexpr size_t NAME_BYTES = 20;
// Gathering a group holds its records twice (24), and a state (8) per
// record at most.
constexpr size_t PAIR_BYTES = 32;
// Stream buffers: large enough that each read or write moves a run of the
// disk, small enough that 2 * MAX_GROUPS of them stay a fraction of memory.
constexpr size_t MIN_BUFFER = size_t{4} << 10, MAX_BUFFER = size_t{1} << 20;

// The memory a spilled build may use, split between its tables and the
// buffers of its streams, and its workers, each of which takes a piece of
// the positions in a pass over them.
struct Spiller {
  size_t tables;
  size_t buffers;
  Build b;  // the in-memory build that each group is worked with
  // Blocks kept from group to group: a group's records as read and as
  // dealt, and its states.
  Array<Suffix> records, block;
  Array<State> states;
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

// Keys that one table in one scan may name: few, and within the budget.
size_t few_keys(const Spiller *s) {
  return std::min(FEW_KEYS, s->tables / FEW_BYTES);
}

// The group of a key: hash bits that neither the partitions of a group
// (the top bits) nor a table's probe (from bit 16 up) use.
inline size_t group_of(uint64_t key, size_t groups) {
  return pair_hash(key) >> 8 & (groups - 1);
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
  for (size_t i = 0; i < g->count; i++) ok = open_writer(&g->out[i], &g->file[i], 0, cap) && ok;
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

// Groups dealt by a pass in pieces: piece p's share of group g is
// piece[p].file[g], and group g is the pieces' shares in order.
struct Dealt {
  size_t pieces;
  Groups piece[MAX_BUILD_WORKERS];
};

bool open_dealt(Dealt *d, size_t pieces, size_t groups) {
  d->pieces = pieces;
  bool ok = true;
  for (size_t p = 0; p < pieces; p++) ok = open_files(&d->piece[p], groups) && ok;
  return ok;
}

void close_dealt(Dealt *d) {
  for (size_t p = 0; p < d->pieces; p++) close_files(&d->piece[p]);
}

// The bytes of group g.
uint64_t group_bytes(const Dealt *d, size_t g) {
  uint64_t bytes = 0;
  for (size_t p = 0; p < d->pieces; p++) bytes += d->piece[p].file[g].bytes;
  return bytes;
}

// Reads the whole of group g into `to`, and gives its files back.
bool read_group(Dealt *d, size_t g, char *to) {
  bool ok = true;
  for (size_t p = 0; p < d->pieces; p++) {
    SpillFile *f = &d->piece[p].file[g];
    ok = ok && read_at(f, 0, to, static_cast<size_t>(f->bytes));
    to += f->bytes;
    close_spill(f);
  }
  return ok;
}

// Runs fn(piece, from, to) for the pieces of the positions [0, m), one per
// worker, each on its own streams; false if any failed.
template <class F>
bool by_pieces(Spiller *s, uint64_t m, F fn) {
  std::atomic<bool> failed{false};
  auto piece = [&](size_t p, unsigned) {
    if (!fn(p, range_start(m, s->b.workers, p), range_start(m, s->b.workers, p + 1))) failed = true;
  };
  run_tasks(s->b.workers, s->b.workers, piece);
  return !failed;
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
  bool ok = open_reader(&x, k.a, 0, cap) && open_reader(&y, k.a, k.d * 4, cap) &&
            open_writer(&o, out, 0, cap) && (!k.last || open_writer(&pre, prefixes, 0, cap)) &&
            clear_table(&s->b.scratch[0], bound);
  for (uint64_t q = 0; ok && q < k.m; q++) {
    uint64_t key = take<uint32_t>(&x) | uint64_t{take<uint32_t>(&y)} << 32;
    size_t before = used;
    uint32_t name = name_next(&s->b.scratch[0], &used, key);
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

// Deals the keys into groups by hash, and each position's group into the
// stream `which`.
bool deal_keys(Spiller *s, const Keys &k, Dealt *keys, SpillFile *which) {
  which->bytes = k.m;  // each piece writes its own range of it
  size_t groups = keys->piece[0].count;
  size_t cap = buffer_bytes(s, keys->pieces * (groups + 3));
  return by_pieces(s, k.m, [&](size_t p, uint64_t from, uint64_t to) {
    SpillReader x{}, y{};
    SpillWriter w{};
    Groups *out = &keys->piece[p];
    bool ok = open_reader(&x, k.a, from * 4, cap) && open_reader(&y, k.a, (from + k.d) * 4, cap) &&
              open_writer(&w, which, from, cap) && open_writers(out, cap);
    for (uint64_t q = from; ok && q < to; q++) {
      uint64_t key = take<uint32_t>(&x) | uint64_t{take<uint32_t>(&y)} << 32;
      size_t g = group_of(key, groups);
      put(&w, static_cast<uint8_t>(g));
      put(&out->out[g], key);
    }
    ok = ok && x.ok && y.ok;
    close_reader(&x);
    close_reader(&y);
    ok = close_writer(&w) && ok;
    return close_writers(out) && ok;
  });
}

// Names each group's keys in memory by their first place in the group,
// into `locals`; leaves in at[p][g] where piece p's share of group g
// starts in it.
bool name_groups(Spiller *s, Dealt *keys, Groups *locals, uint64_t (*at)[MAX_GROUPS]) {
  Array<uint32_t> a;
  bool ok = true;
  for (size_t g = 0; ok && g < locals->count; g++) {
    // The keys' low halves, then their high halves: key i is (a[i], a[r + i]).
    size_t r = static_cast<size_t>(group_bytes(keys, g) / 8), names = r;
    for (size_t p = 0, before = 0; p < keys->pieces; before += keys->piece[p++].file[g].bytes / 8)
      at[p][g] = before;
    ok = fit_block(&a, 2 * r) && fit_block(&s->block, r) &&
         read_group(keys, g, reinterpret_cast<char *>(s->block.data));
    // The keys were read into the block, which the naming deals into.
    for (size_t i = 0; ok && i < r; i++) {
      uint64_t key;
      std::memcpy(&key, reinterpret_cast<const char *>(s->block.data) + i * 8, 8);
      a.data[i] = static_cast<uint32_t>(key);
      a.data[r + i] = static_cast<uint32_t>(key >> 32);
    }
    s->b.block = s->block.data;
    ok = ok && (r == 0 || name_round(&s->b, a.data, r, r, a.data, true, &names)) &&
         write_at(&locals->file[g], 0, a.data, r * 4);
  }
  release(&a);
  return ok;
}

// Merges the groups' locals in text order: a key whose local is its own
// place in the group is met first there, and takes the next global name,
// written to its group's `ranks`.  The last round's states go as
// name_direct's do.
bool rank_groups(Spiller *s, const Keys &k, SpillFile *which, Groups *locals, Groups *ranks,
                 SpillFile *prefixes, size_t *names) {
  SpillReader gr{};
  SpillWriter pre{};
  size_t cap = buffer_bytes(s, 2 * locals->count + 2), used = 0;
  uint64_t place[MAX_GROUPS] = {};
  bool ok = open_reader(&gr, which, 0, cap) && (!k.last || open_writer(&pre, prefixes, 0, cap)) &&
            open_readers(locals, cap) && open_writers(ranks, cap);
  for (uint64_t q = 0; ok && q < k.m; q++) {
    size_t g = take<uint8_t>(&gr);
    if (take<uint32_t>(&locals->in[g]) != place[g]++) continue;
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

// Rewrites each group's locals, in place, as the global names in `ranks`:
// the rank of the key first met at place i is the next in `ranks` where
// local i is i itself.  Groups are rewritten on every worker.
bool translate_groups(Spiller *s, Groups *locals, Groups *ranks) {
  Array<uint32_t> rank[MAX_BUILD_WORKERS], chunk[MAX_BUILD_WORKERS];
  size_t step = buffer_bytes(s, 2 * s->b.workers) / 4;
  std::atomic<bool> failed{false};
  auto one = [&](size_t g, unsigned worker) {
    size_t r = static_cast<size_t>(locals->file[g].bytes / 4);
    uint32_t *rk = nullptr, *ch = nullptr;
    SpillReader in{};
    bool ok = !failed && fit_block(&rank[worker], r) && fit_block(&chunk[worker], step) &&
              open_reader(&in, &ranks->file[g], 0, step * 4);
    if (ok) rk = rank[worker].data, ch = chunk[worker].data;
    for (size_t from = 0; ok && from < r; from += step) {
      size_t len = std::min(step, r - from);
      ok = read_at(&locals->file[g], from * 4, ch, len * 4);
      for (size_t i = 0; ok && i < len; i++) {
        uint32_t local = ch[i];
        ok = local <= from + i;
        if (local == from + i) rk[local] = take<uint32_t>(&in);
        if (ok) ch[i] = rk[local];
      }
      ok = ok && in.ok && write_at(&locals->file[g], from * 4, ch, len * 4);
    }
    close_reader(&in);
    close_spill(&ranks->file[g]);
    if (!ok) failed = true;
  };
  run_tasks(locals->count, s->b.workers, one);
  for (unsigned w = 0; w < MAX_BUILD_WORKERS; w++) {
    release(&rank[w]);
    release(&chunk[w]);
  }
  return !failed;
}

// Writes the names out in text order, each taken from its group, in
// pieces: piece p's share of group g starts at at[p][g].
bool merge_groups(Spiller *s, const Keys &k, SpillFile *which, Groups *names,
                  const uint64_t (*at)[MAX_GROUPS], SpillFile *out) {
  out->bytes = k.m * 4;  // each piece writes its own range of it
  size_t cap = buffer_bytes(s, s->b.workers * (names->count + 2));
  return by_pieces(s, k.m, [&](size_t p, uint64_t from, uint64_t to) {
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
  size_t bound = static_cast<size_t>(std::min<uint64_t>(k.m, *names));
  if (!open_spill(out) || (k.last && !open_spill(prefixes))) return false;
  if (bound <= few_keys(s)) return name_direct(s, k, bound, out, prefixes, names);
  size_t groups = groups_for(s, k.m, NAME_BYTES);
  static Dealt keys;
  static Groups locals, ranks;
  static uint64_t at[MAX_BUILD_WORKERS][MAX_GROUPS];
  SpillFile which;
  bool ok = open_spill(&which) && open_dealt(&keys, s->b.workers, groups) &&
            open_files(&locals, groups) && open_files(&ranks, groups) &&
            deal_keys(s, k, &keys, &which) && name_groups(s, &keys, &locals, at) &&
            rank_groups(s, k, &which, &locals, &ranks, prefixes, names) &&
            translate_groups(s, &locals, &ranks) && merge_groups(s, k, &which, &locals, at, out);
  close_dealt(&keys);
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
  bool ok = open_spill(prefixes) && open_reader(&r, &list->spilled, 0, cap) &&
            open_writer(&w, prefixes, 0, cap);
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

// Appends a group's suffixes, laid out in `out`, to the chain's files, and
// each of its states' first suffix, `begin` past the group's first.
bool append_group(StateTable *t, const Suffix *out, size_t pairs, size_t states, const State *begin,
                  const uint32_t *bounds, SpillWriter *starts) {
  uint64_t base = t->files.suffixes_total;
  for (size_t g = 0; g < states; g++)
    put(starts, base + (begin ? begin[g].suffixes_at : g ? bounds[g - 1] : 0));
  t->files.suffixes_total += pairs;
  return write_at(&t->files.suffixes, base * sizeof(Suffix), out, pairs * sizeof(Suffix));
}

// Gathers the records that next() gives, of the `states` states from 0,
// with one table: for a text whose pairs are few, however long it is.
template <class Next>
bool gather_stream(Spiller *s, size_t states, uint64_t records, size_t pairs, Next next,
                   StateTable *t, SpillWriter *starts) {
  Scratch *x = &s->b.scratch[0];
  Array<Suffix> out;
  bool ok = start_pairs(x, pairs, states);
  for (uint64_t i = 0; ok && i < records; i++) {
    Record r = next(&ok);
    ok = ok && count_pair(x, r, 0);
  }
  ok = ok && make_block(&out, x->pairs.size) && lay_out_pairs(x, states, out.data);
  if (ok) {
    ok = append_group(t, out.data, x->pairs.size, states, nullptr, x->bounds.data, starts);
  }
  release(&out);
  return ok;
}

// Gathers in memory, as Suffixes.cpp does, group g of the records dealt,
// of the `count` states from `first`, and appends it to the chain's files.
bool gather_group(Spiller *s, Dealt *d, size_t g, size_t first, size_t count, StateTable *t,
                  SpillWriter *starts) {
  size_t r = static_cast<size_t>(group_bytes(d, g) / sizeof(Record)), pairs = 0;
  Array<Suffix> &records = s->records, &block = s->block;
  Array<State> &states = s->states;
  Ranges ranges{};
  bool ok = fit_block(&records, r) && fit_block(&block, r) && fit_block(&states, count) &&
            read_group(d, g, reinterpret_cast<char *>(records.data));
  for (size_t i = 0; ok && i < r; i++) ok = record_at(records.data, i).lo - first < count;
  auto tally = [](void *a, const Ranges *rg, size_t from, size_t to, size_t *seen) {
    const Suffix *rec = static_cast<const Suffix *>(a);
    for (size_t i = from; i < to; i++) seen[(record_at(rec, i).lo - rg->first) >> rg->shift]++;
  };
  auto part_of = [&](size_t i) { return part_of_state(&ranges, record_at(records.data, i).lo); };
  auto make = [&](size_t i) { return record_at(records.data, i); };
  s->b.block = block.data;
  ok = ok && split_states(&s->b, r, first, count, tally, records.data, &ranges) &&
       deal(&s->b, r, ranges.parts, part_of, make) &&
       gather_parts(&s->b, &ranges, states.data, &pairs) &&
       append_group(t, block.data, pairs, count, states.data, nullptr, starts);
  release(&ranges);
  return ok;
}

// The streams that make each position's record, from q on: its state, its
// word and the next position's state.  A state of `count` or more stands
// for none.
struct RecordStreams {
  SpillReader state, word, next;
  size_t count;
};

bool open_records(RecordStreams *r, const SpillFile *st, const SpillFile *ids, uint32_t k,
                  uint64_t q, size_t cap) {
  return open_reader(&r->state, st, q * 4, cap) && open_reader(&r->word, ids, (q + k) * 4, cap) &&
         open_reader(&r->next, st, (q + 1) * 4, cap);
}

// Closes the streams; false if any ran out or failed.
bool close_records(RecordStreams *r) {
  bool ok = r->state.ok && r->word.ok && r->next.ok;
  close_reader(&r->state);
  close_reader(&r->word);
  close_reader(&r->next);
  return ok;
}

// The next record; *good turns false where the streams fail or the state
// is out of range.
inline Record next_record(RecordStreams *r, bool *good) {
  uint32_t state = take<uint32_t>(&r->state), word = take<uint32_t>(&r->word),
           next = take<uint32_t>(&r->next);
  *good = *good && r->state.ok && r->word.ok && r->next.ok && state < r->count;
  return Record{state, word, next < r->count ? next : NONE};
}

// The suffixes of the `count` states of `st`, where positions [0, p) have
// states below count; `st`, unless it is the text's ids, is given back as
// soon as it is read.  Few pairs are gathered in one scan; otherwise the
// positions are dealt, in pieces, by ranges of states holding about as many
// positions each (made of fine ranges of 2^shift states, counted first),
// and each group gathered in state order.
bool collect_suffixes(Spiller *s, const WordList *list, uint32_t k, SpillFile *st, uint64_t p,
                      size_t count, StateTable *t) {
  SpillWriter starts{};
  if (!open_spill(&t->files.suffixes) || !open_spill(&t->files.suffixes_at) ||
      !open_writer(&starts, &t->files.suffixes_at, 0, buffer_bytes(s, 4)))
    return false;
  size_t few = std::min<uint64_t>(p, uint64_t{count} * list->words.size);
  if (few <= few_keys(s)) {
    RecordStreams r{{}, {}, {}, count};
    bool ok = open_records(&r, st, &list->spilled, k, 0, buffer_bytes(s, 4)) &&
              gather_stream(
                  s, count, p, few, [&](bool *good) { return next_record(&r, good); }, t, &starts);
    ok = close_records(&r) && ok;
    return close_writer(&starts) && ok;
  }
  unsigned shift = 0;
  while ((count - 1) >> shift >> FINE_BITS) shift++;
  size_t fine = ((count - 1) >> shift) + 1, groups = 0, pieces = s->b.workers;
  uint64_t target = std::max<uint64_t>(s->tables / PAIR_BYTES, p / MAX_GROUPS + 1), held = 0;
  Array<uint64_t> seen;  // positions per fine range, per piece
  Array<uint8_t> group_of;
  Array<size_t> lo;
  size_t cap = buffer_bytes(s, pieces * 4);
  bool ok = make_filled(&seen, pieces * fine, uint64_t{0}) && make_block(&group_of, fine) &&
            make_block(&lo, MAX_GROUPS + 1) &&
            by_pieces(s, p, [&](size_t piece, uint64_t from, uint64_t to) {
              SpillReader c{};
              uint64_t *mine = seen.data + piece * fine;
              bool good = open_reader(&c, st, from * 4, cap);
              for (uint64_t q = from; good && q < to; q++) {
                uint32_t state = take<uint32_t>(&c);
                good = c.ok && state < count;
                if (good) mine[state >> shift]++;
              }
              close_reader(&c);
              return good;
            });
  for (size_t f = 0; ok && f < fine; f++) {
    uint64_t here = 0;
    for (size_t piece = 0; piece < pieces; piece++) here += seen.data[piece * fine + f];
    if ((held + here > target && held > 0 && groups < MAX_GROUPS) || groups == 0) {
      lo.data[groups++] = f << shift;
      held = 0;
    }
    held += here;
    group_of.data[f] = static_cast<uint8_t>(groups - 1);
  }
  if (ok) lo.data[groups] = count;
  static Dealt dealt;
  cap = buffer_bytes(s, pieces * (groups + 3));
  ok = ok && open_dealt(&dealt, pieces, groups) &&
       by_pieces(s, p, [&](size_t piece, uint64_t from, uint64_t to) {
         RecordStreams r{{}, {}, {}, count};
         Groups *out = &dealt.piece[piece];
         bool good = open_records(&r, st, &list->spilled, k, from, cap) && open_writers(out, cap);
         for (uint64_t q = from; good && q < to; q++) {
           Record rec = next_record(&r, &good);
           if (good) put(&out->out[group_of.data[rec.lo >> shift]], rec);
         }
         good = close_records(&r) && good;
         return close_writers(out) && good;
       });
  // Pages no longer needed are pages the system need not write to disk.
  if (st->fd != list->spilled.fd) close_spill(st);
  for (size_t g = 0; ok && g < groups; g++)
    ok = gather_group(s, &dealt, g, lo.data[g], lo.data[g + 1] - lo.data[g], t, &starts);
  close_dealt(&dealt);
  release(&seen);
  release(&group_of);
  release(&lo);
  return close_writer(&starts) && ok;
}

}  // namespace

bool build_spilled(const WordList *list, uint32_t k, StateTable *t) {
  t->k = k;
  uint64_t n = word_count(list);
  if (n <= k) return true;
  key_hashes();
  size_t budget = memory_budget();
  static Spiller s;
  s.tables = budget / 4 * 3;
  s.buffers = budget / 4;
  s.b.workers = build_workers();
  SpillFile st;
  size_t states = 0;
  bool ok = k == 1 ? number_words(&s, list, &t->files.prefix_at, &states)
                   : number_states(&s, list, k, &st, &t->files.prefix_at, &states);
  t->files.states = states;
  SpillFile ids = list->spilled;
  ok = ok && collect_suffixes(&s, list, k, k == 1 ? &ids : &st, n - k, states, t);
  close_spill(&st);
  release(&s.b);
  release(&s.records);
  release(&s.block);
  release(&s.states);
  return ok;
}
