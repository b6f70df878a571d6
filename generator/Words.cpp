// Word reading: tokens from Reader.h get ids from the word index (Intern.h); a large regular file
// is read in parts on every core, joined in order, anything else in one pass.
#include "Words.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "Deal.h"
#include "Hash.h"
#include "Intern.h"
#include "Plan.h"
#include "Reader.h"
#include "Workers.h"

namespace {

// Packs the `n` plain values at `v`, each below 2^bits, `bits` apart in place, on every core, in a
// block that holds packed_cells(n, bits).
void pack_values(uint32_t *v, size_t n, unsigned bits) {
  // Each task packs whole runs of 64 values from where its own values start, writing each 64-bit
  // word once the values it covers are read; then the tasks' words move down in order, each task's
  // ending where the next one's values start at the latest.
  auto *words = reinterpret_cast<uint64_t *>(v);
  unsigned workers = build_workers();
  size_t tasks = range_tasks(workers), runs = (n + 63) / 64;
  auto first = [&](size_t r) { return std::min(n, range_start(runs, tasks, r) * 64); };
  auto pack = [&](size_t r, unsigned) {
    if (bits == 16) {  // most books' vocabularies: each id is the low half of its 32 bits
      auto *out = reinterpret_cast<char *>(words + first(r) / 2);
      size_t q = first(r), end = first(r + 1);
      for (uint16_t run[16]; q + 16 <= end; q += 16, out += sizeof run) {  // read, then written
        for (size_t i = 0; i < 16; i++) run[i] = static_cast<uint16_t>(v[q + i]);
        std::memcpy(out, run, sizeof run);
      }
      for (; q < end; q++, out += 2) {
        auto half = static_cast<uint16_t>(v[q]);
        std::memcpy(out, &half, 2);
      }
      return;
    }
    WordSink out{words + first(r) / 2, 0, 0, bits};
    for (size_t q = first(r), end = first(r + 1); q < end; q++) sink_put(&out, v[q]);
    if (out.fill) *out.next = out.acc;  // the last task's: the others end with a word
  };
  run_tasks(tasks, workers, pack);
  for (size_t r = 1; r < tasks; r++) {
    size_t q = first(r), values = first(r + 1) - q;
    std::memmove(words + q / 64 * bits, words + q / 2, (values * bits + 63) / 64 * 8);
  }
  std::memset(words + (n * bits + 63) / 64, 0, PACKED_SLACK);
}

// Appends the in-memory ids to the spill file, made first, and empties the array, which then serves
// as the file's buffer; false if the file cannot be made or written.
bool spill_ids(WordList *list) {
  if (list->spilled.fd < 0 && !open_spill(&list->spilled)) return false;
  bool ok = write_at(&list->spilled, list->spilled.bytes, list->ids.data,
                     list->ids.size * sizeof(uint32_t));
  list->ids.size = 0;
  return ok;
}

// Makes room for one more id, growing the array up to `room` ids while the text may still be built
// in memory and spilling once it may not; false if memory ran out or the spill failed.
bool grow_ids(WordList *list, size_t room) {
  if (list->spilled.fd >= 0 || list->ids.cap >= room) return spill_ids(list);
  size_t want = std::max<size_t>(list->ids.cap + 1, 4096);
  return set_capacity(&list->ids, std::min(grown<uint32_t>(list->ids.cap, want), room), true,
                      sure_bytes(&list->ids, want));
}

// Tokens are filed a batch at a time, each one's index slot prefetched as it is found: past the
// caches the rare words' misses then overlap, where one by one each would wait for the last.
constexpr size_t FILED_AT_ONCE = 16;

// Reads every token of `r` into `list`, at most `room` ids in memory; false if memory ran out.
bool read_all(WordReader *r, WordList *list, Array<WordSlot> *index, size_t room) {
  if (index->size == 0 && !grow_word_index(index)) return false;
  Token batch[FILED_AT_ONCE];
  uint64_t hash[FILED_AT_ONCE];
  size_t fault_ahead = 0;  // the ids' pages are faulted in up to here
  for (;;) {
    // A batch holds tokens in the block only, and is filed before next_word may refill it; a token
    // that needs next_word is filed on its own.
    size_t n = 0;
    for (; n < FILED_AT_ONCE && next_word_in_block(r, &batch[n]); n++) {
      hash[n] = text_hash(batch[n].text, batch[n].len);
      __builtin_prefetch(&index->data[hash[n] & (index->size - 1)]);
    }
    if (n == 0) {
      if (!next_word(r, &batch[0])) return true;
      hash[n++] = text_hash(batch[0].text, batch[0].len);
    }
    for (size_t j = 0; j < n; j++) {
      uint32_t id = hashed_word(list, index, batch[j].text, batch[j].len, hash[j]);
      if (id == NONE || (list->ids.size == list->ids.cap && !grow_ids(list, room))) return false;
      list->ids.data[list->ids.size++] = id;
    }
    if (list->ids.size >= fault_ahead) fault_ahead = touch_ahead(&list->ids);
  }
}

// Files in `index` the words of `part`, the text after `all`'s (new ones take the next ids in order
// of first meeting), and sets id_of[w] to the id of part word w; false if memory ran out.
bool file_words(WordList *all, Array<WordSlot> *index, const WordList *part,
                Array<uint32_t> *id_of) {
  bool ok = make_block(id_of, part->words.size);
  for (size_t w = 0; ok && w < part->words.size; w++) {
    const Word &word = part->words.data[w];
    const unsigned char *text =
        reinterpret_cast<const unsigned char *>(part->bytes.data + word.text_at);
    ok = (id_of->data[w] = new_word(all, index, text, word.len)) != NONE;
  }
  return ok;
}

// Writes to[q] = id_of[from[q]] for q in [0, n), on every core; `to` may be `from`.
void renumber(const uint32_t *from, size_t n, const uint32_t *id_of, uint32_t *to) {
  unsigned workers = build_workers();
  size_t tasks = range_tasks(workers);
  auto task = [&](size_t r, unsigned) {
    for (size_t q = range_start(n, tasks, r), end = range_start(n, tasks, r + 1); q < end; q++)
      to[q] = id_of[from[q]];
  };
  run_tasks(tasks, workers, task);
}

// Appends `part`, the text after `all`'s, to `all`, its words filed in `index`, keeping at most
// `room` ids in memory; false if memory ran out or a spill file failed.
bool append_words(WordList *all, Array<WordSlot> *index, const WordList *part, size_t room) {
  Array<uint32_t> id_of, chunk;  // chunk: the part's spilled ids, read back
  uint64_t spilled = part->spilled.fd >= 0 ? part->spilled.bytes : 0;
  bool ok = file_words(all, index, part, &id_of) && (!spilled || make_block(&chunk, READ_SIZE / 4));
  auto append = [&](const uint32_t *ids, size_t n) {
    for (size_t q = 0; ok && q < n; q++) {
      ok = all->ids.size < all->ids.cap || grow_ids(all, room);
      if (ok) all->ids.data[all->ids.size++] = id_of.data[ids[q]];
    }
  };
  for (uint64_t at = 0; ok && at < spilled; at += chunk.cap * 4) {
    size_t len = static_cast<size_t>(std::min<uint64_t>(chunk.cap * 4, spilled - at));
    ok = read_at(&part->spilled, at, chunk.data, len);
    append(chunk.data, len / 4);
  }
  // Ids that fit in memory are renumbered on every core, each faulting in its own range's pages.
  size_t base = all->ids.size, n = part->ids.size;
  if (ok && all->spilled.fd < 0 && base + n <= room &&
      (base + n <= all->ids.cap || set_capacity(&all->ids, base + n))) {
    renumber(part->ids.data, n, id_of.data, all->ids.data + base);
    all->ids.size = base + n;
  } else {
    append(part->ids.data, n);
  }
  release(&id_of);
  release(&chunk);
  return ok;
}

// A text larger than this is worth reading in parts on more than one core.
constexpr uint64_t SPLIT_BYTES = uint64_t{16} << 20;

// Just past the first separator in [from, to), else `to`: where a part of the text may start.
uint64_t part_start(int fd, uint64_t from, uint64_t to) {
  unsigned char window[4096];
  while (from < to) {
    ssize_t n =
        pread(fd, window, std::min<uint64_t>(sizeof window, to - from), static_cast<off_t>(from));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return to;
    for (ssize_t i = 0; i < n; i++)
      if (BYTE_CLASS.of[window[i]] == SEPARATOR) return from + static_cast<uint64_t>(i) + 1;
    from += static_cast<uint64_t>(n);
  }
  return to;
}

constexpr size_t MAX_READ_PARTS = 16;

struct Part {
  Array<unsigned char> buf;
  WordReader reader;
  WordList list;
  Array<WordSlot> index;
  bool ok;
};

// Whether parts [0, count) of a text, `list` first, may be joined by moving their ids' pages: all
// in memory, in large blocks, and within `room` ids together.
bool movable(const WordList *list, const Part *part, size_t count, size_t room) {
  size_t total = 0;
  for (size_t i = 0; i < count; i++) {
    const WordList *l = i == 0 ? list : &part[i].list;
    if (l->spilled.fd >= 0 || l->ids.size == 0 || l->ids.cap * sizeof(uint32_t) < LARGE_BLOCK)
      return false;
    total += l->ids.size;
  }
  return total <= room;
}

// Joins the movable parts [1, count) to `list`, the first, moving their ids' pages after its own
// and renumbering them in place, so no fresh page holds them twice; false if memory ran out.
bool join_parts(WordList *list, Array<WordSlot> *index, Part *part, size_t count) {
  Array<uint32_t> id_of[MAX_READ_PARTS], joined;
  Array<uint32_t> *ids[MAX_READ_PARTS];
  size_t base[MAX_READ_PARTS + 1] = {0};
  bool ok = true;
  for (size_t i = 0; i < count; i++) {
    ids[i] = i == 0 ? &list->ids : &part[i].list.ids;
    base[i + 1] = base[i] + ids[i]->size;
    ok = ok && (i == 0 || file_words(list, index, &part[i].list, &id_of[i]));
  }
  ok = ok && join_blocks(ids, count, &joined);
  if (ok) {
    list->ids = joined;
    for (size_t i = 1; i < count; i++) {
      uint32_t *at = joined.data + base[i];
      renumber(at, base[i + 1] - base[i], id_of[i].data, at);
    }
  } else {
    release(&joined);
  }
  for (Array<uint32_t> &a : id_of) release(&a);
  return ok;
}

// Ids the in-memory build may hold in `budget`: its positions are 32-bit; a longer text spills.
size_t ids_room(size_t budget) {
  return std::clamp<size_t>(budget / BUILD_BYTES_PER_WORD, 4096, NONE - 2);
}

// What the in-memory build of the n words of `list` holds at its peak, as the account counts it
// (large blocks whole): the ids packed, workers' tables, and the larger of two steps.  Naming and
// dealing: the deals' block beside a state a position (32 bits until the last names are packed)
// and the bitmap of first positions.  Packing: a suffix and a state at most a position, the states
// over the positions' block, grown if they need more.  A sixteenth more is kept for the workers'
// arrays, which a partition larger than meant (a text's most frequent states) may grow.
size_t build_bytes(const WordList *list, uint64_t n) {
  auto k = static_cast<uint32_t>(word_prefix_cnt);
  size_t words = list->words.size, p = n > k ? n - k : 0;
  size_t ids = mapped_bytes(packed_cells(n, bits_of(words ? words - 1 : 0)) * sizeof(uint32_t));
  size_t block = mapped_bytes(n * deal_record_bytes(n, k, words));
  size_t positions = mapped_bytes((std::max<size_t>(n, words + 1) + PACKED_SLACK / 4) * 4);
  size_t first = mapped_bytes((p / 64 + 1) * sizeof(FirstMet));
  size_t suffixes = mapped_bytes(p * record_bytes(p, p) + RECORD_SLACK);
  size_t states = mapped_bytes((p + 1) * record_bytes(p, words) + RECORD_SLACK);
  size_t steps = std::max(block + positions, suffixes + std::max(positions, states)) + first;
  return ids + steps + steps / 16 + build_workers() * WORKER_BYTES;
}

}  // namespace

