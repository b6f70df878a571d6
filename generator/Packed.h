// Packed: values and records packed to the bits or bytes they need, and the readers and writers
// that keep to them.  Values (ids, names, states of positions) stand `bits` <= 32 apart from the
// lowest bit of 64-bit words; records of two fields (the chain's) stand in whole bytes.  Readers
// load whole words, or eight bytes where slack follows; a writer that shares words with another
// thread writes only words of its own.
#ifndef CHATTERLOOM_PACKED_H
#define CHATTERLOOM_PACKED_H

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Array.h"

// Packed ids keep this many readable bytes past their last bit, so any run of them is two loads.
constexpr size_t PACKED_SLACK = 16;

// The bits a field up to `most` takes, one at least.
inline unsigned bits_of(uint64_t most) {
  return std::max(1u, static_cast<unsigned>(std::bit_width(most)));
}

// The 32-bit cells that `n` values packed `bits` apart take, with PACKED_SLACK.
inline size_t packed_cells(size_t n, unsigned bits) {
  return 2 * ((n * bits + 63) / 64) + PACKED_SLACK / 4;
}

// The `count` <= 64 bits from bit `bit` of the packed ids at `at`, the first in the lowest.
inline uint64_t packed_bits(const void *at, uint64_t bit, unsigned count) {
  assert(count >= 1 && count <= 64);
  const unsigned char *p = static_cast<const unsigned char *>(at) + bit / 8;
  unsigned shift = bit % 8;
  uint64_t v;
  std::memcpy(&v, p, 8);
  v >>= shift;
  if (shift + count > 64) v |= uint64_t{p[8]} << (64 - shift);
  return count == 64 ? v : v & ((uint64_t{1} << count) - 1);
}

// The id at bit `bit` of ids packed `bits` <= 32 apart at `at`: one load, as it spans 40 bits at
// most.
inline uint32_t packed_id(const void *at, uint64_t bit, unsigned bits) {
  uint64_t v;
  std::memcpy(&v, static_cast<const unsigned char *>(at) + bit / 8, 8);
  return static_cast<uint32_t>((v >> (bit % 8)) & ((uint64_t{1} << bits) - 1));
}

// Reads values packed `bits` <= 32 apart in order from 64-bit words, loading only the words they
// lie in, so that another thread may write the words around them.
struct WordStream {
  const uint64_t *next;  // the word after those loaded
  uint64_t acc;          // the bits loaded and not yet read, lowest first
  unsigned have, bits;
};

// A stream of the values packed `bits` apart at `at`, from value q.
inline WordStream stream_from(const void *at, uint64_t q, unsigned bits) {
  assert(bits >= 1 && bits <= 32);
  const auto *w = static_cast<const uint64_t *>(at) + q * bits / 64;
  auto shift = static_cast<unsigned>(q * bits % 64);
  return WordStream{w + 1, w[0] >> shift, 64 - shift, bits};
}

inline uint32_t stream_next(WordStream *s) {
  uint64_t mask = (uint64_t{1} << s->bits) - 1, v = s->acc;
  if (s->have >= s->bits) {
    s->acc >>= s->bits;
    s->have -= s->bits;
  } else {
    uint64_t word = *s->next++;
    unsigned used = s->bits - s->have;  // of the next word
    v |= word << s->have;
    s->acc = word >> used;
    s->have = 64 - used;
  }
  return static_cast<uint32_t>(v & mask);
}

// Writes values packed `bits` <= 32 apart in order to 64-bit words, from the start of one.
struct WordSink {
  uint64_t *next;  // the word the bits gathered go to
  uint64_t acc;
  unsigned fill, bits;
};

// A sink that writes from value q on, keeping the bits before it.
inline WordSink sink_at(uint64_t *at, uint64_t q, unsigned bits) {
  uint64_t *w = at + q * bits / 64;
  auto fill = static_cast<unsigned>(q * bits % 64);
  return WordSink{w, fill ? *w & ((uint64_t{1} << fill) - 1) : 0, fill, bits};
}

inline void sink_put(WordSink *s, uint64_t v) {
  assert(v >> s->bits == 0);
  s->acc |= v << s->fill;
  s->fill += s->bits;
  if (s->fill >= 64) {
    *s->next++ = s->acc;
    s->fill -= 64;
    s->acc = s->fill ? v >> (s->bits - s->fill) : 0;
  }
}

// Writes the part of a word gathered last, keeping the bits past it.
inline void sink_end(WordSink *s) {
  if (s->fill) *s->next = (*s->next & ~uint64_t{0} << s->fill) | s->acc;
}

// Writes the low `count` <= 32 bits of v at bit `bit` of the 64-bit words at `at`, keeping the
// bits around them: the words it touches must be no other thread's.
inline void put_bits(void *at, uint64_t bit, unsigned count, uint64_t v) {
  assert(count >= 1 && count <= 32 && v >> count == 0);
  auto *w = static_cast<uint64_t *>(at) + bit / 64;
  unsigned shift = bit % 64;
  uint64_t mask = (uint64_t{1} << count) - 1;
  w[0] = (w[0] & ~(mask << shift)) | v << shift;
  if (shift + count > 64) w[1] = (w[1] & ~(mask >> (64 - shift))) | v >> (64 - shift);
}

// Records of two fields packed in `bytes` <= 8 bytes each: record i is the low 8 * bytes bits of
// the eight bytes from byte i * bytes, its first field the low `low` bits, its second the rest.
// RECORD_SLACK readable bytes follow the last record, so each is one load.
struct Packed {
  Array<uint64_t> cells;
  uint64_t size = 0;  // records
  unsigned bytes = 0, low = 0;
};
constexpr size_t RECORD_SLACK = 8;

// The bytes of a record whose fields hold values up to `low` and `high`.
inline size_t record_bytes(uint64_t low, uint64_t high) {
  return (bits_of(low) + bits_of(high) + 7) / 8;
}

// The record of `p` at `at`, its two fields still together.
inline uint64_t record_there(const Packed *p, const char *at) {
  assert(p->bytes >= 1 && p->bytes <= 8);
  uint64_t v;
  std::memcpy(&v, at, 8);
  return p->bytes == 8 ? v : v & ((uint64_t{1} << 8 * p->bytes) - 1);
}

// Record i of `p`.
inline uint64_t packed_record(const Packed *p, uint64_t i) {
  assert(i < p->size);
  return record_there(p, reinterpret_cast<const char *>(p->cells.data) + i * p->bytes);
}

inline uint32_t low_field(const Packed *p, uint64_t record) {
  return static_cast<uint32_t>(record & ((uint64_t{1} << p->low) - 1));
}

inline uint32_t high_field(const Packed *p, uint64_t record) {
  return static_cast<uint32_t>(record >> p->low);
}

#endif
