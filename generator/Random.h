// Random: the chain's random source, a 32-bit linear congruential generator of 15-bit draws.
#ifndef CHATTERLOOM_RANDOM_H
#define CHATTERLOOM_RANDOM_H

#include <cstdint>

struct Random {
  uint32_t state;
};

inline uint32_t draw(Random *r) {
  r->state = r->state * 22695477u + 1u;
  return (r->state >> 16) & 0x7fff;
}

// Seeds with `s` and makes the one discarded draw.
inline void seed_random(Random *r, uint32_t s) {
  r->state = s;
  draw(r);
}

// A draw modulo n (1 <= n <= 2^32); past 32768 it combines three draws into 45 bits, so every state
// can open a text and every suffix be chosen.
inline uint32_t draw_below(Random *r, uint64_t n) {
  if (n <= 32768) return draw(r) % static_cast<uint32_t>(n);
  uint64_t d1 = draw(r), d2 = draw(r), d3 = draw(r);
  return static_cast<uint32_t>(((d1 << 30) | (d2 << 15) | d3) % n);
}

#endif
