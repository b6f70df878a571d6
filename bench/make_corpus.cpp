// Writes a deterministic synthetic corpus of about N megabytes to standard
// output: prose-like text whose word frequencies follow a Zipf law over a
// vocabulary that keeps growing with the text, as real prose does.
//
// usage: make_corpus prose MEGABYTES SEED
//        make_corpus doubled|mirrored|runs MEGABYTES SEED
// The last three are texts that defeat a weak (order-blind) prefix hash:
// "w w", "x y y x" and "x y x y" patterns over many distinct words.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

uint64_t state;

uint64_t next_random() {  // splitmix64: fast, and the same on every machine
  uint64_t z = (state += 0x9e3779b97f4a7c15u);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

// The spelling of word number `id`: letters, a few with punctuation.
std::string spell(uint64_t id) {
  static const char *const endings[] = {"", "", "", "", "", "", ",", ".", ";"};
  std::string s;
  uint64_t v = id;
  do {
    s += static_cast<char>('a' + v % 26);
    v /= 26;
  } while (v);
  return s + endings[id % 9];
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: make_corpus prose|doubled|mirrored|runs MEGABYTES SEED\n");
    return 2;
  }
  const char *kind = argv[1];
  uint64_t want = std::strtoull(argv[2], nullptr, 10) * 1000000;
  state = std::strtoull(argv[3], nullptr, 10);
  std::vector<uint64_t> tokens;  // every word so far, for the copying draw
  uint64_t written = 0, vocabulary = 0, column = 0;
  auto put = [&](uint64_t id) {
    std::string w = spell(id);
    column += w.size() + 1;
    bool end_line = column > 72;
    if (end_line) column = 0;
    std::fputs(w.c_str(), stdout);
    std::fputc(end_line ? '\n' : ' ', stdout);
    written += w.size() + 1;
  };
  if (std::strcmp(kind, "prose") == 0) {
    // A Simon process: a new word with a probability that falls as
    // 6.8 n^-0.4 (so the vocabulary grows as n^0.6, Heaps' law, about 40000
    // words at a million tokens), else a copy of a uniformly drawn earlier
    // token, which gives Zipf-distributed frequencies.
    while (written < want) {
      double p_new = 6.8 / std::pow(static_cast<double>(tokens.size() + 1), 0.4);
      bool fresh = tokens.empty() || static_cast<double>(next_random() >> 11) * 0x1p-53 < p_new;
      uint64_t id = fresh ? vocabulary++ : tokens[next_random() % tokens.size()];
      tokens.push_back(id);
      put(id);
    }
  } else {
    const uint64_t pool = 400000;
    while (written < want) {
      uint64_t x = next_random() % pool, y = next_random() % pool;
      if (std::strcmp(kind, "doubled") == 0) {
        put(x), put(x);
      } else if (std::strcmp(kind, "mirrored") == 0) {
        put(x), put(y), put(y), put(x);
      } else {
        put(x), put(y), put(x), put(y);
      }
    }
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
