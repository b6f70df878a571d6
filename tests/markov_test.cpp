// Unit and differential tests of word reading and the chain.
#include "Markov.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

// A file descriptor holding `bytes`, read from its start.
int memory_file(const std::string &bytes) {
  int fd = memfd_create("text", 0);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string word_text(const WordList &list, uint32_t id) {
  const Word &w = list.words.data[id];
  return std::string(list.bytes.data + w.text, static_cast<size_t>(w.len));
}

// Frees what reading and building took; the programs leave that to exit.
void free_all(WordList *list, StateTable *table = nullptr) {
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
std::vector<std::string> real_words(const std::string &bytes) {
  WordList list;
  int fd = memory_file(bytes);
  EXPECT_TRUE(read_words_fd(fd, next_word, &list));
  close(fd);
  std::vector<std::string> out;
  for (size_t i = 0; i < list.at.size; i++) out.push_back(word_text(list, list.at.data[i]));
  free_all(&list);
  return out;
}

// The reading rules, written plainly.
std::vector<std::string> model_words(const std::string &bytes) {
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

TEST(WordReading, SeparatorsCarriageReturnsEndByteAndZeros) {
  using V = std::vector<std::string>;
  EXPECT_EQ(real_words(" \t\n\v\fa  b\t\t\nc \n"), (V{"a", "b", "c"}));
  EXPECT_EQ(real_words(""), V{});
  EXPECT_EQ(real_words(" \n\t\v\f\r "), V{});
  EXPECT_EQ(real_words("last"), V{"last"});
  EXPECT_EQ(real_words("one\rtwo"), V{"onetwo"});              // a lone CR joins
  EXPECT_EQ(real_words("one\r\ntwo\r\n"), (V{"one", "two"}));  // CRLF separates
  EXPECT_EQ(real_words("a b\x1a"
                       "c d"),
            (V{"a", "b"}));
  EXPECT_EQ(real_words("ab\x1a"
                       "cd"),
            V{"ab"});
  EXPECT_EQ(real_words("\x1a"
                       "a b"),
            V{});
  EXPECT_EQ(real_words(std::string("ab\0cd ef", 8)), (V{"ab", "ef"}));
  EXPECT_EQ(real_words(std::string("\0xy z", 5)), (V{"", "z"}));
  std::string exact(10000, 'x'), longer = std::string(10000, 'y') + "z";
  EXPECT_EQ(real_words(exact + " a"), (V{exact, "a"}));
  EXPECT_EQ(real_words(longer + " a"), (V{std::string(10000, 'y'), "a"}));
}

TEST(WordReading, TokensAcrossReadBlocksMatchTheRules) {
  // Long texts cross the reader's 1 MiB blocks, and long tokens its buffer.
  std::mt19937 gen(7);
  const char alphabet[] = {'a', 'b', ' ', '\n', '\r', '\t', 0, '\xe9', 'c'};
  for (int round = 0; round < 6; round++) {
    std::string text;
    size_t n = 1500000 + gen() % 200000;
    while (text.size() < n) {
      if (gen() % 5000 == 0)
        text += std::string(9990 + gen() % 30, 'L');
      else
        text += alphabet[gen() % sizeof alphabet];
    }
    if (round == 5) text[1200000] = 26;
    EXPECT_EQ(real_words(text), model_words(text));
  }
}

TEST(WordReading, HashAndInterning) {
  EXPECT_EQ(word_hash(reinterpret_cast<const unsigned char *>("abc"), 3), 96354u);
  const unsigned char high[] = {233};
  EXPECT_EQ(word_hash(high, 1), 233u);
  EXPECT_EQ(word_hash(high, 0), 0u);
  WordList list;
  int fd = memory_file("Word word Word word, \xe9");
  ASSERT_TRUE(read_words_fd(fd, next_word, &list));
  close(fd);
  ASSERT_EQ(list.at.size, 5u);
  EXPECT_EQ(list.words.size, 4u);
  EXPECT_EQ(list.at.data[0], list.at.data[2]);
  EXPECT_NE(list.at.data[0], list.at.data[1]);
  EXPECT_EQ(list.words.data[list.at.data[4]].hash, 233u);
  free_all(&list);
}

TEST(RandomSource, DrawsFromSeedOne) {
  Random r;
  r.state = 1;
  EXPECT_EQ(draw(&r), 346u);
  const uint32_t next[] = {130, 10982, 1090, 11656, 7117};
  for (uint32_t want : next) EXPECT_EQ(draw(&r), want);
  // Ranges above 32768 take three draws combined.
  seed_random(&r, 1);
  uint64_t wide = (uint64_t{130} << 30 | uint64_t{10982} << 15 | 1090) % 100000;
  EXPECT_EQ(draw_below(&r, 100000), wide);
  EXPECT_EQ(draw_below(&r, 32768), 11656u);
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

std::string model_generate(const std::vector<std::string> &words, uint32_t k, int32_t limit,
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

Output test_out;

std::string real_generate(const std::string &text, uint32_t k, int32_t limit, uint32_t seed) {
  WordList list;
  StateTable table;
  int fd = memory_file(text);
  EXPECT_TRUE(read_words_fd(fd, next_word, &list));
  close(fd);
  EXPECT_TRUE(new_table(&table, k));
  EXPECT_TRUE(build_chain(&list, &table));
  int out = memfd_create("out", 0);
  test_out.fd = out;
  test_out.failed = false;
  test_out.used = 0;
  Random r;
  seed_random(&r, seed);
  uint64_t n = walk(&list, &table, limit, &r, &test_out);
  EXPECT_TRUE(flush_output(&test_out));
  std::string s(static_cast<size_t>(lseek(out, 0, SEEK_CUR)), '\0');
  EXPECT_EQ(pread(out, s.data(), s.size(), 0), static_cast<ssize_t>(s.size()));
  close(out);
  EXPECT_EQ(n, static_cast<uint64_t>(std::count(s.begin(), s.end(), ' ')));
  free_all(&list, &table);
  return s;
}

std::string join(const std::vector<std::string> &words) {
  std::string s;
  for (auto &w : words) s += w + "\n";
  return s;
}

TEST(Chain, WorkedExample) {
  EXPECT_EQ(real_generate("a b c a b d", 2, 1000, 1), "b c a b d ");
  EXPECT_EQ(real_generate("a b c", 2, 1000, 1), "a b c ");
  EXPECT_EQ(real_generate("a b", 2, 1000, 1), "");
  EXPECT_EQ(real_generate("a b c a b d", 2, 1, 1), "b ");
  EXPECT_EQ(real_generate("a b c a b d", 2, 2, 1), "b c ");
}

TEST(Chain, MatchesPlainModelOnRandomTexts) {
  std::mt19937 gen(12345);
  const char *vocab[] = {"a", "b", "c", "d", "e", "f", "A", "a,"};
  for (int round = 0; round < 3000; round++) {
    size_t vsize = 1 + gen() % 8, n = gen() % 60;
    std::vector<std::string> words;
    for (size_t i = 0; i < n; i++) words.push_back(vocab[gen() % vsize]);
    uint32_t k = 1 + gen() % 4;
    int32_t limit = 1 + static_cast<int32_t>(gen() % 80);
    uint32_t seed = gen();
    ASSERT_EQ(real_generate(join(words), k, limit, seed), model_generate(words, k, limit, seed))
        << "round " << round;
  }
}

TEST(Chain, MatchesPlainModelOnWideRanges) {
  std::mt19937 gen(99);
  // More than 32768 states: every state may open the text.
  std::vector<std::string> many;
  for (int i = 0; i < 90000; i++) many.push_back("w" + std::to_string(gen() % 60000));
  for (uint32_t seed : {1u, 2u, 77u})
    EXPECT_EQ(real_generate(join(many), 1, 300, seed), model_generate(many, 1, 300, seed));
  // One state whose suffix counts sum past 32768.
  std::vector<std::string> heavy;
  for (int i = 0; i < 50000; i++) {
    heavy.push_back("x");
    heavy.push_back("s" + std::to_string(gen() % 5));
  }
  for (uint32_t seed : {3u, 4u})
    EXPECT_EQ(real_generate(join(heavy), 1, 500, seed), model_generate(heavy, 1, 500, seed));
}

TEST(Chain, LongPrefixesAndRepeats) {
  std::vector<std::string> same(3000, "a");
  EXPECT_EQ(real_generate(join(same), 1000, 5000, 9), model_generate(same, 1000, 5000, 9));
  std::vector<std::string> cycle;
  for (int i = 0; i < 40; i++) cycle.push_back(i % 2 ? "b" : "a");
  EXPECT_EQ(real_generate(join(cycle), 2, 500, 5), model_generate(cycle, 2, 500, 5));
  EXPECT_EQ(real_generate(join(cycle), 40, 500, 5), "");
}

}  // namespace
