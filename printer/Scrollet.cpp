// Scrollet: copies a file, or standard input, to standard output.
//
// usage: Scrollet [filename]
// Only the first argument is used; one holding * or ? is first expanded to
// the sorted names it matches, as a start-up step, and the first of those is
// the input.  Exit status 0 after a complete copy, 1 otherwise.
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "Copy.h"

namespace {

const char USAGE[] = "usage: Scrollet [filename]\n";

// Smallest copy block; a larger preferred block size of the input wins.
constexpr size_t MIN_BLOCK = 128 * 1024;

// Most bytes asked of one kernel-side move; the kernel moves what it can.
constexpr size_t MOVE_CHUNK = size_t{1} << 30;

// Pipe size asked for on the splice route: the default ceiling for users
// (/proc/sys/fs/pipe-max-size).  Sixteen times the usual 64 KiB means
// fewer splices and far fewer wake-ups of the process at the other end.
constexpr int PIPE_BYTES = 1 << 20;

// How the kernel can move the bytes without passing them through here.
enum class Route { blocks, splice_to_pipe, copy_range };

int usage() {
  // One counted write; with nowhere to report a failure, its result is moot.
  ssize_t ignored = write(2, USAGE, sizeof USAGE - 1);
  (void)ignored;
  return 1;
}

// Returns the first name that `arg` stands for: the first sorted match when
// it holds * or ?, else `arg` itself.  Only * and ? are wildcards; a pattern
// matching nothing stays as typed.  The result lives until exit.
const char *expand(const char *arg) {
  if (!std::strpbrk(arg, "*?")) return arg;
  char *pattern = static_cast<char *>(std::malloc(2 * std::strlen(arg) + 1));
  if (!pattern) return arg;
  char *q = pattern;
  for (const char *p = arg; *p; p++) {
    if (*p == '[' || *p == ']' || *p == '\\') *q++ = '\\';
    *q++ = *p;
  }
  *q = 0;
  static glob_t found;
  int rc = glob(pattern, 0, nullptr, &found);
  std::free(pattern);
  return rc == 0 && found.gl_pathc > 0 ? found.gl_pathv[0] : arg;
}

// Opens `path` for reading; -1 if it cannot be opened or is a directory,
// which opens on this system but cannot be read as a file.
int open_input(const char *path) {
  int fd;
  do fd = open(path, O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

// True when standard output is the regular file that `fd` reads and its
// writes could land on bytes still to be read, so the copy would never end.
bool overtakes_itself(int fd) {
  struct stat in, out;
  // Either call fails only on a closed descriptor, whose read or write
  // then fails the copy.
  if (fstat(fd, &in) != 0 || fstat(1, &out) != 0) return false;
  if (!S_ISREG(in.st_mode) || !S_ISREG(out.st_mode) || in.st_dev != out.st_dev ||
      in.st_ino != out.st_ino)
    return false;
  off_t in_pos = lseek(fd, 0, SEEK_CUR);
  off_t out_pos = lseek(1, 0, SEEK_CUR);
  int flags = fcntl(1, F_GETFL);
  // On one regular file these cannot fail; if they do, nothing shows that
  // the copy would end, so it is not started.
  if (in_pos < 0 || out_pos < 0 || flags < 0) return true;
  if (in.st_size <= in_pos) return false;  // nothing left to read
  // A writer at or behind the reader only covers bytes already read.
  return (flags & O_APPEND) != 0 || out_pos > in_pos;
}

// Picks the route from input `fd` to standard output: splice into a pipe
// from a file or a pipe, copy_file_range between regular files, else blocks.
// Terminals, sockets and devices take blocks: an end there is not final.
Route route(int fd) {
  struct stat in, out;
  if (fstat(fd, &in) != 0 || fstat(1, &out) != 0) return Route::blocks;
  if (S_ISFIFO(out.st_mode) && (S_ISREG(in.st_mode) || S_ISFIFO(in.st_mode)))
    return Route::splice_to_pipe;
  if (S_ISREG(out.st_mode) && S_ISREG(in.st_mode)) return Route::copy_range;
  return Route::blocks;
}

// Asks for a PIPE_BYTES buffer on `fd` if it is a pipe.
void widen_pipe(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return;
  // A refusal (EPERM over a user's limit) leaves the pipe at its own size,
  // at which it works as well, only slower.
  int ignored = fcntl(fd, F_SETPIPE_SZ, PIPE_BYTES);
  (void)ignored;
}

// Copies `fd` to standard output, moved by the kernel where it will and
// then in blocks of the larger of MIN_BLOCK and the input's preferred size;
// false on a read, write or move error, or, with nothing copied, when the
// output would overtake the input.
bool copy(int fd) {
  if (overtakes_itself(fd)) return false;
  struct stat st;
  size_t size = MIN_BLOCK;
  if (fstat(fd, &st) == 0 && static_cast<size_t>(st.st_blksize) > size)
    size = static_cast<size_t>(st.st_blksize);
  char *buf = static_cast<char *>(std::malloc(size));
  if (!buf) return false;
  auto get = [fd](char *p, size_t n) { return read(fd, p, n); };
  auto put = [](const char *p, size_t n) { return write(1, p, n); };
  Route way = route(fd);
  if (way == Route::splice_to_pipe) {
    widen_pipe(1);
    widen_pipe(fd);
  }
  // Null offsets: both calls start where the descriptors stand and advance
  // them, so the block loop resumes exactly where a move stopped.
  auto move = [fd, way](size_t n) -> ssize_t {
    switch (way) {
      case Route::splice_to_pipe:
        return splice(fd, nullptr, 1, nullptr, n, 0);
      case Route::copy_range:
        return copy_file_range(fd, nullptr, 1, nullptr, n, 0);
      case Route::blocks:
        break;
    }
    return 0;
  };
  bool ok = copy_moving(move, MOVE_CHUNK, get, put, buf, size);
  std::free(buf);
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  int fd = 0;
  if (argc > 1) {
    fd = open_input(expand(argv[1]));
    if (fd < 0) return usage();
  }
  return copy(fd) ? 0 : 1;
}
