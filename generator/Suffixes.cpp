// The suffixes laid out partition by partition, or, for a short text's one-word prefixes, sorted.
#include "Suffixes.h"

#include <utility>

#include "Words.h"

void release(Laid *c) {
  release(&c->suffixes);
  release(&c->at);
}

bool start_pairs(Scratch *x, size_t records, size_t states) {
  // Room for a partition's pairs at once, as clear_table's, and no more: pages reserved are pages
  // the peak counts once touched.
  size_t pairs = std::min(records, PARTITION_RECORDS);
  return clear_table(x, records) && fit_block(&x->pairs, pairs) && fit_block(&x->owner, pairs) &&
         make_filled(&x->bounds, states + 1, 0u);
}

bool lay_out_pairs(Scratch *x, size_t states, Suffix *out) {
  // Placed from the last met, each at its state's next place.
  uint32_t *at = x->bounds.data;
  for (size_t g = 0; g < states; g++) at[g + 1] += at[g];
  size_t m = x->keys = x->pairs.size;
  for (size_t i = m; i-- > 0;) out[at[x->owner.data[i]]++] = x->pairs.data[i];
  // Each place stands at its state's end: running counts.
  for (size_t g = 0, begin = 0; g < states; begin = at[g++]) {
    assert(at[g] > begin);  // a state is made where its prefix has a word after it
    for (size_t j = begin + 1; j < at[g]; j++)
      if (__builtin_add_overflow(out[j].count, out[j - 1].count, &out[j].count)) return false;
  }
  return true;
}

namespace {

// Turns `d` suffixes in first-met order newest first with running counts; false past 32 bits.
bool newest_first(Suffix *out, size_t d) {
  std::reverse(out, out + d);
  for (size_t j = 1; j < d; j++)
    if (__builtin_add_overflow(out[j].count, out[j - 1].count, &out[j].count)) return false;
  return true;
}

// A state of at most this many records scans its words; a larger one files them in a table.
constexpr size_t SCANNED_RECORDS = 16;

// Lays out at `out` the distinct words of one state's `c` records, newest first with running
// counts; how many, or 0 on failure.
size_t lay_out_state(Scratch *x, const Suffix *rec, size_t c, Suffix *out) {
  assert(c > 0);  // a state is made where its prefix has a word after it
  size_t d = 0;
  bool scan = c <= SCANNED_RECORDS;
  if (!scan && !clear_table(x, c)) return 0;
  for (size_t i = 0; i < c; i++) {
    size_t j = 0, met = d;
    if (scan) {
      while (j < d && out[j].next != rec[i].next) j++;
      d += j == d;
    } else {
      j = name_of(&x->table, &d, rec[i].next, static_cast<uint32_t>(d));
      if (j == NONE) return 0;
    }
    if (j == met) out[j] = rec[i];
    if (++out[j].count == 0) return 0;  // counts are 32-bit
  }
  return newest_first(out, d) ? d : 0;
}

// Lays out the `n` records at `part` in place, counting-sorted by state into x->pairs (sized once
// for `most`); sets starts[g], from `at`, and `*laid`.  False if memory ran out.
bool gather_sorted(Scratch *x, Suffix *part, size_t n, size_t most, size_t first, size_t count,
                   uint32_t *starts, size_t at, size_t *laid) {
  if (!make_filled(&x->bounds, count + 1, 0u) || !fit_block(&x->pairs, most)) return false;
  uint32_t *end = x->bounds.data;
  for (size_t i = 0; i < n; i++) end[record_at<PairRecord>(part, i).state - first + 1]++;
  for (size_t g = 0; g < count; g++) end[g + 1] += end[g];
  for (size_t i = 0; i < n; i++) {
    PairRecord r = record_at<PairRecord>(part, i);
    x->pairs.data[end[r.state - first]++] = Suffix{0, r.next};
  }
  // Each end[g] now stands where state first + g's records end.
  assert(end[count - 1] == n);
  size_t made = 0;
  for (size_t g = 0, begin = 0; g < count; begin = end[g++]) {
    size_t d = lay_out_state(x, x->pairs.data + begin, end[g] - begin, part + made);
    if (d == 0) return false;
    starts[g] = static_cast<uint32_t>(at + made);
    made += d;
  }
  *laid = made;
  return true;
}

// Gathers as gather_sorted does, counting through a table of the pairs: for a partition a frequent
// state made too large to sort.
bool gather_counted(Scratch *x, Suffix *part, size_t n, size_t first, size_t count,
                    uint32_t *starts, size_t at, size_t *laid) {
  auto feed = [&](auto sink) {
    for (size_t i = 0; i < n; i++)
      if (!sink(record_at<PairRecord>(part, i))) return false;
    return true;
  };
  if (!count_pairs(x, first, count, n, feed) || !lay_out_pairs(x, count, part)) return false;
  for (size_t g = 0; g < count; g++)
    starts[g] = static_cast<uint32_t>(at + (g ? x->bounds.data[g - 1] : 0));
  *laid = x->pairs.size;
  return true;
}

}  // namespace

