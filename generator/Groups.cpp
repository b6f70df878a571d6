// Groups of spill files, and the streams over them.
#include "Groups.h"

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

bool open_dealt(Dealt *d, size_t pieces, size_t groups) {
  d->pieces = pieces;
  bool ok = true;
  for (size_t p = 0; p < pieces; p++) ok = open_files(&d->piece[p], groups) && ok;
  return ok;
}

void close_dealt(Dealt *d) {
  for (size_t p = 0; p < d->pieces; p++) close_files(&d->piece[p]);
}

uint64_t group_bytes(const Dealt *d, size_t g) {
  uint64_t bytes = 0;
  for (size_t p = 0; p < d->pieces; p++) bytes += d->piece[p].file[g].bytes;
  return bytes;
}

bool read_group(const Dealt *d, size_t g, char *to) {
  bool ok = true;
  for (size_t p = 0; p < d->pieces; p++) {
    const SpillFile *f = &d->piece[p].file[g];
    ok = ok && read_at(f, 0, to, static_cast<size_t>(f->bytes));
    to += f->bytes;
  }
  return ok;
}

void close_group(Dealt *d, size_t g) {
  for (size_t p = 0; p < d->pieces; p++) close_spill(&d->piece[p].file[g]);
}

bool translate_groups(Spiller *s, Groups *locals, Groups *ranks) {
  Array<uint32_t> rank[MAX_WORKERS], chunk[MAX_WORKERS];
  size_t step = buffer_bytes(s, 2 * s->b.workers) / 4;
  auto one = [&](size_t g, unsigned worker) {
    size_t r = static_cast<size_t>(locals->file[g].bytes / 4);
    size_t d = static_cast<size_t>(ranks->file[g].bytes / 4);
    bool ok = !s->b.failed && fit_block(&rank[worker], d) && fit_block(&chunk[worker], step) &&
              read_at(&ranks->file[g], 0, rank[worker].data, d * 4);
    uint32_t *rk = rank[worker].data, *ch = chunk[worker].data;
    for (size_t from = 0; ok && from < r; from += step) {
      size_t len = std::min(step, r - from);
      ok = read_at(&locals->file[g], from * 4, ch, len * 4);
      for (size_t i = 0; ok && i < len; i++) {
        ok = ch[i] < d;
        if (ok) ch[i] = rk[ch[i]];
      }
      ok = ok && write_at(&locals->file[g], from * 4, ch, len * 4);
    }
    close_spill(&ranks->file[g]);
    if (!ok) s->b.failed = true;
  };
  s->b.failed = false;
  run_tasks(locals->count, s->b.workers, one);
  for (unsigned w = 0; w < MAX_WORKERS; w++) {
    release(&rank[w]);
    release(&chunk[w]);
  }
  return !s->b.failed;
}

bool merge_groups(Spiller *s, uint64_t m, const SpillFile *which, Groups *names,
                  const uint64_t (*at)[MAX_GROUPS], SpillFile *out) {
  out->bytes = m * 4;  // each piece writes its own range of it
  size_t cap = buffer_bytes(s, s->b.workers * (names->count + 2));
  return by_pieces(s, m, [&](size_t p, uint64_t from, uint64_t to) {
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