bool read_words_fd(int fd, WordList *list) {
  key_hashes();
  // The words are counted but never refused: the build that follows must fit around them.
  size_t budget = plan_budget(), room = ids_room(budget);
  set_budget(budget);
  // A regular file is read in parts cut after separators, on as many cores as the build may use; a
  // small one gets a buffer its size (if it grows meanwhile, more reads still reach its end).
  struct stat st;
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0;
  off_t here = regular ? lseek(fd, 0, SEEK_CUR) : -1;
  uint64_t from = here >= 0 ? static_cast<uint64_t>(here) : 0;
  uint64_t size = regular ? static_cast<uint64_t>(st.st_size) : UINT64_MAX;
  size_t parts = 1;
  if (build_plan.read_parts)
    parts = build_plan.read_parts;
  else if (here >= 0 && size > from + SPLIT_BYTES)
    parts = std::min<uint64_t>(build_workers(), (size - from) / SPLIT_BYTES);
  if (here < 0 || size <= from) parts = 1;
  size_t cap = READ_SIZE;
  if (regular && size - from < READ_SIZE) cap = std::max<size_t>(size - from + 1, 4096);
  parts = std::min(parts, MAX_READ_PARTS);
  Part part[MAX_READ_PARTS];
  bool ok = true;
  for (size_t i = 0, begin = from; i < parts; i++) {
    // Each part but the last ends just after a separator, so no token is cut.
    uint64_t nominal = from + (size - from) / parts * (i + 1);
    uint64_t end = i + 1 == parts ? UINT64_MAX
                                  : std::max(part_start(fd, std::max(nominal, begin), size), begin);
    Array<unsigned char> block;
    bool made = make_block(&block, cap + SLACK + MAX_WORD_LEN + SLACK);
    unsigned char *buf = block.data;
    part[i] =
        Part{block,
             WordReader{fd, buf, buf + cap + SLACK, cap, 0, 0, parts > 1, begin, end, false, false},
             WordList(), Array<WordSlot>(), made};
    if (made) std::memset(buf + cap, 0, SLACK);
    ok = ok && made;
    begin = end;
  }
  auto read_part = [&](size_t i, unsigned) {
    Part *p = &part[i];
    p->ok = p->ok && read_all(&p->reader, i == 0 ? list : &p->list, &p->index, room / parts);
  };
  if (ok) run_tasks(parts, static_cast<unsigned>(parts), read_part);
  // Parts are joined in order up to the first a byte 26 or read error cut short: the text ends
  // there, and nothing after counts, not even a part that ran out of memory.
  size_t joined = 0;
  for (bool cut = false; ok && !cut && joined < parts; joined++) {
    ok = part[joined].ok;
    cut = part[joined].reader.cut;
  }
  if (ok && joined > 1 && movable(list, part, joined, room))
    ok = join_parts(list, &part[0].index, part, joined);
  else
    for (size_t i = 1; ok && i < joined; i++)
      ok = append_words(list, &part[0].index, &part[i].list, room);
  for (size_t i = 0; i < parts; i++) {
    release(&part[i].buf);
    release(&part[i].list);
    release(&part[i].index);
  }
  // A text whose in-memory build would not fit what the words leave is spilled whole; its packed
  // ids take the place of those held now.
  size_t held = held_bytes(&list->ids);
  if (ok && (list->spilled.fd >= 0 || build_bytes(list, word_count(list)) > memory_room() + held))
    ok = spill_words(list);
  return ok;
}

