// The reading rules and the chain written plainly, straight from their
// rules, with nothing of the real code: the tests and the fuzz targets
// compare the real code against it.
#ifndef CHATTERLOOM_TESTS_MODEL_H
#define CHATTERLOOM_TESTS_MODEL_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace model {

// The most bytes kept of one token.
constexpr size_t MAX_WORD_LEN = 10000;

// The words that the reading rules find in `bytes`.
inline std::vector<std::string> model_words(const std::string &bytes) {
  std::string text;
  for (char c : bytes) {
    if (c == 26) break;
    if (c != 13) text += c;
  }
  std::vector<std::string> out;
  std::string token;
  bool in_token = false;
  auto end_token = [&] {
    if (in_token) out.push_back(token.substr(0, std::min(token.find('\0'), token.size())));
    token.clear();
    in_token = false;
  };
  for (char c : text) {
    if (c == ' ' || (c >= 9 && c <= 12)) {
      end_token();
    } else {
      in_token = true;
      if (token.size() < MAX_WORD_LEN) token += c;
    }
  }
  end_token();
  return out;
}

struct ModelState {
  std::vector<std::string> prefix;
  std::vector<std::pair<std::string, uint32_t>> suffixes;  // newest first
};

// The random source as the rules give it, wide draws included.
struct ModelRandom {
  uint32_t state;
  uint32_t draw() {
    state = state * 22695477u + 1u;
    return (state >> 16) & 0x7fff;
  }
  uint64_t below(uint64_t n) {
    if (n <= 32768) return draw() % n;
    uint64_t d1 = draw(), d2 = draw(), d3 = draw();
    return (d1 * (uint64_t{1} << 30) + d2 * (uint64_t{1} << 15) + d3) % n;
  }
};

// The text that the chain of k-word prefixes of `words` gives, at most
// `limit` words from the random source seeded with `seed`.
inline std::string model_generate(const std::vector<std::string> &words, uint32_t k, int32_t limit,
                                  uint32_t seed) {
  std::vector<ModelState> states;  // creation order
  std::map<std::vector<std::string>, size_t> find;
  for (size_t i = k; i < words.size(); i++) {
    std::vector<std::string> prefix(words.begin() + static_cast<long>(i - k),
                                    words.begin() + static_cast<long>(i));
    auto it = find.find(prefix);
    if (it == find.end()) {
      it = find.emplace(prefix, states.size()).first;
      states.push_back({prefix, {}});
    }
    auto &sfx = states[it->second].suffixes;
    auto f = std::find_if(sfx.begin(), sfx.end(), [&](auto &p) { return p.first == words[i]; });
    if (f != sfx.end())
      f->second++;
    else
      sfx.insert(sfx.begin(), {words[i], 1});
  }
  ModelRandom r{seed};
  r.draw();
  if (states.empty()) return "";
  std::vector<std::string> out;
  const ModelState &start = states[states.size() - 1 - r.below(states.size())];
  for (uint32_t j = 0; j < k && out.size() < static_cast<size_t>(limit); j++)
    out.push_back(start.prefix[j]);
  if (out.size() >= k) {
    while (out.size() < static_cast<size_t>(limit)) {
      std::vector<std::string> key(out.end() - k, out.end());
      auto it = find.find(key);
      if (it == find.end()) break;
      const auto &sfx = states[it->second].suffixes;
      uint64_t total = 0;
      for (auto &p : sfx) total += p.second;
      uint64_t rem = r.below(total), acc = 0;
      for (auto &p : sfx) {
        if (acc <= rem && rem < acc + p.second) {
          out.push_back(p.first);
          break;
        }
        acc += p.second;
      }
    }
  }
  std::string s;
  for (auto &w : out) s += w + " ";
  return s;
}

// The words as a text, one a line.
inline std::string join(const std::vector<std::string> &words) {
  std::string s;
  for (auto &w : words) s += w + "\n";
  return s;
}

// ---------------------------------------------------------------------------
// Texts of chosen shapes, the same for a seed on every run: what the chain
// must handle alike in memory and in spill files.

enum class Shape {
  ShortWords,  // one to three letters of ten: a small vocabulary
  LongWords,   // 21 to 64 bytes, many sharing their first bytes
  Growing,     // about 30 sqrt(n) distinct words, the first ones the most frequent
  Lines,       // lines of 1 to 3 words or of hundreds, blanks, tabs, LF and CRLF
  OneWord,     // one word over and over
  Cycle,       // "a b a b ..."
  Habit,       // words of syllables, half of them fixed by the word before
};
constexpr Shape SHAPES[] = {Shape::ShortWords, Shape::LongWords, Shape::Growing, Shape::Lines,
                            Shape::OneWord,    Shape::Cycle,     Shape::Habit};

inline const char *shape_name(Shape shape) {
  static const char *const names[] = {
      "short words", "long words", "growing vocabulary", "lines", "one word", "cycle", "habit"};
  return names[static_cast<int>(shape)];
}

// A draw from 1 .. v, about v^u for u uniform in [0, 1): i comes with a
// probability of about 1/i, as in a Zipf law.
inline uint64_t zipf_draw(std::mt19937 &gen, double v) {
  double u = static_cast<double>(gen()) / 4294967296.0;
  return std::max<uint64_t>(1, static_cast<uint64_t>(std::exp(u * std::log(std::max(v, 1.0)))));
}

// Word number `id` spelled in two-letter syllables, at least three of them.
inline std::string syllables(uint64_t id) {
  static const char *const syl[] = {"ka", "ne", "ri", "so", "tu", "ma", "le", "vi",
                                    "do", "pa", "gu", "ze", "ho", "fi", "ly", "nu",
                                    "be", "wa", "ce", "qo", "jo", "xi", "ry", "sa"};
  std::string s;
  do {
    s += syl[id % 24];
    id /= 24;
  } while (id || s.size() < 6);
  return s;
}

// A text of `n` words of the shape, from the random source seeded with `seed`.
inline std::string shaped_text(Shape shape, size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  static const char *const blanks[] = {" ", " ", " ", "\t", "  \t "};
  std::string text;
  uint64_t prev = 0;
  size_t line_left = 0;
  for (size_t i = 0; i < n; i++) {
    double growing = 30 * std::sqrt(static_cast<double>(i + 1));
    std::string word;
    switch (shape) {
      case Shape::ShortWords: {
        size_t at = gen() % 10;
        word = std::string("abcdefghij").substr(at, 1 + gen() % 3);
        break;
      }
      case Shape::LongWords: {
        uint64_t id = zipf_draw(gen, 3000);
        word = std::string(20 + id % 41, static_cast<char>('a' + id % 26)) + std::to_string(id);
        break;
      }
      case Shape::Growing:
      case Shape::Lines:
        word = "w" + std::to_string(zipf_draw(gen, growing));
        break;
      case Shape::OneWord:
        word = "x";
        break;
      case Shape::Cycle:
        word = i % 2 ? "b" : "a";
        break;
      case Shape::Habit:
        prev = i && gen() % 2 ? (prev * 7 + 3) % 1009 : zipf_draw(gen, growing);
        word = syllables(prev);
        break;
    }
    text += word;
    if (shape == Shape::Lines) {
      if (line_left == 0) line_left = gen() % 2 ? 1 + gen() % 3 : 50 + gen() % 400;
      text += --line_left == 0 ? (gen() % 2 ? "\n" : "\r\n") : blanks[gen() % 5];
    } else {
      text += (i + 1) % (shape == Shape::Habit ? 12 : 16) == 0 ? "\n" : " ";
    }
  }
  return text;
}

}  // namespace model

#endif
