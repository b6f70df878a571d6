// Spill: temporary files for a build larger than memory, and buffered streams over them.  A spill
// file is made unlinked in TMPDIR, else /tmp, so nothing is left behind however the program ends;
// one that cannot be made, written or read back fails the build as lack of memory does.
#ifndef CHATTERLOOM_SPILL_H
#define CHATTERLOOM_SPILL_H

#include <cstddef>
#include <cstdint>
#include <cstring>

// An unlinked temporary file of `bytes` bytes, or none (fd < 0).
struct SpillFile {
  int fd = -1;
  uint64_t bytes = 0;
};

// Makes `f` a new, empty spill file; false if none can be made.
bool open_spill(SpillFile *f);

// Closes `f`, which gives its blocks back to the disk, and leaves it none.
void close_spill(SpillFile *f);

// Writes `len` bytes at `offset` of `f`, growing it as needed; false if it failed (full disk, I/O).
bool write_at(SpillFile *f, uint64_t offset, const void *p, size_t len);

// Reads `len` bytes at `offset` of `f`; false unless they were all there.
bool read_at(const SpillFile *f, uint64_t offset, void *p, size_t len);

// Streams read or write a file in order from an offset through a buffer they own; a failure sticks
// (`ok` stays false).  Threads writing one file write disjoint ranges of a file already sized to
// hold them, so that its size is not written meanwhile.

struct SpillWriter {
  SpillFile *file;
  uint64_t at;  // the file offset where the buffer goes
  char *buf;
  size_t used, cap;
  bool ok;
};

struct SpillReader {
  const SpillFile *file;
  uint64_t at;  // the file offset just past what the buffer holds
  char *buf;
  size_t used, have, cap;
  bool ok;
};

// Starts a writer at byte `offset` of `f` with a `cap`-byte buffer; false if memory ran out.
bool open_writer(SpillWriter *w, SpillFile *f, uint64_t offset, size_t cap);

// Writes out what `w` holds; false if a write ever failed.
bool flush_writer(SpillWriter *w);

// Flushes `w` and frees its buffer; false if a write ever failed.
bool close_writer(SpillWriter *w);

// Starts a reader of `f` at byte `offset` with a `cap`-byte buffer; false if memory ran out.
bool open_reader(SpillReader *r, const SpillFile *f, uint64_t offset, size_t cap);

// Frees the reader's buffer.
void close_reader(SpillReader *r);

// Refills the buffer past its unread bytes; false at a read error or if fewer than `want` remain.
bool refill(SpillReader *r, size_t want);

// Appends the bytes of `v`.
template <class T>
inline void put(SpillWriter *w, const T &v) {
  if (w->used + sizeof v > w->cap && !flush_writer(w)) return;
  std::memcpy(w->buf + w->used, &v, sizeof v);
  w->used += sizeof v;
}

// Reads the next `T`; a reader that runs out fails and gives zeros.
template <class T>
inline T take(SpillReader *r) {
  T v{};
  if (r->used + sizeof v > r->have && !refill(r, sizeof v)) return v;
  std::memcpy(&v, r->buf + r->used, sizeof v);
  r->used += sizeof v;
  return v;
}

#endif
