#include "Budget.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

namespace {

// Reads the start of file `path` into `text` of `cap` bytes, zero-ended; false if nothing was read.
bool read_small(const char *path, char *text, size_t cap) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t n = read(fd, text, cap - 1);
  close(fd);
  if (n <= 0) return false;
  text[n] = 0;
  return true;
}

// The number after `key` (empty: the first number) in small file `path`, or UINT64_MAX if none.
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

// The bytes left under this process's control group memory limit, or UINT64_MAX if it has none.
uint64_t cgroup_room() {
  char text[4096], path[PATH_MAX + 64];
  if (!read_small("/proc/self/cgroup", text, sizeof text)) return UINT64_MAX;
  uint64_t room = UINT64_MAX;
  // Lines are "id:controllers:path": "0::path" under version 2, the "memory" one under version 1.
  for (char *line = text, *next; line && *line; line = next) {
    next = std::strchr(line, '\n');
    if (next) *next++ = 0;
    char *c1 = std::strchr(line, ':'), *c2 = c1 ? std::strchr(c1 + 1, ':') : nullptr;
    if (!c2) continue;
    *c2 = 0;
    const char *controllers = c1 + 1, *group = c2 + 1;
    // v2 is mounted on /sys/fs/cgroup, or "unified" beside v1; v1's memory controller on "memory".
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

size_t find_budget(unsigned threads) {
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
  // The margin: own stacks, buffers and heap overhead, plus the threads' reserve under a limit.
  uint64_t margin = (uint64_t{16} << 20) + room / 16;
  if (process_limit() != UINT64_MAX) margin += threads * THREAD_RESERVE;
  room = room > margin ? room - margin : 0;
  return static_cast<size_t>(std::min<uint64_t>(room, SIZE_MAX));
}

// The account

namespace {

std::atomic<size_t> held{0};
size_t budget = SIZE_MAX;
bool strict = false;

}  // namespace

void set_budget(size_t bytes) {
  budget = bytes;
}

void hold_to_budget(bool refuse) {
  strict = refuse;
}

bool take_memory(size_t bytes) {
  size_t now = held.load(std::memory_order_relaxed);
  do {
    if (strict && (bytes > budget || now > budget - bytes)) return false;
  } while (!held.compare_exchange_weak(now, now + bytes, std::memory_order_relaxed));
  assert(!strict || now + bytes <= budget);  // held <= budget while it is held to it
  return true;
}

void give_memory(size_t bytes) {
  assert(held.load(std::memory_order_relaxed) >= bytes);
  held.fetch_sub(bytes, std::memory_order_relaxed);
}

size_t memory_budget() {
  return budget;
}

size_t memory_room() {
  size_t now = held.load(std::memory_order_relaxed);
  return now < budget ? budget - now : 0;
}
