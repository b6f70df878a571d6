// Makes allocation fail on purpose, for black-box runs: with FAIL_ALLOC_AT=N
// the Nth call of malloc, calloc or realloc, or of an anonymous mmap or an
// mremap made by the program itself, and every later one fail; with
// COUNT_ALLOC_TO=FILE the number of calls made is written to FILE at exit,
// so that a test can fail each allocation in turn.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);

static unsigned long calls, fail_at;

static int refuse(void) {
  if (fail_at == 0) {
    const char *s = getenv("FAIL_ALLOC_AT");
    fail_at = s ? strtoul(s, NULL, 10) : (unsigned long)-1;
  }
  if (++calls < fail_at) return 0;
  errno = ENOMEM;
  return 1;
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
  if (refuse()) return MAP_FAILED;
  return (void *)syscall(SYS_mremap, old, old_len, len, flags, NULL);
}

__attribute__((destructor)) static void report(void) {
  const char *path = getenv("COUNT_ALLOC_TO");
  if (!path) return;
  char text[32];
  int len = snprintf(text, sizeof text, "%lu\n", calls);
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  if (write(fd, text, (size_t)len) != len) (void)0;
  close(fd);
}
