// The reading rules and the chain written plainly, straight from their
// rules, with nothing of the real code: the tests and the fuzz targets
// compare the real code against it.
#ifndef CHATTERLOOM_TESTS_MODEL_H
#define CHATTERLOOM_TESTS_MODEL_H

#include <algorithm>
#include <cstdint>
#include <map>
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

}  // namespace model

#endif
