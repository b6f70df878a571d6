// The walk and generate: each word is written as it is chosen, so that no limit costs memory.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "Chain.h"
#include "Markov.h"
#include "Plan.h"
#include "Random.h"
#include "Words.h"
#include "Workers.h"

bool flush_output(Output *o) {
  size_t done = 0;
  while (!o->failed && done < o->used) {
    ssize_t n = write(o->fd, o->buf + done, o->used - done);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n < 0 && errno != EINTR)
      o->failed = true;
  }
  o->used = 0;
  return !o->failed;
}

namespace {

// Buffers `len` bytes (at most o->cap), flushing as needed.
inline void put_bytes(Output *o, const char *s, size_t len) {
  assert(len <= o->cap);
  if (o->used + len > o->cap && !flush_output(o)) return;
  std::memcpy(o->buf + o->used, s, len);
  o->used += len;
}

// Buffers word `id` with the blank that follows it in WordList::bytes.
inline void put_word(Output *o, const WordList *list, uint32_t id) {
  const Word &w = list->words.data[id];
  const char *text = list->bytes.data + w.text_at;
  size_t len = size_t{w.len} + 1;
  // Most words are short: one fixed move of WORD_SLACK bytes, no call.
  if (len <= WORD_SLACK && o->used + WORD_SLACK <= o->cap) {
    assert(w.text_at + WORD_SLACK <= list->bytes.cap);
    std::memcpy(o->buf + o->used, text, WORD_SLACK);
    o->used += len;
    return;
  }
  put_bytes(o, text, len);
}

// Views of the chain, in memory or in spill files: the word a step into a state adds and a run of
// its prefix, and in files a state's suffixes [lo, hi) and a run of them; a run that cannot be read
// fails the output.

// Binary search for the first suffix whose running count passes `rem` (below the total, the last
// one's), prefetching as the in-memory step does.
inline const Suffix *pick(const Suffix *lo, const Suffix *hi, uint32_t rem) {
  assert(lo < hi && rem < hi[-1].count);
  size_t n = static_cast<size_t>(hi - lo);
  while (n > 1) {
    size_t half = n / 2, next = (n - half) / 2;  // next: the next step's half
    if (next > 0) {
      __builtin_prefetch(&lo[next - 1]);
      __builtin_prefetch(&lo[half + next - 1]);
    }
    lo = rem < lo[half - 1].count ? lo : lo + half;
    n -= half;
  }
  return lo;
}

// The position of the r-th first meeting in `first`: where state r's prefix stands.
uint64_t first_position(const Array<FirstMet> *first, uint64_t r) {
  const FirstMet *f = first->data;
  size_t lo = 0, hi = first->size;  // the last block with at most r meetings before it
  while (hi - lo > 1) {
    size_t mid = lo + (hi - lo) / 2;
    (f[mid].before <= r ? lo : hi) = mid;
  }
  uint64_t bits = f[lo].bits;
  for (uint64_t skip = r - f[lo].before; skip > 0; skip--) bits &= bits - 1;
  assert(bits != 0);
  return lo * 64 + static_cast<uint64_t>(__builtin_ctzll(bits));
}

// The chain in memory: its records are read where they stand.
struct InMemory {
  const WordList *list;
  const StateTable *t;
  static constexpr size_t RUN = 64;

  // A one-word prefix's state is its word: printing it waits on no record.
  bool word(uint64_t s, uint32_t *w) const {
    *w = t->k == 1 && s + 1 < t->states.size ? static_cast<uint32_t>(s) : state_word(t, s);
    return true;
  }
  const uint32_t *prefix(uint64_t s, uint64_t j, size_t n, uint32_t *buf) const {
    if (t->k == 1) return &(*buf = static_cast<uint32_t>(s));  // state w is word w
    WordStream ids = read_ids(list, first_position(&t->first, s) + j);
    for (size_t i = 0; i < n; i++) buf[i] = stream_next(&ids);
    return buf;
  }
};

// The chain in spill files: each run is read, and a long list of suffixes is searched a suffix at a
// time until the rest fits one small read.
struct OnDisk {
  const WordList *list;
  const ChainFiles *c;
  uint32_t k;
  static constexpr uint64_t WINDOW = 256;
  static constexpr size_t RUN = 1024;

