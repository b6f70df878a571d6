// The tests' model of the rules and their drivers of the real code, built
// apart without the fuzzer's instrumentation: coverage feedback and time
// then go to the code under test, not to the model that checks it.
#ifndef CHATTERLOOM_FUZZ_ORACLE_H
#define CHATTERLOOM_FUZZ_ORACLE_H

#include <cstdint>
#include <string>

// True when the real reader finds in `text` the words the rules give.
bool words_agree(const std::string &text);

// True when the real chain prints for `text` what the plain model prints.
bool chain_agrees(const std::string &text, uint32_t k, int32_t limit, uint32_t seed);

#endif
