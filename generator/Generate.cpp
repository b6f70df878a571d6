// The walk and generate: draws a start state, follows the chain and writes
// the chosen words as they are chosen, so that no limit costs memory.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "Markov.h"
#include "Random.h"

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

}  // namespace

uint64_t walk(const WordList *list, const StateTable *t, int32_t limit, Random *rng, Output *o) {
  assert(o->cap > MAX_WORD_LEN);
  size_t count = t->states.size;
  if (count == 0 || limit <= 0) return 0;
  uint32_t k = t->k, s = state_at(t, draw_below(rng, count));
  uint64_t max = static_cast<uint64_t>(limit);
  uint64_t printed = std::min<uint64_t>(k, max);
  const uint32_t *start = list->ids.data + t->states.data[s].prefix_at;
  for (uint64_t j = 0; j < printed; j++) put_word(o, list, start[j]);
  if (printed < k) return printed;
  const Suffix *all = t->suffixes.data;
  while (printed < max && !o->failed) {
    const Suffix *lo = all + t->states.data[s].suffixes_at;
    const Suffix *hi =
        s + 1 < count ? all + t->states.data[s + 1].suffixes_at : all + t->suffixes.size;
    assert(lo < hi);  // every state has a suffix; the last holds the total
    uint32_t rem = draw_below(rng, hi[-1].count);
    // The first suffix, newest first, whose running count passes the draw.
    const Suffix *f =
        std::upper_bound(lo, hi, rem, [](uint32_t r, const Suffix &x) { return r < x.count; });
    put_word(o, list, f->word);
    printed++;
    s = f->next_state;
    if (s == NONE) break;
  }
  return printed;
}

int64_t generate(const char *path, int32_t max_word_output) {
  static WordList list;
  static StateTable table;
  static char buf[1 << 16];
  Output out{1, false, 0, sizeof buf, buf};
  if (!read_words(path, &list) ||
      !build_chain(&list, static_cast<uint32_t>(word_prefix_cnt), &table))
    return 0;
  Random rng;
  seed_random(&rng, static_cast<uint32_t>(std::time(nullptr)));
  uint64_t printed = walk(&list, &table, max_word_output, &rng, &out);
  if (!flush_output(&out)) return 0;
  return static_cast<int64_t>(printed);
}