  bool bounds(uint64_t s, uint64_t *lo, uint64_t *hi) const {
    uint64_t b[2] = {0, c->suffixes_total};
    if (!read_at(&c->suffixes_at, s * 8, b, s + 1 < c->states ? 16 : 8)) return false;
    *lo = b[0], *hi = b[1];
    return true;
  }
  const Suffix *suffixes(uint64_t at, size_t n, Suffix *buf) const {
    return read_at(&c->suffixes, at * sizeof(Suffix), buf, n * sizeof(Suffix)) ? buf : nullptr;
  }
  // A state's word is its prefix's last; the end of the text's, the text's last.
  bool word(uint64_t s, uint32_t *w) const {
    uint64_t at = word_count(list) - 1;
    if (s < c->states && !read_at(&c->prefix_at, s * 8, &at, 8)) return false;
    return read_at(&list->spilled, (s < c->states ? at + k - 1 : at) * 4, w, 4);
  }
  const uint32_t *prefix(uint64_t s, uint64_t j, size_t n, uint32_t *buf) const {
    uint64_t at;
    return read_at(&c->prefix_at, s * 8, &at, 8) &&
                   read_at(&list->spilled, (at + j) * 4, buf, n * 4)
               ? buf
               : nullptr;
  }
};

// Buffers the first `words` words of state s's prefix.
template <class View>
bool put_prefix(const View &v, uint64_t s, uint64_t words, Output *o) {
  uint32_t buf[View::RUN];
  for (uint64_t j = 0; j < words; j += View::RUN) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(View::RUN, words - j));
    const uint32_t *ids = v.prefix(s, j, n, buf);
    if (!ids) return false;
    for (size_t i = 0; i < n; i++) put_word(o, v.list, ids[i]);
  }
  return true;
}

// Steps from state s to the state after a suffix drawn with `rng` by its count, in spill files.
template <class View>
inline bool step(const View &v, uint64_t s, Random *rng, uint64_t *next) {
  uint64_t lo, hi;
  Suffix buf[View::WINDOW];
  if (!v.bounds(s, &lo, &hi)) return false;
  assert(lo < hi);  // every state has a suffix; the last holds the total
  const Suffix *last = v.suffixes(hi - 1, 1, buf);
  if (!last) return false;
  uint32_t rem = draw_below(rng, last->count);
  while (hi - lo > View::WINDOW) {
    uint64_t mid = lo + (hi - lo) / 2;
    const Suffix *m = v.suffixes(mid, 1, buf);
    if (!m) return false;
    (rem < m->count ? hi : lo) = mid + 1;
  }
  size_t n = static_cast<size_t>(hi - lo);
  const Suffix *run = v.suffixes(lo, n, buf);
  if (!run) return false;
  *next = pick(run, run + n, rem)->next;
  return true;
}

