// Fuzz target: the argument conversion for arbitrary text equals its rules,
// written plainly: arithmetic on wide integers, reduced modulo 2^32 at the end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Number.h"

namespace {

int64_t model_number(const std::string &s) {
  size_t i = s.find_first_not_of(" \t\n\v\f\r");
  if (i == std::string::npos) return 0;
  bool negative = s[i] == '-';
  if (s[i] == '-' || s[i] == '+') i++;
  uint64_t v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; i++)
    v = (v * 10 + static_cast<uint64_t>(s[i] - '0')) % 4294967296u;
  if (negative) v = (4294967296u - v) % 4294967296u;
  return v >= 2147483648u ? static_cast<int64_t>(v) - 4294967296 : static_cast<int64_t>(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // An argument ends at its first zero byte.
  std::string arg(reinterpret_cast<const char *>(data), size);
  arg.resize(std::strlen(arg.c_str()));
  if (to_number(arg.c_str()) != model_number(arg)) std::abort();
  return 0;
}
