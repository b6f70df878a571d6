// Fuzz target: the reader's words for arbitrary bytes equal the rules',
// whether the text is read whole or in parts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Plan.h"
#include "oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // A text read in parts reads the same; threads cost a run more than the
  // reading, so one input in four is read in 2 to 4 parts.
  build_plan.read_parts = size % 4 == 0 ? 2 + static_cast<unsigned>(size / 4 % 3) : 1;
  std::string text(reinterpret_cast<const char *>(data), size);
  if (!words_agree(text)) std::abort();
  return 0;
}
