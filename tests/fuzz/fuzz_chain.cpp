// Fuzz target: the chain's output for an arbitrary text equals the plain
// model's, whatever the build's workers, partitions and write-back spans,
// in memory or spilled to files.  The first seven bytes choose the prefix
// length (1 to 8; the top bits, workers and partitions), the limit (1 to
// 512: longer walks only repeat the same steps, at the cost of megabytes of
// output per run; bits 1 and 2 of the third byte, the spans, and its top
// bits, the memory budget) and the seed; the rest is the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Plan.h"
#include "oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 7) return 0;
  uint32_t k = 1 + data[0] % 8;
  // Threads cost a run more than the build: one input in four takes two.
  // Spill files cost a run more still: one input in eight spills, in
  // groups or whole.
  const size_t budgets[] = {0, 0, 0, 0, 0, 0, 1, 1 << 14};
  build_plan = BuildPlan{(data[0] >> 3) % 4 == 0 ? 2u : 1u, static_cast<unsigned>(data[0] >> 5), 0,
                         budgets[data[2] >> 5], static_cast<unsigned>(data[2] >> 1 & 3)};
  int32_t limit = 1 + static_cast<int32_t>((data[1] | data[2] << 8) % 512);
  uint32_t seed = static_cast<uint32_t>(data[3] | data[4] << 8 | data[5] << 16) |
                  static_cast<uint32_t>(data[6]) << 24;
  std::string text(reinterpret_cast<const char *>(data) + 7, size - 7);
  if (!chain_agrees(text, k, limit, seed)) std::abort();
  return 0;
}
