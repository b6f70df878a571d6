// Hash: the hashes that intern words and find prefixes.
//
// A word is interned by a hash of its bytes; a prefix is hashed over the
// ids of its words, so a word carries no hash of its own.  Equal hashes are
// always confirmed by comparing, so no hash can change the output.
#ifndef CHATTERLOOM_HASH_H
#define CHATTERLOOM_HASH_H

#include <cstddef>
#include <cstdint>
#include <cstring>

// Bytes readable past the end of any text that is hashed or compared, so
// that words are loaded 8 bytes a step.
constexpr size_t SLACK = 8;

inline uint64_t mix64(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9u;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebu;
  x ^= x >> 31;
  return x;
}

// The first n < 8 bytes at p, read as one 8-byte load (p has SLACK after it).
inline uint64_t load_short(const void *p, size_t n) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v & ((uint64_t{1} << (8 * n)) - 1);
}

// The intern hash of a word's bytes: 8 bytes a step, well mixed.
inline uint64_t text_hash(const unsigned char *p, size_t n) {
  uint64_t h = 0x9e3779b97f4a7c15u ^ (n * 0xff51afd7ed558ccdu);
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    h = (h ^ v) * 0xbf58476d1ce4e5b9u;
    h ^= h >> 29;
  }
  return mix64(h ^ load_short(p, n));
}

// ---------------------------------------------------------------------------
// The prefix hash: a polynomial over well-mixed word ids modulo the prime
// 2^61 - 1.  It tells order apart and never cancels, and it rolls one word
// on in O(1), so every position of a text is hashed in one pass.

constexpr uint64_t M61 = (uint64_t{1} << 61) - 1;
constexpr uint64_t BASE = 0x0d5a3f1c9e2b4a77 % M61;

inline uint64_t mulmod(uint64_t a, uint64_t b) {
  __extension__ typedef unsigned __int128 u128;
  u128 p = static_cast<u128>(a) * b;
  uint64_t s = (static_cast<uint64_t>(p) & M61) + static_cast<uint64_t>(p >> 61);
  return s >= M61 ? s - M61 : s;
}

inline uint64_t addmod(uint64_t a, uint64_t b) {
  uint64_t s = a + b;
  return s >= M61 ? s - M61 : s;
}

inline uint64_t powmod(uint64_t b, uint64_t e) {
  uint64_t r = 1;
  for (; e; e >>= 1, b = mulmod(b, b))
    if (e & 1) r = mulmod(r, b);
  return r;
}

// A word id's term in the prefix hash: 61 bits, kept below M61.
inline uint64_t id_term(uint32_t id) {
  uint64_t x = mix64(id) >> 3;
  return x == M61 ? 0 : x;
}

// The hash of the k word ids at `ids`.
inline uint64_t prefix_hash(const uint32_t *ids, size_t k) {
  uint64_t h = 0;
  for (size_t j = 0; j < k; j++) h = addmod(mulmod(h, BASE), id_term(ids[j]));
  return h;
}

// Moves a prefix hash one word on: drops `out`, whose weight is `oldest`
// (BASE^(k-1)), and adds `in`.
inline uint64_t roll(uint64_t h, uint32_t out, uint32_t in, uint64_t oldest) {
  return addmod(mulmod(addmod(h, M61 - mulmod(id_term(out), oldest)), BASE), id_term(in));
}

// The 32 bits of a prefix hash that the state index files a prefix by.
inline uint32_t hash_tag(uint64_t h) {
  return static_cast<uint32_t>(h ^ (h >> 29));
}

#endif
