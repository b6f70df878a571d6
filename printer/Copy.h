// Copy: Scrollet's copy loops, over read(2)-, write(2)- and splice(2)-shaped
// callables so that they can be driven by any source and sink, short
// transfers, refusals and failures included.
#ifndef SCROLLET_COPY_H
#define SCROLLET_COPY_H

#include <errno.h>
#include <sys/types.h>

#include <cstddef>

// Writes all `len` bytes at `p` through `put`, retrying short and
// interrupted writes; false if `put` fails or writes nothing.
template <class Put>
bool write_all(Put &put, const char *p, size_t len) {
  while (len > 0) {
    ssize_t n = put(p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Copies everything `get` yields to `put` through `buf` (`size` bytes), each
// block written as soon as it is read, so a line written into a pipe goes
// out at once; false on a read or write error.
template <class Get, class Put>
bool copy_blocks(Get &get, Put &put, char *buf, size_t size) {
  for (;;) {
    ssize_t n = get(buf, size);
    if (n == 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || !write_all(put, buf, static_cast<size_t>(n))) return false;
  }
}

// True when a kernel-side move failed with `err` only because the system
// will not move bytes between this pair of files; the block loop can.
inline bool refused(int err) {
  // EBADF is a regular output opened for appending, ETXTBSY a swap file;
  // on Linux EOPNOTSUPP and ENOTSUP are one code.
  return err == EINVAL || err == ENOSYS || err == EXDEV || err == EOPNOTSUPP || err == EBADF ||
         err == ETXTBSY;
}

// Calls `move(chunk)`, which moves up to that many bytes from the input's
// own offset and returns the count, 0 or -1 with errno, until it returns 0
// or refuses; false on any other failure.
template <class Move>
bool move_all(Move &move, size_t chunk) {
  // Each call moves whatever the kernel has ready (a pipe's worth, a pipe
  // input's pending bytes), so nothing waits here to fill a chunk.
  for (;;) {
    ssize_t n = move(chunk);
    if (n > 0) continue;
    if (n == 0) return true;
    if (errno != EINTR) return refused(errno);
  }
}

// Copies everything by `move` while the kernel moves it, then by `get` and
// `put` through `buf` from where it stopped, which also confirms the end;
// false on a read, write or move failure.
template <class Move, class Get, class Put>
bool copy_moving(Move &move, size_t chunk, Get &get, Put &put, char *buf, size_t size) {
  return move_all(move, chunk) && copy_blocks(get, put, buf, size);
}

#endif
