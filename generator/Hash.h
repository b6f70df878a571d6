// Hash: the word and chain-build hashes, keyed per run so that no text made offline can pile its
// keys into one probe sequence; hits are confirmed by comparing, so the key never changes output.
#ifndef CHATTERLOOM_HASH_H
#define CHATTERLOOM_HASH_H

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

// Bytes readable past the end of any text hashed or compared, so words load 8 bytes a step.
constexpr size_t SLACK = 8;

inline uint64_t mix64(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9u;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebu;
  x ^= x >> 31;
  return x;
}

inline uint64_t hash_key = 0;

// Sets the run's key once, before any hashing, from the system's random source, else from the clock
// and process id: it only needs to be unknown in advance.
inline void key_hashes() {
  if (hash_key != 0) return;
  uint64_t k = 0;
  if (getrandom(&k, sizeof k, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof k)) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    k = mix64(static_cast<uint64_t>(ts.tv_nsec) ^ static_cast<uint64_t>(ts.tv_sec) << 30 ^
              static_cast<uint64_t>(getpid()) << 48);
  }
  hash_key = k | 1;
}

// The first n < 8 bytes at p, read as one 8-byte load (p has SLACK after it).
inline uint64_t load_short(const void *p, size_t n) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v & ((uint64_t{1} << (8 * n)) - 1);
}

// The intern hash of a word's bytes: 8 bytes a step, well mixed.
inline uint64_t text_hash(const unsigned char *p, size_t n) {
  uint64_t h = hash_key ^ (n * 0xff51afd7ed558ccdu);
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    h = (h ^ v) * 0xbf58476d1ce4e5b9u;
    h ^= h >> 29;
  }
  return mix64(h ^ load_short(p, n));
}

// The hash of a 64-bit key of the chain build: a pair of 32-bit ids.
inline uint64_t pair_hash(uint64_t key) {
  return mix64(key ^ hash_key);
}

#endif
