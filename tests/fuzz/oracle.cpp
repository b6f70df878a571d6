#include "oracle.h"

#include "drivers.h"
#include "model.h"

bool words_agree(const std::string &text) {
  return drivers::real_words(text) == model::model_words(text);
}

bool chain_agrees(const std::string &text, uint32_t k, int32_t limit, uint32_t seed) {
  return drivers::real_generate(text, k, limit, seed) ==
         model::model_generate(model::model_words(text), k, limit, seed);
}
