#include "Spill.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

bool open_spill(SpillFile *f) {
  *f = SpillFile();  // a failure leaves none, never a stale descriptor
  const char *dir = std::getenv("TMPDIR");
  if (!dir || !*dir) dir = "/tmp";
  int fd;
  do fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  while (fd < 0 && errno == EINTR);
  // A file system without unnamed files gets a named one, unlinked at once.
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
    char path[PATH_MAX];
    if (std::snprintf(path, sizeof path, "%s/chatterloom.XXXXXX", dir) >= int{sizeof path})
      return false;
    fd = mkostemp(path, O_CLOEXEC);
    if (fd >= 0 && unlink(path) != 0) {
      close(fd);
      return false;
    }
  }
  if (fd < 0) return false;
  *f = SpillFile{fd, 0};
  return true;
}

void close_spill(SpillFile *f) {
  if (f->fd >= 0) close(f->fd);
  *f = SpillFile();
}

bool write_at(SpillFile *f, uint64_t offset, const void *p, size_t len) {
  const char *s = static_cast<const char *>(p);
  for (size_t done = 0; done < len;) {
    ssize_t n = pwrite(f->fd, s + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  if (offset + len > f->bytes) f->bytes = offset + len;
  return true;
}

bool read_at(const SpillFile *f, uint64_t offset, void *p, size_t len) {
  char *s = static_cast<char *>(p);
  for (size_t done = 0; done < len;) {
    ssize_t n = pread(f->fd, s + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool open_writer(SpillWriter *w, SpillFile *f, uint64_t offset, size_t cap) {
  *w = SpillWriter{f, offset, static_cast<char *>(std::malloc(cap)), 0, cap, true};
  return w->buf != nullptr;
}

bool flush_writer(SpillWriter *w) {
  if (w->ok && w->used > 0) w->ok = write_at(w->file, w->at, w->buf, w->used);
  w->at += w->used;
  w->used = 0;
  return w->ok;
}

bool close_writer(SpillWriter *w) {
  bool ok = w->buf && flush_writer(w);
  std::free(w->buf);
  w->buf = nullptr;
  return ok;
}

bool open_reader(SpillReader *r, const SpillFile *f, uint64_t offset, size_t cap) {
  *r = SpillReader{f, offset, static_cast<char *>(std::malloc(cap)), 0, 0, cap, true};
  return r->buf != nullptr;
}

void close_reader(SpillReader *r) {
  std::free(r->buf);
  r->buf = nullptr;
}

bool refill(SpillReader *r, size_t want) {
  size_t left = r->have - r->used;
  std::memmove(r->buf, r->buf + r->used, left);
  r->used = 0;
  r->have = left;
  uint64_t remain = r->file->bytes > r->at ? r->file->bytes - r->at : 0;
  size_t len = static_cast<size_t>(std::min<uint64_t>(r->cap - left, remain));
  if (r->ok && len > 0 && !read_at(r->file, r->at, r->buf + left, len)) r->ok = false;
  if (r->ok) {
    r->at += len;
    r->have += len;
  }
  r->ok = r->ok && r->have >= want;
  return r->ok;
}