// Steps as step() does, with a binary search over state s's packed suffixes that prefetches both
// places the next step may look, so past the caches misses overlap.  It moves a byte pointer: the
// places it may look are found off the chain of loads that the search waits on, and the suffix it
// stops at is read where it stands.  A one-word chain's step reads the state's Pick, and searches
// only the suffixes its guide leaves.
inline bool step(const InMemory &v, uint64_t s, Random *rng, uint64_t *next) {
  const StateTable *t = v.t;
  const Packed *x = &t->suffixes;
  uint64_t lo, n;
  uint32_t rem;
  if (t->picks.size) {
    const Pick *p = &t->picks.data[s];
    lo = p->suffixes_at, n = p[1].suffixes_at - lo;
    // Where the guide and the suffixes start, fetched while the draw divides.
    __builtin_prefetch(reinterpret_cast<const char *>(t->guides.data) + lo / 2 * t->guide_bits / 8);
    __builtin_prefetch(reinterpret_cast<const char *>(x->cells.data) + lo * x->bytes);
    rem = draw_below(rng, p->total);
    if (uint64_t slices = guide_slices(n)) {
      const unsigned bits = t->guide_bits;
      uint64_t c = rem >> guide_shift(p->total, slices), at = lo / 2 + c;
      assert(c < slices);
      uint64_t from = packed_id(t->guides.data, at * bits, bits);
      uint64_t to = c + 1 < slices ? packed_id(t->guides.data, (at + 1) * bits, bits) : n - 1;
      lo += from;
      n = to - from + 1;
    }
  } else {
    lo = suffixes_at(t, s), n = suffixes_at(t, s + 1) - lo;
    rem = draw_below(rng, suffix_count(t, lo + n - 1));
  }
  assert(n > 0);  // every state has a suffix; the last holds the total
  const size_t bytes = x->bytes;
  const uint64_t counts = (uint64_t{1} << x->low) - 1;
  const char *at = reinterpret_cast<const char *>(x->cells.data) + lo * bytes;
  while (n > 1) {
    uint64_t half = n / 2, ahead = (n - half) / 2;  // ahead: the next step's half
    if (ahead > 0) {
      __builtin_prefetch(at + (ahead - 1) * bytes);
      __builtin_prefetch(at + (half + ahead - 1) * bytes);
    }
    uint64_t r;
    std::memcpy(&r, at + (half - 1) * bytes, 8);
    const char *up = at + half * bytes;
    at = rem < (r & counts) ? at : up;
    n -= half;
  }
  *next = high_field(x, record_there(x, at));
  return true;
}

// Walks the chain through view `v` as walk() does.
template <class View>
uint64_t walk_view(const View &v, uint64_t count, uint32_t k, int32_t limit, Random *rng,
                   Output *o) {
  uint64_t s = count - 1 - draw_below(rng, count), max = static_cast<uint64_t>(limit);
  uint64_t printed = std::min<uint64_t>(k, max);
  if (!put_prefix(v, s, printed, o)) o->failed = true;
  if (printed < k) return printed;
  // A word is buffered two steps after it is chosen: its record is fetched a step after, its text
  // the next, each while the walk searches, so that printing waits on neither.
  const WordList *list = v.list;
  uint32_t fetched = NONE, chosen = NONE;  // the words two steps and one step back
  while (printed < max && !o->failed) {
    uint64_t next;
    uint32_t w;
    if (!step(v, s, rng, &next) || !v.word(next, &w)) {
      o->failed = true;
      break;
    }
    __builtin_prefetch(&list->words.data[w]);
    if (fetched != NONE) put_word(o, list, fetched);
    if (chosen != NONE) __builtin_prefetch(list->bytes.data + list->words.data[chosen].text_at);
    fetched = chosen;
    chosen = w;
    printed++;
    if (next == count) break;  // the end of the text: no state follows
    s = next;
  }
  if (fetched != NONE) put_word(o, list, fetched);
  if (chosen != NONE) put_word(o, list, chosen);
  return printed;
}

}  // namespace

uint64_t walk(const WordList *list, const StateTable *t, int32_t limit, Random *rng, Output *o) {
  assert(o->cap > MAX_WORD_LEN);
  uint64_t count = state_count(t);
  if (count == 0 || limit <= 0) return 0;
  if (t->files.suffixes.fd >= 0)
    return walk_view(OnDisk{list, &t->files, t->k}, count, t->k, limit, rng, o);
  return walk_view(InMemory{list, t}, count, t->k, limit, rng, o);
}

int64_t generate(const char *path, int32_t max_word_output) {
  static WordList list;
  static StateTable table;
  static char buf[1 << 16];
  Output out{1, false, 0, sizeof buf, buf};
  uint32_t k = static_cast<uint32_t>(word_prefix_cnt);
  start_workers(build_workers());
  if (!read_words(path, &list)) return 0;
  if (!build_chain(&list, k, &table)) return 0;
  Random rng;
  seed_random(&rng, static_cast<uint32_t>(std::time(nullptr)));
  uint64_t printed = walk(&list, &table, max_word_output, &rng, &out);
  if (!flush_output(&out)) return 0;
  return static_cast<int64_t>(printed);
}
