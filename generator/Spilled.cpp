// The chain build of a text larger than memory: states named over files (SpilledNames.cpp), then
// positions dealt by ranges of states into groups as large as the memory left allows, each gathered
// in memory as Suffixes.cpp gathers a text and appended to the chain's files in state order.  A
// group that does not fit is dealt again into fewer states; a single state too frequent to hold is
// counted a record at a time through a table of its pairs.
#include "Spilled.h"

#include <new>

#include "SpilledNames.h"

namespace {

// Appends a group's suffixes and its states' starts (from `begin`, else `bounds`) to the chain.
bool append_group(StateTable *t, const Suffix *out, size_t pairs, size_t states,
                  const uint32_t *begin, const uint32_t *bounds, SpillWriter *starts) {
  uint64_t base = t->files.suffixes_total;
  for (size_t g = 0; g < states; g++)
    put(starts, base + (begin ? begin[g] : g ? bounds[g - 1] : 0));
  t->files.suffixes_total += pairs;
  return write_at(&t->files.suffixes, base * sizeof(Suffix), out, pairs * sizeof(Suffix));
}

// Gathers as gather_group does, through one table of the pairs feed(sink) hands to sink(record).
template <class Feed>
bool gather_stream(Spiller *s, size_t first, size_t states, uint64_t records, Feed feed,
                   StateTable *t, SpillWriter *starts) {
  Scratch *x = &s->b.scratch[0];
  Array<Suffix> out;
  bool ok = count_pairs(x, first, states, std::min<uint64_t>(records, FIRST_KEYS), feed);
  release(&x->table);  // the pairs are counted: their table goes before their layout comes
  ok = ok && make_block(&out, x->pairs.size) && lay_out_pairs(x, states, out.data) &&
       append_group(t, out.data, x->pairs.size, states, nullptr, x->bounds.data, starts);
  release(&out);
  return ok;
}

// Gathers in s->block the `r` records of group g, as Suffixes.cpp does; false if memory ran out.
bool gather_in_memory(Spiller *s, Dealt *d, size_t g, size_t r, size_t first, size_t count,
                      size_t *pairs) {
  Array<Suffix> &records = s->records;
  s->b.failed = false;
  bool ok = fit_block(&records, r) && fit_block(&s->block, r) && fit_block(&s->states, count) &&
            read_group(d, g, reinterpret_cast<char *>(records.data));
  for (size_t i = 0; ok && i < r; i++)
    ok = record_at<PairRecord>(records.data, i).state - first < count;
  auto make = [&](size_t i) { return record_at<PairRecord>(records.data, i); };
  s->b.block = reinterpret_cast<char *>(s->block.data);
  s->b.block_bytes = s->block.cap * sizeof(Suffix);
  return ok && gather_pairs(
                   &s->b, r, first, count, make, [&] { return s->states.data; }, pairs);
}

// Gathering a group holds its records twice (16 bytes) and at most a state's start (4) per record.
constexpr size_t PAIR_BYTES = 20;

template <class Feed>
bool deal_and_gather(Spiller *s, uint64_t m, size_t first, size_t count, Feed feed, StateTable *t,
                     SpillWriter *starts, bool *split);

// Gathers group g of `count` states from `first` into the chain: in memory, else dealt again, or
// counted a record at a time where it cannot split.
bool gather_group(Spiller *s, Dealt *d, size_t g, size_t first, size_t count, StateTable *t,
                  SpillWriter *starts) {
  size_t r = static_cast<size_t>(group_bytes(d, g) / sizeof(PairRecord)), pairs = 0;
  size_t kept = held_bytes(&s->records) + held_bytes(&s->block) + held_bytes(&s->states);
  bool held = fits(s, uint64_t{r} * PAIR_BYTES, kept);
  if (held && gather_in_memory(s, d, g, r, first, count, &pairs))
    return append_group(t, s->block.data, pairs, count, s->states.data, nullptr, starts);
  release(s);  // what the last group kept goes back first
  auto feed = [&](uint64_t from, uint64_t to, auto sink) {
    return each_in_group<PairRecord>(s, d, g, from, to, sink);
  };
  bool split = false;
  if (count > 1) {
    bool ok = deal_and_gather(s, r, first, count, feed, t, starts, &split);
    if (!ok || split) return ok;
  }
  return gather_stream(
      s, first, count, r, [&](auto sink) { return feed(0, r, sink); }, t, starts);
}

// Deals the `m` records that feed(from, to, sink) hands to sink(record) by ranges of states into
// groups (split_states), and gathers each in order; leaves `*split` false, with nothing dealt,
// where they cannot be split.  False if memory ran out or a spill file failed.
template <class Feed>
bool deal_and_gather(Spiller *s, uint64_t m, size_t first, size_t count, Feed feed, StateTable *t,
                     SpillWriter *starts, bool *split) {
  // A group dealt again splits, whatever its room: one that fit by the count was refused after all.
  uint64_t target = group_items(s, m, PAIR_BYTES, 1);
  if (split) target = std::min<uint64_t>(target, m / 2 + 1);
  Ranges groups{};
  bool ok =
      split_states(&s->b, m, first, count, target, MAX_GROUPS, tally_feed<Feed>, &feed, &groups);
  if (split && (*split = groups.parts > 1) == false) {
    release(&groups);
    return ok;
  }
  // A group dealt again deals into files of its own.
  Dealt *dealt = new (std::nothrow) Dealt();
  size_t pieces = s->b.workers, cap = buffer_bytes(s, pieces * (groups.parts + 3));
  ok = ok && dealt && open_dealt(dealt, pieces, groups.parts) &&
       by_pieces(s, m, [&](size_t piece, uint64_t from, uint64_t to) {
         Groups *out = &dealt->piece[piece];
         bool good = open_writers(out, cap) && feed(from, to, [&](const PairRecord &r) {
                       put(&out->out[part_of_state(&groups, r.state)], r);
                       return true;
                     });
         return close_writers(out) && good;
       });
  for (size_t g = 0; ok && g < groups.parts; g++) {
    size_t lo = groups.lo.data[g];
    ok = gather_group(s, dealt, g, lo, groups.lo.data[g + 1] - lo, t, starts);
    close_group(dealt, g);
  }
  if (dealt) close_dealt(dealt);
  delete dealt;
  release(&groups);
  return ok;
}

// Deals the positions by ranges of states into groups, and gathers each in state order.
bool collect_suffixes(Spiller *s, SpillFile *st, uint64_t p, size_t count, StateTable *t) {
  SpillWriter starts{};
  if (!open_spill(&t->files.suffixes) || !open_spill(&t->files.suffixes_at) ||
      !open_writer(&starts, &t->files.suffixes_at, 0, buffer_bytes(s, 4)))
    return false;
  // Position q's record: its state and the next (the end of the text from `count`), each read once.
  auto feed = [&](uint64_t from, uint64_t to, auto sink) {
    SpillReader state{};
    bool good = open_reader(&state, st, from * 4, buffer_bytes(s, 4 * s->b.workers));
    auto end = static_cast<uint32_t>(count);
    for (uint32_t at = take<uint32_t>(&state), next; good && from < to; from++, at = next) {
      next = take<uint32_t>(&state);
      good = state.ok && at < count && sink(PairRecord{at, std::min(next, end)});
    }
    close_reader(&state);
    return good;
  };
  bool ok = deal_and_gather(s, p, 0, count, feed, t, &starts, nullptr);
  return close_writer(&starts) && ok;
}

}  // namespace

bool build_spilled(const WordList *list, uint32_t k, StateTable *t) {
  t->k = k;
  uint64_t n = word_count(list);
  if (n <= k) return true;
  key_hashes();
  Spiller *s = new (std::nothrow) Spiller();
  if (!s) return false;
  s->buffers = memory_room() / 4;  // of what the words leave
  s->b.workers = build_workers();
  SpillFile st;
  size_t states = 0;
  bool ok = k == 1 ? number_words(s, list, &t->files.prefix_at, &states)
                   : number_states(s, list, k, &st, &t->files.prefix_at, &states);
  t->files.states = states;
  SpillFile ids = list->spilled;
  ok = ok && collect_suffixes(s, k == 1 ? &ids : &st, n - k, states, t);
  close_spill(&st);
  release(s);
  delete s;
  return ok;
}