void release(Ranges *r) {
  release(&r->part_of_fine);
  release(&r->lo);
}

bool split_states(Build *b, size_t m, size_t first, size_t count, size_t target, size_t max_parts,
                  Tally tally, void *arg, Ranges *r) {
  // Early states are the most frequent: equal ranges would leave one partition most of the work, so
  // fine ranges are counted first.
  r->first = first;
  r->target = target;
  r->shift = 0;
  size_t most_fine =
      std::min(std::min(m / target + 1, max_parts) * FINE_PER_PART, size_t{1} << FINE_BITS);
  while (((count - 1) >> r->shift) >= most_fine) r->shift++;
  size_t fine = ((count - 1) >> r->shift) + 1;
  Array<size_t> seen;  // records per fine range, per worker
  if (!make_filled(&seen, fine * b->workers, size_t{0}) || !make_block(&r->part_of_fine, fine) ||
      !make_block(&r->lo, fine + 1)) {
    release(&seen);
    return false;
  }
  size_t tasks = range_tasks(b->workers);
  auto count_range = [&](size_t task, unsigned w) {
    if (!tally(arg, r, range_start(m, tasks, task), range_start(m, tasks, task + 1),
               seen.data + w * fine))
      b->failed = true;
  };
  b->failed = false;
  run_tasks(tasks, b->workers, count_range);
  if (b->failed) {
    release(&seen);
    return false;
  }
  size_t held = 0;
  r->parts = 0;
  for (size_t f = 0; f < fine; f++) {
    size_t here = 0;
    for (size_t w = 0; w < b->workers; w++) here += seen.data[w * fine + f];
    if (r->parts == 0 || (held + here > target && held > 0 && r->parts < max_parts)) {
      r->lo.data[r->parts++] = first + (f << r->shift);
      held = 0;
    }
    held += here;
    r->part_of_fine.data[f] = static_cast<uint32_t>(r->parts - 1);
  }
  r->lo.data[r->parts] = first + count;
  release(&seen);
  return true;
}

bool gather_parts(Build *b, const Ranges *r, uint32_t *at, size_t *pairs) {
  Array<size_t> made;  // pairs per partition
  if (!make_filled(&made, r->parts, size_t{0})) return false;
  // A partition past twice its target is counted, not sorted; a worker's bounds are made once for
  // the most states, not remade as they grow.
  size_t most = 0, most_states = 0;
  for (size_t part = 0; part < r->parts; part++) {
    size_t n = b->start.data[part + 1] - b->start.data[part];
    if (n <= 2 * r->target) most = std::max(most, n);
    most_states = std::max(most_states, r->lo.data[part + 1] - r->lo.data[part]);
  }
  auto gather = [&](size_t part, unsigned worker) {
    Scratch *x = &b->scratch[worker];
    size_t from = b->start.data[part], n = b->start.data[part + 1] - from;
    size_t first = r->lo.data[part], count = r->lo.data[part + 1] - first;
    Suffix *in = reinterpret_cast<Suffix *>(b->block) + from;
    uint32_t *own = at + (first - r->first);
    size_t *laid = &made.data[part];
    bool ok = !b->failed && fit_block(&x->bounds, most_states + 1) &&
              (n <= 2 * r->target ? gather_sorted(x, in, n, most, first, count, own, from, laid)
                                  : gather_counted(x, in, n, first, count, own, from, laid));
    if (!ok) b->failed = true;
  };
  run_tasks(r->parts, b->workers, gather);
  // The partitions' suffixes, moved together in order.
  size_t base = 0;
  for (size_t part = 0; !b->failed && part < r->parts; part++) {
    size_t from = b->start.data[part], shift = from - base;
    Suffix *block = reinterpret_cast<Suffix *>(b->block);
    std::memmove(block + base, block + from, made.data[part] * sizeof(Suffix));
    for (size_t s = r->lo.data[part]; s < r->lo.data[part + 1]; s++)
      at[s - r->first] -= static_cast<uint32_t>(shift);
    base += made.data[part];
  }
  *pairs = base;
  release(&made);
  return !b->failed;
}

