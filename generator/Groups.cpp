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
