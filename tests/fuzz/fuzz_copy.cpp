// Fuzz target: Scrollet's copy loops against a kernel-side move, a source
// and a sink that move a fuzzed number of bytes per call, are interrupted,
// or fail; the move may also stop early or be refused, at once or after
// some bytes.  The output is always a prefix of the input, the blocks
// resume exactly where the move stopped, everything read is written before
// the next read, and only an injected failure makes the copy report one.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

#include "Copy.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

// What a call does for script byte `c`: 0 interrupted, 1 failed (if
// failures are allowed), otherwise it moves at most `c` of `want` bytes.
ssize_t fate(unsigned c, bool may_fail, bool *failed, size_t want) {
  if (c == 0 || (c == 1 && may_fail)) {
    errno = c == 0 ? EINTR : EIO;
    if (c == 1) *failed = true;
    return -1;
  }
  return static_cast<ssize_t>(std::min<size_t>(want, c));
}

// The next read's or write's fate; an exhausted script moves all it can.
ssize_t step(FuzzedDataProvider &script, bool may_fail, bool *failed, size_t want) {
  if (script.remaining_bytes() == 0) return static_cast<ssize_t>(want);
  return fate(script.ConsumeIntegral<uint8_t>(), may_fail, failed, want);
}

// Errors by which the system refuses to move bytes for a pair of files.
const int kRefusals[] = {EINVAL, ENOSYS, EXDEV, EOPNOTSUPP, EBADF, ETXTBSY};

// The next move's fate, as step()'s, but 2 to 7 a refusal and 8 a stop
// before the end, as a move that finds nothing to move there.
ssize_t move_step(FuzzedDataProvider &script, bool may_fail, bool *failed, size_t want) {
  if (script.remaining_bytes() == 0) return static_cast<ssize_t>(want);
  unsigned c = script.ConsumeIntegral<uint8_t>();
  if (c >= 2 && c <= 7) {
    errno = kRefusals[c - 2];
    return -1;
  }
  if (c == 8) return 0;
  return fate(c, may_fail, failed, want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  size_t block = fdp.ConsumeIntegralInRange<size_t>(1, 300);
  size_t chunk = fdp.ConsumeIntegralInRange<size_t>(1, 300);
  bool reads_fail = fdp.ConsumeBool(), writes_fail = fdp.ConsumeBool();
  bool moving = fdp.ConsumeBool(), moves_fail = fdp.ConsumeBool();
  std::string input = fdp.ConsumeRandomLengthString(4096);
  FuzzedDataProvider script(data + (size - fdp.remaining_bytes()), fdp.remaining_bytes());

  size_t taken = 0;
  bool failed = false, moved_last = false;
  std::string output;
  // Moves straight from input to output, from the shared offset `taken`.
  auto move = [&](size_t n) -> ssize_t {
    require(n == chunk && !moved_last && output.size() == taken);
    if (!moving) {
      moved_last = true;
      return 0;
    }
    ssize_t r = move_step(script, moves_fail, &failed, std::min(n, input.size() - taken));
    if (r > 0) {
      output.append(input, taken, static_cast<size_t>(r));
      taken += static_cast<size_t>(r);
    }
    moved_last = r == 0 || (r < 0 && errno != EINTR);
    return r;
  };
  auto get = [&](char *p, size_t n) -> ssize_t {
    require(p != nullptr && n == block && output.size() == taken && moved_last);
    ssize_t r = step(script, reads_fail, &failed, std::min(n, input.size() - taken));
    if (r > 0) {
      input.copy(p, static_cast<size_t>(r), taken);
      taken += static_cast<size_t>(r);
    }
    return r;
  };
  auto put = [&](const char *p, size_t n) -> ssize_t {
    require(n > 0 && output.size() + n <= taken);
    ssize_t r = step(script, writes_fail, &failed, n);
    if (r > 0) output.append(p, static_cast<size_t>(r));
    return r;
  };
  std::string buf(block, '\0');
  bool ok = copy_moving(move, chunk, get, put, buf.data(), block);
  require(input.compare(0, output.size(), output) == 0);
  require(ok ? !failed && output == input : failed);
  return 0;
}
