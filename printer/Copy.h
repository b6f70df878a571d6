// Copy: Scrollet's copy loop, over read(2)- and write(2)-shaped callables so
// that it can be driven by any source and sink, short transfers included.
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

#endif
