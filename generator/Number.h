// Number: the conversion of Chatterloom's numeric arguments.
#ifndef CHATTERLOOM_NUMBER_H
#define CHATTERLOOM_NUMBER_H

#include <cstdint>

// Reads a number: leading separators skipped, an optional sign, then digits up to the first other
// byte, wrapping modulo 2^32; no digits give 0.
inline int32_t to_number(const char *text) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  while (*p == ' ' || (*p >= 9 && *p <= 13)) p++;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') p++;
  uint32_t v = 0;
  for (; *p >= '0' && *p <= '9'; p++) v = v * 10u + (*p - '0');
  if (negative) v = 0u - v;
  return static_cast<int32_t>(v);
}

#endif
