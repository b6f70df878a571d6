// Fuzz target: Scrollet's copy loop against sources and sinks that move a
// fuzzed number of bytes per call, are interrupted, or fail.  The output is
// always a prefix of the input, everything read is written before the next
// read, and only an injected failure makes the copy report one.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

#include "Copy.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

// The next call's fate: 0 interrupted, 1 failed (if failures are allowed),
// otherwise at most that many bytes; an exhausted script moves all it can.
ssize_t step(FuzzedDataProvider &script, bool may_fail, bool *failed, size_t want) {
  if (script.remaining_bytes() == 0) return static_cast<ssize_t>(want);
  unsigned c = script.ConsumeIntegral<uint8_t>();
  if (c == 0 || (c == 1 && may_fail)) {
    errno = c == 0 ? EINTR : EIO;
    if (c == 1) *failed = true;
    return -1;
  }
  return static_cast<ssize_t>(std::min<size_t>(want, c));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  size_t block = fdp.ConsumeIntegralInRange<size_t>(1, 300);
  bool reads_fail = fdp.ConsumeBool(), writes_fail = fdp.ConsumeBool();
  std::string input = fdp.ConsumeRandomLengthString(4096);
  FuzzedDataProvider script(data + (size - fdp.remaining_bytes()), fdp.remaining_bytes());

  size_t taken = 0;
  bool failed = false;
  std::string output;
  auto get = [&](char *p, size_t n) -> ssize_t {
    require(p != nullptr && n == block && output.size() == taken);
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
  bool ok = copy_blocks(get, put, buf.data(), block);
  require(input.compare(0, output.size(), output) == 0);
  require(ok ? !failed && output == input : failed);
  return 0;
}