namespace {

// The bytes next words, sorted by state, must move up their block so that suffixes laid out from
// its start, 8 bytes each to their sizeof(N), never overwrite one unread.  Sets `*pairs`; dirties
// `met`.
template <class N>
size_t lead_of(const N *next, const uint32_t *ends, size_t count, uint32_t *met, size_t *pairs) {
  size_t lead = 0, made = 0;
  for (size_t s = 0, begin = 0; s < count; begin = ends[s++]) {
    size_t d = 0;  // the state's distinct words
    auto stamp = static_cast<uint32_t>(s + 1);
    for (size_t i = begin; i < ends[s]; i++) d += std::exchange(met[next[i]], stamp) != stamp;
    made += d;
    // Its last suffix ends at 8 * made bytes, written once at least begin + d words are read.
    lead = std::max(lead, 8 * made - std::min(8 * made, sizeof(N) * (begin + d)));
  }
  *pairs = made;
  return (lead + 7) & ~size_t{7};  // the words stay aligned
}

// Lays out the suffixes of the `count` states, whose counts of positions c->at holds, as
// sort_word_suffixes does, holding next words as N; false if memory ran out.
template <class N>
bool lay_out_words(WordList *list, size_t p, size_t count, Laid *c) {
  uint32_t *starts = c->at.data, at = 0;
  for (size_t s = 0; s < count; s++) at += std::exchange(starts[s], at);
  // Next words, sorted by state, go in the suffixes' own block, the suffixes laid over them: two
  // blocks would double the peak.  `met` holds each word's last state, then its place, plus one.
  Array<uint32_t> met;
  size_t words = count + 1, held = (p * sizeof(N) + 7) / 8;
  if (!make_filled(&met, words, 0u) || !make_block(&c->suffixes, held)) {
    release(&met);
    return false;
  }
  c->suffixes.size = held;  // what a move of the block must keep
  auto *next = reinterpret_cast<N *>(c->suffixes.data);
  uint32_t id = id_at(list, 0);
  for_each_id(list, 1, p + 1, [&](uint32_t after) {
    next[starts[id]++] = static_cast<N>(after);
    id = after;
  });
  size_t pairs, lead = lead_of(next, starts, count, met.data, &pairs);
  if ((list->id_bits == 0 && !pack_ids(list)) ||
      !set_capacity(&c->suffixes, std::max(lead + 8 * held, 8 * pairs) / 8 + 1)) {
    release(&met);
    return false;
  }
  auto *bytes = reinterpret_cast<char *>(c->suffixes.data);
  std::memmove(bytes + lead, bytes, p * sizeof(N));
  next = reinterpret_cast<N *>(bytes + lead);
  std::fill(met.data, met.data + words, 0u);
  Suffix *out = c->suffixes.data;
  size_t made = 0;
  for (size_t s = 0, begin = 0; s < count; s++) {
    size_t end = starts[s], d = 0;
    assert(end > begin);  // every state has a word after it
    // No branch on whether a word is new to the state: a third are, at random.
    for (size_t i = begin; i < end; i++) {
      uint32_t w = next[i], place = met.data[w];
      bool fresh = place <= made;
      d += fresh;
      place = fresh ? static_cast<uint32_t>(made + d) : place;
      assert(8 * place <= lead + sizeof(N) * (i + 1));  // no word still unread is overwritten
      met.data[w] = place;
      Suffix *x = &out[place - 1];
      *x = Suffix{fresh ? 1 : x->count + 1, w};
    }
    // Counts stay below 2^32: so do positions.
    newest_first(out + made, d);
    starts[s] = static_cast<uint32_t>(made);
    made += d;
    begin = end;
  }
  assert(made == pairs);
  c->suffixes.size = made;
  starts[count] = static_cast<uint32_t>(made);
  release(&met);
  return true;
}

}  // namespace

bool sort_word_suffixes(WordList *list, size_t p, Laid *c) {
  // Next words are states, or the end of the text, the last word if new.
  size_t count = c->at.size - 1;
  assert(p > 0 && count > 0);  // a state is a word met before p
  // c->at counts positions, then marks where next words go, at last where suffixes begin.
  for_each_id(list, 0, p, [&](uint32_t id) { c->at.data[id]++; });
  // Next words in 16 bits where they fit: half the block, and plain stores.  Beside them the ids
  // may stay 32-bit until they are read for good; beside 32-bit ones they would pass reading's
  // peak.
  if (count < UINT16_MAX) return lay_out_words<uint16_t>(list, p, count, c);
  return (list->id_bits > 0 || pack_ids(list)) && lay_out_words<uint32_t>(list, p, count, c);
}
