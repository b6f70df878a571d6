// The suffixes of a chain built over spill files: each state's (word,
// next state) pairs, newest first with running counts, gathered a group of
// states at a time in memory and appended to the chain's files in state
// order.
#include "Spilled.h"

namespace {

// Gathering a group holds its records twice (24), and a state (8) per
// record at most.
constexpr size_t PAIR_BYTES = 32;

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
  auto make = [&](size_t i) { return record_at(records.data, i); };
  auto part_of = [&](const Record &rec) { return part_of_state(&ranges, rec.lo); };
  s->b.block = block.data;
  ok = ok &&
       split_states(&s->b, r, first, count, cache_target(r), SIZE_MAX, tally, records.data,
                    &ranges) &&
       deal(&s->b, r, ranges.parts, make, part_of) &&
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

}  // namespace

// Few pairs are gathered in one scan; otherwise the
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
  // Groups are ranges of states holding about as many positions each, as
  // the in-memory partitions are, but sized to the budget.
  struct Tally {
    const SpillFile *st;
    size_t cap, count;
    std::atomic<bool> failed;
  } states{st, buffer_bytes(s, 2 * s->b.workers), count, false};
  auto tally = [](void *a, const Ranges *rg, size_t from, size_t to, size_t *seen) {
    auto *x = static_cast<Tally *>(a);
    SpillReader c{};
    bool good = open_reader(&c, x->st, uint64_t{from} * 4, x->cap);
    for (size_t q = from; good && q < to; q++) {
      uint32_t state = take<uint32_t>(&c);
      good = c.ok && state < x->count;
      if (good) seen[state >> rg->shift]++;
    }
    close_reader(&c);
    if (!good) x->failed = true;
  };
  uint64_t target = std::max<uint64_t>(s->tables / PAIR_BYTES, p / MAX_GROUPS + 1);
  Ranges groups{};
  bool ok = split_states(&s->b, p, 0, count, target, MAX_GROUPS, tally, &states, &groups) &&
            !states.failed;
  static Dealt dealt;
  size_t pieces = s->b.workers, cap = buffer_bytes(s, pieces * (groups.parts + 3));
  ok = ok && open_dealt(&dealt, pieces, groups.parts) &&
       by_pieces(s, p, [&](size_t piece, uint64_t from, uint64_t to) {
         RecordStreams r{{}, {}, {}, count};
         Groups *out = &dealt.piece[piece];
         bool good = open_records(&r, st, &list->spilled, k, from, cap) && open_writers(out, cap);
         for (uint64_t q = from; good && q < to; q++) {
           Record rec = next_record(&r, &good);
           if (good) put(&out->out[part_of_state(&groups, rec.lo)], rec);
         }
         good = close_records(&r) && good;
         return close_writers(out) && good;
       });
  // Pages no longer needed are pages the system need not write to disk.
  if (st->fd != list->spilled.fd) close_spill(st);
  for (size_t g = 0; ok && g < groups.parts; g++) {
    size_t first = groups.lo.data[g];
    ok = gather_group(s, &dealt, g, first, groups.lo.data[g + 1] - first, t, &starts);
  }
  close_dealt(&dealt);
  release(&groups);
  return close_writer(&starts) && ok;
}
