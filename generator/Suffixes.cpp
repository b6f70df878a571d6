// The suffixes of the chain: each state's (word, next state) pairs, newest
// first with running counts, gathered partition by partition.
#include "Deal.h"

bool start_pairs(Scratch *x, size_t records, size_t states) {
  // Room for a partition's pairs at once, for the reason clear_table gives,
  // and no more: pages reserved are pages the peak counts once touched.
  size_t pairs = std::min(records, PARTITION_RECORDS);
  return clear_table(x, records) && fit_block(&x->pairs, pairs) && fit_block(&x->owner, pairs) &&
         make_filled(&x->bounds, states + 1, 0u);
}

bool lay_out_pairs(Scratch *x, size_t states, Suffix *out) {
  // By state, and within a state latest first: pairs are placed from the
  // last met, each at its state's next place.
  uint32_t *at = x->bounds.data;
  for (size_t g = 0; g < states; g++) at[g + 1] += at[g];
  size_t m = x->keys = x->pairs.size;
  for (size_t i = m; i-- > 0;) out[at[x->owner.data[i]]++] = x->pairs.data[i];
  // Each place now stands at its state's end: running counts, which a
  // state met 2^32 times or more would overflow.
  for (size_t g = 0, begin = 0; g < states; begin = at[g++]) {
    assert(at[g] > begin);  // a state is made where its prefix has a word after it
    for (size_t j = begin + 1; j < at[g]; j++)
      if (__builtin_add_overflow(out[j].count, out[j - 1].count, &out[j].count)) return false;
  }
  return true;
}

void release(Ranges *r) {
  release(&r->part_of_fine);
  release(&r->lo);
}

bool split_states(Build *b, size_t m, size_t first, size_t count, size_t target, size_t max_parts,
                  Tally tally, void *arg, Ranges *r) {
  // Early states are the text's most frequent, so equal ranges of states
  // would leave one partition most of the work.  The ranges are made of
  // fine ranges of 2^shift states, counted first.
  r->first = first;
  r->shift = 0;
  while ((count - 1) >> r->shift >> FINE_BITS) r->shift++;
  size_t fine = ((count - 1) >> r->shift) + 1;
  Array<size_t> seen;  // records per fine range, per worker
  if (!make_filled(&seen, fine * b->workers, size_t{0}) || !make_block(&r->part_of_fine, fine) ||
      !make_block(&r->lo, fine + 1)) {
    release(&seen);
    return false;
  }
  auto count_range = [&](size_t w, unsigned) {
    tally(arg, r, m * w / b->workers, m * (w + 1) / b->workers, seen.data + w * fine);
  };
  run_tasks(b->workers, b->workers, count_range);
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

bool gather_parts(Build *b, const Ranges *r, State *states, size_t *pairs) {
  Array<size_t> made;  // pairs per partition
  if (!make_filled(&made, r->parts, size_t{0})) return false;
  auto gather = [&](size_t part, unsigned worker) {
    Scratch *x = &b->scratch[worker];
    size_t from = b->start.data[part], to = b->start.data[part + 1], first = r->lo.data[part];
    size_t count = r->lo.data[part + 1] - first;
    bool ok = !b->failed && start_pairs(x, to - from, count);
    for (size_t i = from; ok && i < to; i++) ok = count_pair(x, record_at(b->block, i), first);
    if (!ok) {
      b->failed = true;
      return;
    }
    if (!lay_out_pairs(x, count, b->block + from)) {
      b->failed = true;
      return;
    }
    for (size_t g = 0; g < count; g++)
      states[first - r->first + g].suffixes_at =
          static_cast<uint32_t>(from + (g ? x->bounds.data[g - 1] : 0));
    made.data[part] = x->pairs.size;
  };
  run_tasks(r->parts, b->workers, gather);
  // The partitions' suffixes, moved together in order.
  size_t base = 0;
  for (size_t part = 0; !b->failed && part < r->parts; part++) {
    size_t from = b->start.data[part], shift = from - base;
    std::memmove(b->block + base, b->block + from, made.data[part] * sizeof(Suffix));
    for (size_t s = r->lo.data[part]; s < r->lo.data[part + 1]; s++)
      states[s - r->first].suffixes_at -= static_cast<uint32_t>(shift);
    base += made.data[part];
  }
  *pairs = base;
  release(&made);
  return !b->failed;
}

bool collect_suffixes(Build *b, const uint32_t *ids, uint32_t k, const uint32_t *st, size_t p,
                      size_t count, bool (*dealt)(void *), void *arg, StateTable *t) {
  Ranges r{};
  auto tally = [](void *a, const Ranges *r, size_t from, size_t to, size_t *seen) {
    const uint32_t *st = static_cast<const uint32_t *>(a);
    for (size_t q = from; q < to; q++) seen[st[q] >> r->shift]++;
  };
  auto make = [&](size_t q) {
    return Record{st[q], ids[q + k], st[q + 1] < count ? st[q + 1] : NONE};
  };
  auto part_of = [&](const Record &rec) { return part_of_state(&r, rec.lo); };
  bool ok = split_states(b, p, 0, count, cache_target(p), SIZE_MAX, tally,
                         const_cast<uint32_t *>(st), &r) &&
            deal(b, p, r.parts, make, part_of) && dealt(arg);
  assert(!ok || t->states.size == count);
  ok = ok && gather_parts(b, &r, t->states.data, &t->suffixes.size);
  release(&r);
  return ok;
}
