// Fuzz target: the reader's words for arbitrary bytes equal the rules'.
#include <cstddef>
#include <cstdint>
#include <string>

#include "model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  model::require(model::real_words(text) == model::model_words(text));
  return 0;
}
