// Fuzz target: the reader's words for arbitrary bytes equal the rules'.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  if (!words_agree(text)) std::abort();
  return 0;
}