bool read_words(const char *path, WordList *list) {
  int fd;
  do fd = open(path, O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  bool ok = read_words_fd(fd, list);
  close(fd);
  return ok;
}

// Packs the in-memory ids of `list` to the bits its words need, in place, giving back the rest;
// false, leaving them as they were, if memory ran out.
bool pack_ids(WordList *list) {
  assert(list->id_bits == 0 && list->spilled.fd < 0);
  size_t n = list->ids.size, words = list->words.size;
  unsigned bits = bits_of(words ? words - 1 : 0);
  size_t cells = packed_cells(n, bits);
  if (cells > list->ids.cap && !set_capacity(&list->ids, cells)) return false;
  pack_values(list->ids.data, n, bits);
  list->ids.size = cells;
  shrink_to_fit(&list->ids);
  trim_block(&list->ids, 0);  // the huge page the 32-bit ids filled, now part empty
  list->id_bits = bits;
  list->packed = n;
  return true;
}

bool spill_words(WordList *list) {
  bool ok = true;
  if (list->id_bits) {
    // Unpacked a run at a time into a buffer, each run written after the last.
    Array<uint32_t> run;
    WordStream ids = read_ids(list, 0);
    ok = make_block(&run, READ_SIZE / 4) && open_spill(&list->spilled);
    for (uint64_t q = 0; ok && q < list->packed; q += run.cap) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(run.cap, list->packed - q));
      for (size_t i = 0; i < n; i++) run.data[i] = stream_next(&ids);
      ok = write_at(&list->spilled, list->spilled.bytes, run.data, n * 4);
    }
    release(&run);
    list->id_bits = 0;
    list->packed = 0;
  } else {
    ok = spill_ids(list);
  }
  release(&list->ids);
  return ok;
}

void release(WordList *list) {
  close_spill(&list->spilled);
  release(&list->ids);
  release(&list->words);
  release(&list->bytes);
  list->id_bits = 0;
  list->packed = 0;
}
