// Spill files, their streams, and the memory budget.
#include "Spill.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "Markov.h"

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

// ---------------------------------------------------------------------------
// Streams

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

// ---------------------------------------------------------------------------
// The memory budget

namespace {

// Reads the start of the small text file at `path` into `text`, of `cap`
// bytes, ending it with a zero byte; false if nothing could be read.
bool read_small(const char *path, char *text, size_t cap) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t n = read(fd, text, cap - 1);
  close(fd);
  if (n <= 0) return false;
  text[n] = 0;
  return true;
}

// The number after `key` in the small text file at `path`, or UINT64_MAX
// where there is none; `key` empty takes the file's first number.
uint64_t number_in(const char *path, const char *key) {
  char text[4096];
  if (!read_small(path, text, sizeof text)) return UINT64_MAX;
  const char *at = *key ? std::strstr(text, key) : text;
  if (!at) return UINT64_MAX;
  at += std::strlen(key);
  while (*at == ' ' || *at == '\t') at++;
  if (*at < '0' || *at > '9') return UINT64_MAX;  // "max": no limit
  return std::strtoull(at, nullptr, 10);
}

// What is left under the memory limit of this process's control group, in
// bytes, or UINT64_MAX where it has none.
uint64_t cgroup_room() {
  char text[4096], path[PATH_MAX + 64];
  if (!read_small("/proc/self/cgroup", text, sizeof text)) return UINT64_MAX;
  uint64_t room = UINT64_MAX;
  // Lines are "id:controllers:path": "0::path" under version 2, and the
  // line naming "memory" under version 1.
  for (char *line = text, *next; line && *line; line = next) {
    next = std::strchr(line, '\n');
    if (next) *next++ = 0;
    char *c1 = std::strchr(line, ':'), *c2 = c1 ? std::strchr(c1 + 1, ':') : nullptr;
    if (!c2) continue;
    *c2 = 0;
    const char *controllers = c1 + 1, *group = c2 + 1;
    // Version 2 is mounted on /sys/fs/cgroup, or beside version 1 on its
    // "unified" directory; version 1's memory controller on "memory".
    static const char *const V2[] = {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"};
    static const char *const V1[] = {"/sys/fs/cgroup/memory"};
    bool v2 = !*controllers;
    std::span<const char *const> roots = v2 ? std::span<const char *const>(V2) : V1;
    if (!v2 && !std::strstr(controllers, "memory")) continue;
    const char *limit_file = v2 ? "memory.max" : "memory.limit_in_bytes";
    const char *usage_file = v2 ? "memory.current" : "memory.usage_in_bytes";
    for (const char *root : roots) {
      std::snprintf(path, sizeof path, "%s%s/%s", root, group, limit_file);
      uint64_t limit = number_in(path, "");
      std::snprintf(path, sizeof path, "%s%s/%s", root, group, usage_file);
      uint64_t used = number_in(path, "");
      if (limit != UINT64_MAX) room = std::min(room, used < limit ? limit - used : 0);
    }
  }
  return room;
}

// What a limit leaves once `held` bytes are counted against it.
uint64_t left_under(int resource, uint64_t held) {
  struct rlimit rl;
  if (getrlimit(resource, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  return rl.rlim_cur > held ? rl.rlim_cur - held : 0;
}

}  // namespace

uint64_t process_limit() {
  return std::min(left_under(RLIMIT_AS, 0), left_under(RLIMIT_DATA, 0));
}

size_t memory_budget() {
  if (build_plan.budget) return build_plan.budget;
  // statm gives the process's size and its data and stack, in pages.
  uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE)), size = 0, data = 0;
  char text[256];
  if (read_small("/proc/self/statm", text, sizeof text)) {
    unsigned long long v[6] = {};
    if (std::sscanf(text, "%llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4],
                    &v[5]) == 6)
      size = v[0] * page, data = v[5] * page;
  }
  uint64_t room =
      std::min({left_under(RLIMIT_AS, size), left_under(RLIMIT_DATA, data), cgroup_room()});
  uint64_t available = number_in("/proc/meminfo", "MemAvailable:");
  if (available != UINT64_MAX) room = std::min(room, available * 1024);
  // The margin: the program's own stacks, buffers and heap overhead, and
  // under a limit of the process's own what the build's threads reserve.
  uint64_t margin = (uint64_t{16} << 20) + room / 16;
  if (process_limit() != UINT64_MAX) margin += (build_workers() - 1) * THREAD_RESERVE;
  room = room > margin ? room - margin : 0;
  return static_cast<size_t>(std::min<uint64_t>(room, SIZE_MAX));
}
