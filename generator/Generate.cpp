// The walk and generate: draws a start state, follows the chain and writes
// the chosen words as they are chosen, so that no limit costs memory.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "Markov.h"
#include "Random.h"
#include "Workers.h"

int32_t word_prefix_cnt = 2;

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

// ---------------------------------------------------------------------------
// The chain as the walk reads it: from memory, or from spill files.  Each
// gives a state's prefix and steps from a state to a suffix drawn by its
// count; a step that cannot be read fails the output.

// Buffers the first `words` words of state s's prefix.
bool put_prefix(const WordList *list, const StateTable *t, uint64_t s, uint64_t words, Output *o) {
  if (t->files.suffixes.fd < 0) {
    const uint32_t *start = list->ids.data + t->states.data[s].prefix_at;
    for (uint64_t j = 0; j < words; j++) put_word(o, list, start[j]);
    return true;
  }
  uint64_t at;
  uint32_t ids[1024];
  if (!read_at(&t->files.prefix_at, s * 8, &at, 8)) return false;
  for (uint64_t j = 0; j < words; j += 1024) {
    size_t len = static_cast<size_t>(std::min<uint64_t>(1024, words - j));
    if (!read_at(&list->spilled, (at + j) * 4, ids, len * 4)) return false;
    for (size_t i = 0; i < len; i++) put_word(o, list, ids[i]);
  }
  return true;
}

// The first suffix, newest first, whose running count passes `rem`, which
// is below the last one's (the total).  A binary search that asks at each
// step for both places the next step may look: past the caches, each
// step's miss then overlaps the one before.
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

// Steps from state s of a chain in spill files to a suffix drawn with
// `rng`: the state's bounds, its last suffix's total, and a binary search
// that reads single suffixes until the rest fits one small read.
bool step_on_disk(const StateTable *t, uint64_t s, Random *rng, Suffix *f) {
  const ChainFiles *c = &t->files;
  uint64_t b[2] = {0, c->suffixes_total};
  if (!read_at(&c->suffixes_at, s * 8, b, s + 1 < c->states ? 16 : 8)) return false;
  assert(b[0] < b[1]);
  Suffix window[256];
  if (!read_at(&c->suffixes, (b[1] - 1) * sizeof(Suffix), window, sizeof(Suffix))) return false;
  uint32_t rem = draw_below(rng, window[0].count);
  while (b[1] - b[0] > 256) {
    uint64_t mid = b[0] + (b[1] - b[0]) / 2;
    if (!read_at(&c->suffixes, mid * sizeof(Suffix), window, sizeof(Suffix))) return false;
    if (rem < window[0].count)
      b[1] = mid + 1;
    else
      b[0] = mid + 1;
  }
  size_t n = static_cast<size_t>(b[1] - b[0]);
  if (!read_at(&c->suffixes, b[0] * sizeof(Suffix), window, n * sizeof(Suffix))) return false;
  *f = *pick(window, window + n, rem);
  return true;
}

}  // namespace

uint64_t walk(const WordList *list, const StateTable *t, int32_t limit, Random *rng, Output *o) {
  assert(o->cap > MAX_WORD_LEN);
  uint64_t count = state_count(t);
  if (count == 0 || limit <= 0) return 0;
  bool on_disk = t->files.suffixes.fd >= 0;
  uint32_t k = t->k, s = static_cast<uint32_t>(count - 1 - draw_below(rng, count));
  uint64_t max = static_cast<uint64_t>(limit);
  uint64_t printed = std::min<uint64_t>(k, max);
  if (!put_prefix(list, t, s, printed, o)) o->failed = true;
  if (printed < k) return printed;
  const Suffix *all = t->suffixes.data;
  while (printed < max && !o->failed) {
    Suffix f;
    if (on_disk) {
      if (!step_on_disk(t, s, rng, &f)) {
        o->failed = true;
        break;
      }
    } else {
      const Suffix *lo = all + t->states.data[s].suffixes_at;
      const Suffix *hi =
          s + 1 < count ? all + t->states.data[s + 1].suffixes_at : all + t->suffixes.size;
      assert(lo < hi);  // every state has a suffix; the last holds the total
      f = *pick(lo, hi, draw_below(rng, hi[-1].count));
    }
    put_word(o, list, f.word);
    printed++;
    s = f.next_state;
    if (s == NONE) break;
  }
  return printed;
}

int64_t generate(const char *path, int32_t max_word_output) {
  static WordList list;
  static StateTable table;
  static char buf[1 << 16];
  Output out{1, false, 0, sizeof buf, buf};
  uint32_t k = static_cast<uint32_t>(word_prefix_cnt);
  start_workers(build_workers());
  if (!read_words(path, &list)) return 0;
  bool built = build_chain(&list, k, &table);
  // A build that memory turned out too small for is done again in spill
  // files: the budget is an estimate, and the limits are the system's.
  if (!built && list.spilled.fd < 0) {
    release(&table);
    built = spill_words(&list) && build_chain(&list, k, &table);
  }
  if (!built) return 0;
  Random rng;
  seed_random(&rng, static_cast<uint32_t>(std::time(nullptr)));
  uint64_t printed = walk(&list, &table, max_word_output, &rng, &out);
  if (!flush_output(&out)) return 0;
  return static_cast<int64_t>(printed);
}
