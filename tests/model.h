// The reading rules and the chain written plainly, straight from their
// rules, and thin drivers of the real code; shared by the tests and the
// fuzz targets, which compare the two.
#ifndef CHATTERLOOM_TESTS_MODEL_H
#define CHATTERLOOM_TESTS_MODEL_H

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "Markov.h"

namespace model {

// Ends the run when a driver's step fails: tests and fuzzers alike see it.
inline void require(bool ok) {
  if (!ok) std::abort();
}

// A file descriptor holding `bytes`, read from its start.
inline int memory_file(const std::string &bytes) {
  int fd = memfd_create("text", 0);
  require(fd >= 0);
  require(write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
  lseek(fd, 0, SEEK_SET);
  return fd;
}

inline std::string word_text(const WordList &list, uint32_t id) {
  const Word &w = list.words.data[id];
  return std::string(list.bytes.data + w.text, static_cast<size_t>(w.len));
}

// Frees what reading and building took; the programs leave that to exit.
inline void free_all(WordList *list, StateTable *table = nullptr) {
  release(&list->at);
  release(&list->words);
  release(&list->bytes);
  release(&list->index);
  if (!table) return;
  release(&table->bucket);
  release(&table->states);
  release(&table->suffixes);
}

// The words that the real reader finds in `bytes`.
inline std::vector<std::string> real_words(const std::string &bytes) {
  WordList list;
  int fd = memory_file(bytes);
  require(read_words_fd(fd, next_word, &list));
  close(fd);
  std::vector<std::string> out;
  for (size_t i = 0; i < list.at.size; i++) out.push_back(word_text(list, list.at.data[i]));
  free_all(&list);
  return out;
}

// The reading rules, written plainly.
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

// ---------------------------------------------------------------------------
// The chain against a plain model of its rules

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

inline Output test_out;

inline std::string real_generate(const std::string &text, uint32_t k, int32_t limit,
                                 uint32_t seed) {
  WordList list;
  StateTable table;
  int fd = memory_file(text);
  require(read_words_fd(fd, next_word, &list));
  close(fd);
  require(new_table(&table, k));
  require(build_chain(&list, &table));
  int out = memfd_create("out", 0);
  test_out.fd = out;
  test_out.failed = false;
  test_out.used = 0;
  Random r;
  seed_random(&r, seed);
  uint64_t n = walk(&list, &table, limit, &r, &test_out);
  require(flush_output(&test_out));
  std::string s(static_cast<size_t>(lseek(out, 0, SEEK_CUR)), '\0');
  require(pread(out, s.data(), s.size(), 0) == static_cast<ssize_t>(s.size()));
  close(out);
  require(n == static_cast<uint64_t>(std::count(s.begin(), s.end(), ' ')));
  free_all(&list, &table);
  return s;
}

inline std::string join(const std::vector<std::string> &words) {
  std::string s;
  for (auto &w : words) s += w + "\n";
  return s;
}

}  // namespace model

#endif
