// Makes allocation, or writing at an offset, fail on purpose, for black-box
// runs: with FAIL_ALLOC_AT=N the Nth call of malloc, calloc or realloc, or
// of an anonymous mmap or an mremap made by the program itself, and every
// later one fail (with FAIL_ONLY=1 set too, the Nth alone); with
// COUNT_ALLOC_TO=FILE the number of calls made is written to FILE at exit,
// so that a test can fail each allocation in turn, and with FIXED_AT_TO=FILE
// the number of the first mremap to a given address, where blocks are
// joined.  FAIL_WRITE_AT and COUNT_WRITES_TO do the same for pwrite, which
// only the program's temporary files are written with, as a full disk.
#define _GNU_SOURCE  // for MREMAP_FIXED
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);

struct counter {
  const char *fail_name, *count_name;
  unsigned long calls, fail_at;
};
static struct counter allocs = {"FAIL_ALLOC_AT", "COUNT_ALLOC_TO", 0, 0};
static struct counter writes = {"FAIL_WRITE_AT", "COUNT_WRITES_TO", 0, 0};

// The number of the first call that moved a block to a given place.
static unsigned long first_fixed;

static int fails(struct counter *c, int error) {
  if (c->fail_at == 0) {
    const char *s = getenv(c->fail_name);
    c->fail_at = s ? strtoul(s, NULL, 10) : (unsigned long)-1;
  }
  static int only = -1;
  if (only < 0) only = getenv("FAIL_ONLY") != NULL;
  if (++c->calls < c->fail_at || (only && c->calls > c->fail_at)) return 0;
  errno = error;
  return 1;
}

static int refuse(void) {
  return fails(&allocs, ENOMEM);
}

void *malloc(size_t n) {
  return refuse() ? NULL : __libc_malloc(n);
}
void *calloc(size_t m, size_t n) {
  return refuse() ? NULL : __libc_calloc(m, n);
}
void *realloc(void *p, size_t n) {
  return refuse() ? NULL : __libc_realloc(p, n);
}

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
  if ((flags & MAP_ANONYMOUS) && refuse()) return MAP_FAILED;
  return (void *)syscall(SYS_mmap, addr, len, prot, flags, fd, off);
}
void *mremap(void *old, size_t old_len, size_t len, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  void *to = (flags & MREMAP_FIXED) ? va_arg(ap, void *) : NULL;
  va_end(ap);
  if (refuse()) return MAP_FAILED;
  if ((flags & MREMAP_FIXED) && !first_fixed) first_fixed = allocs.calls;
  return (void *)syscall(SYS_mremap, old, old_len, len, flags, to);
}

ssize_t pwrite(int fd, const void *buf, size_t len, off_t off) {
  if (fails(&writes, ENOSPC)) return -1;
  return syscall(SYS_pwrite64, fd, buf, len, off);
}
ssize_t pwrite64(int fd, const void *buf, size_t len, off_t off) {
  return pwrite(fd, buf, len, off);
}

static void report_number(const char *name, unsigned long n) {
  const char *path = getenv(name);
  if (!path) return;
  char text[32];
  int len = snprintf(text, sizeof text, "%lu\n", n);
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  if (write(fd, text, (size_t)len) != len) (void)0;
  close(fd);
}

__attribute__((destructor)) static void report(void) {
  report_number(allocs.count_name, allocs.calls);
  report_number(writes.count_name, writes.calls);
  report_number("FIXED_AT_TO", first_fixed);
}
