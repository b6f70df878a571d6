// The suffixes of the chain: each state's (word, next state) pairs, newest
// first with running counts, gathered partition by partition.
#include "Deal.h"

namespace {

// The fine ranges of states that the partitions are made of.
constexpr unsigned FINE_BITS = 16;

}  // namespace

bool start_pairs(Scratch *x, size_t records, size_t states) {
  x->pairs.size = x->owner.size = 0;
  return clear_table(x, records) && make_filled(&x->bounds, states + 1, 0u);
}

void lay_out_pairs(Scratch *x, size_t states, Suffix *out) {
  // By state, and within a state latest first: pairs are placed from the
  // last met, each at its state's next place.
  uint32_t *at = x->bounds.data;
  for (size_t g = 0; g < states; g++) at[g + 1] += at[g];
  size_t m = x->keys = x->pairs.size;
  for (size_t i = m; i-- > 0;) out[at[x->owner.data[i]]++] = x->pairs.data[i];
  // Each place now stands at its state's end: running counts.
  for (size_t g = 0, begin = 0; g < states; begin = at[g++]) {
    assert(at[g] > begin);  // a state is made where its prefix has a word after it
    for (size_t j = begin + 1; j < at[g]; j++) out[j].count += out[j - 1].count;
  }
}

bool collect_suffixes(Build *b, const uint32_t *ids, uint32_t k, const uint32_t *st, size_t p,
                      size_t count, bool (*dealt)(void *), void *arg, StateTable *t) {
  // Partitions are ranges of states holding about as many positions each:
  // early states are the text's most frequent, so equal ranges of states
  // would leave one partition most of the work.  The ranges are made of
  // fine ranges of 2^shift states, counted first.
  unsigned shift = 0;
  while ((count - 1) >> shift >> FINE_BITS) shift++;
  size_t fine = ((count - 1) >> shift) + 1;
  Array<size_t> seen;            // positions per fine range
  Array<uint32_t> part_of_fine;  // the partition of each fine range
  Array<size_t> lo;              // each partition's first state
  if (!make_filled(&seen, fine * b->workers, size_t{0}) || !make_block(&part_of_fine, fine) ||
      !make_block(&lo, fine + 1)) {
    release(&seen);
    release(&part_of_fine);
    return false;
  }
  auto tally = [&](size_t r, unsigned) {
    size_t *c = seen.data + r * fine;
    for (size_t q = p * r / b->workers, end = p * (r + 1) / b->workers; q < end; q++)
      c[st[q] >> shift]++;
  };
  run_tasks(b->workers, b->workers, tally);
  size_t target = std::max<size_t>(p >> partition_bits(p), 1), parts = 0, held = target;
  for (size_t f = 0; f < fine; f++) {
    size_t here = 0;
    for (size_t r = 0; r < b->workers; r++) here += seen.data[r * fine + f];
    if (held + here > target && held > 0) {
      lo.data[parts++] = f << shift;
      held = 0;
    }
    held += here;
    part_of_fine.data[f] = static_cast<uint32_t>(parts - 1);
  }
  lo.data[parts] = count;
  release(&seen);
  auto part_of = [&](size_t q) -> size_t { return part_of_fine.data[st[q] >> shift]; };
  auto make = [&](size_t q) {
    return Record{st[q], ids[q + k], st[q + 1] < count ? st[q + 1] : NONE};
  };
  Array<size_t> made;  // pairs per partition
  bool ok = make_filled(&made, parts, size_t{0}) && deal(b, p, parts, part_of, make) && dealt(arg);
  release(&part_of_fine);
  if (!ok) {
    release(&made);
    release(&lo);
    return false;
  }
  assert(t->states.size == count);
  auto gather = [&](size_t part, unsigned worker) {
    Scratch *x = &b->scratch[worker];
    size_t from = b->start.data[part], to = b->start.data[part + 1], first = lo.data[part];
    size_t states = lo.data[part + 1] - first;
    bool ok = !b->failed && start_pairs(x, to - from, states);
    for (size_t i = from; ok && i < to; i++) ok = count_pair(x, record_at(b->block, i), first);
    if (!ok) {
      b->failed = true;
      return;
    }
    lay_out_pairs(x, states, b->block + from);
    for (size_t g = 0; g < states; g++)
      t->states.data[first + g].suffixes_at =
          static_cast<uint32_t>(from + (g ? x->bounds.data[g - 1] : 0));
    made.data[part] = x->pairs.size;
  };
  run_tasks(parts, b->workers, gather);
  // The partitions' suffixes, moved together in order.
  size_t base = 0;
  for (size_t part = 0; !b->failed && part < parts; part++) {
    size_t from = b->start.data[part], shift = from - base;
    std::memmove(b->block + base, b->block + from, made.data[part] * sizeof(Suffix));
    for (size_t s = lo.data[part]; s < lo.data[part + 1]; s++)
      t->states.data[s].suffixes_at -= static_cast<uint32_t>(shift);
    base += made.data[part];
  }
  t->suffixes.size = base;
  release(&made);
  release(&lo);
  return !b->failed;
}
