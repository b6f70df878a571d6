// Unit and differential tests of word reading and the chain.
#include "Markov.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Random.h"
#include "drivers.h"
#include "model.h"

namespace {

using namespace model;
using namespace drivers;

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
  // Long texts cross the reader's 1 MiB blocks, and long tokens its buffer;
  // read in parts, they cross the cuts between parts too, and under a small
  // budget the parts' ids are spilled and joined from their files.
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
    for (unsigned parts : {1u, 2u, 3u, 7u}) {
      build_plan.read_parts = parts;
      build_plan.budget = parts == 3 ? 1 : 0;
      EXPECT_EQ(real_words(text), model_words(text)) << parts << " parts";
    }
    build_plan.read_parts = 0;
    build_plan.budget = 0;
  }
}

TEST(WordReading, EveryByteAtEveryPlaceOfAShortToken) {
  // Tokens are scanned 8 bytes a step: each byte value, at each offset of
  // tokens either side of 8 bytes, must split, join or end them as the rules say.
  for (int b = 0; b < 256; b++) {
    std::string text;
    for (size_t len = 1; len <= 17; len++)
      for (size_t at = 0; at < len; at++) {
        std::string token(len, 'q');
        token[at] = static_cast<char>(b);
        text += token + (len % 2 ? " " : "\n");
      }
    if (b == 26) text = "ab\x1a" + text;
    EXPECT_EQ(real_words(text), model_words(text)) << "byte " << b;
    EXPECT_EQ(real_words(text + "tail" + static_cast<char>(b)),
              model_words(text + "tail" + static_cast<char>(b)))
        << "byte " << b;
  }
}

TEST(WordReading, Interning) {
  WordList list;
  read_text("Word word Word word, \xe9", &list);
  ASSERT_EQ(list.ids.size, 5u);
  EXPECT_EQ(list.words.size, 4u);
  EXPECT_EQ(list.ids.data[0], list.ids.data[2]);
  EXPECT_NE(list.ids.data[0], list.ids.data[1]);
  EXPECT_EQ(word_text(list, list.ids.data[4]), "\xe9");
  release(&list);

  // Words that share their first bytes, either side of 8 bytes long, are
  // told apart; each one met again finds its own id.
  std::vector<std::string> near = {"abcdefg",      "abcdefgh", "abcdefghi", "abcdefg\x07",
                                   "abcdefgh\x07", "abcdef",   {"\0q", 2},  "a",
                                   "abcdefghij"};
  std::string text;
  for (int round = 0; round < 2; round++)
    for (auto &w : near) text += w + " ";
  read_text(text, &list);
  ASSERT_EQ(list.ids.size, 2 * near.size());
  EXPECT_EQ(list.words.size, near.size());
  for (size_t i = 0; i < near.size(); i++) {
    EXPECT_EQ(list.ids.data[i], list.ids.data[i + near.size()]);
    EXPECT_EQ(word_text(list, list.ids.data[i]), near[i].substr(0, near[i].find('\0')));
  }
  release(&list);
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

#ifdef THREADED_DRIVERS
TEST(Drivers, BuildOnTwoToFourThreads) {
  // Built for ThreadSanitizer, the drivers' runs must take the crew's
  // threads, whatever workers the plan asks for.
  for (unsigned asked : {0u, 1u, 2u, 3u}) {
    build_plan = BuildPlan{asked, 0, 0, 0, 0};
    PlanWorkers workers;
    EXPECT_EQ(build_workers(), std::max(asked + 1, 2u)) << asked;
  }
  build_plan = BuildPlan{};
}
#endif

TEST(Chain, WorkedExample) {
  EXPECT_EQ(real_generate("a b c a b d", 2, 1000, 1), "b c a b d ");
  EXPECT_EQ(real_generate("a b c", 2, 1000, 1), "a b c ");
  EXPECT_EQ(real_generate("a b", 2, 1000, 1), "");
  EXPECT_EQ(real_generate("a b c a b d", 2, 1, 1), "b ");
  EXPECT_EQ(real_generate("a b c a b d", 2, 2, 1), "b c ");
}

TEST(Chain, MatchesPlainModelOnRandomTexts) {
  // Any number of workers, partitions and write-back spans gives the same
  // bytes, and so does a build spilled to files, in many groups or in one.
  std::mt19937 gen(12345);
  const char *vocab[] = {"a", "b", "c", "d", "e", "f", "A", "a,"};
  for (int round = 0; round < 3000; round++) {
    size_t vsize = 1 + gen() % 8, n = gen() % 60;
    std::vector<std::string> words;
    for (size_t i = 0; i < n; i++) words.push_back(vocab[gen() % vsize]);
    uint32_t k = 1 + gen() % 4;
    int32_t limit = 1 + static_cast<int32_t>(gen() % 80);
    uint32_t seed = gen();
    const size_t budgets[] = {0, 2048, 1 << 14};
    build_plan =
        BuildPlan{1u + round % 3u, round / 3u % 5u, 0, budgets[round / 15 % 3], round / 45u % 4u};
    ASSERT_EQ(real_generate(join(words), k, limit, seed), model_generate(words, k, limit, seed))
        << "round " << round;
  }
}

TEST(Chain, MatchesPlainModelOnWideRanges) {
  std::mt19937 gen(99);
  // More than 32768 states: every state may open the text.  Ids of 16 bits
  // pack four to a key, so prefixes of 3 and 7 words are named in one round
  // and in two, the second from windows that overlap; a prefix of 4 is a
  // key too wide to share 8 bytes with its position.  The ids and the words
  // fill large blocks, whose tails the one-word build gives back.
  std::vector<std::string> many;
  for (int i = 0; i < 140000; i++) many.push_back("w" + std::to_string(gen() % 60000));
  // More words than 16 bits number: a one-word chain sorts their next words in 32.
  std::vector<std::string> wide;
  for (int i = 0; i < 200000; i++) wide.push_back("v" + std::to_string(gen() % 90000));
  // One state whose suffix counts sum past 32768, over a thousand suffixes.
  std::vector<std::string> heavy;
  for (int i = 0; i < 50000; i++) {
    heavy.push_back("x");
    heavy.push_back("s" + std::to_string(gen() % 1000));
  }
  // States of every size round the least that a one-word walk guides, their
  // counts skewed so that one suffix spans many slices and one slice many
  // suffixes.
  std::vector<std::string> skewed;
  for (int i = 0; i < 20000; i++) {
    skewed.push_back("y" + std::to_string(i % 40));
    skewed.push_back("t" + std::to_string(gen() % (1 + gen() % (8 + i % 40))));
  }
  // In memory, with the partitions the text asks for (a one-word chain is
  // then sorted, not dealt) and with 16 forced, read in three parts joined
  // by moving their blocks, and spilled in many groups.
  const BuildPlan plans[] = {{0, 0, 0, 0, 0}, {0, 4, 3, 0, 0}, {0, 0, 0, 1, 0}};
  for (const BuildPlan &plan : plans) {
    build_plan = plan;
    for (uint32_t seed : {1u, 2u, 77u})
      EXPECT_EQ(real_generate(join(many), 1, 300, seed), model_generate(many, 1, 300, seed));
    for (uint32_t k : {3u, 4u, 7u})
      EXPECT_EQ(real_generate(join(many), k, 300, k), model_generate(many, k, 300, k)) << k;
    for (uint32_t seed : {3u, 4u})
      EXPECT_EQ(real_generate(join(heavy), 1, 500, seed), model_generate(heavy, 1, 500, seed));
    for (uint32_t seed : {5u, 6u})
      EXPECT_EQ(real_generate(join(skewed), 1, 20000, seed),
                model_generate(skewed, 1, 20000, seed));
    EXPECT_EQ(real_generate(join(wide), 1, 300, 5), model_generate(wide, 1, 300, 5));
  }
  build_plan = BuildPlan{};
}

TEST(Chain, LongPrefixesAndRepeats) {
  // In memory, named where they stand and dealt into 16 partitions, and
  // spilled.
  const BuildPlan plans[] = {{0, 0, 0, 0, 0}, {0, 4, 0, 0, 0}, {0, 0, 0, 4096, 0}};
  for (const BuildPlan &plan : plans) {
    build_plan = plan;
    std::vector<std::string> same(3000, "a");
    EXPECT_EQ(real_generate(join(same), 1000, 5000, 9), model_generate(same, 1000, 5000, 9));
    same[1700] = "b";  // names of every window width meet a change
    for (uint32_t k : {3u, 5u, 6u, 7u, 9u, 64u, 65u, 1000u})
      EXPECT_EQ(real_generate(join(same), k, 3000, k), model_generate(same, k, 3000, k)) << k;
    std::vector<std::string> cycle;
    for (int i = 0; i < 40; i++) cycle.push_back(i % 2 ? "b" : "a");
    EXPECT_EQ(real_generate(join(cycle), 2, 500, 5), model_generate(cycle, 2, 500, 5));
    EXPECT_EQ(real_generate(join(cycle), 40, 500, 5), "");
  }
  build_plan = BuildPlan{};
}

TEST(Chain, SpillBatteryOverShapes) {
  // Each shape of text, at each prefix length, under budgets from one byte
  // (every build spilled, in the most groups) through a few times the text
  // (spilled in few groups, or in memory) to the system's, on one worker and
  // on two: every build succeeds and gives the plain model's texts.  The
  // spill files go to memory where it can hold them: a build in many groups
  // opens thousands, each of which a journalled disk may take a millisecond
  // to make.
  const char *tmpdir = std::getenv("TMPDIR");
  std::string kept = tmpdir ? tmpdir : "";
  if (access("/dev/shm", W_OK | X_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
  const size_t words[] = {12000, 3000, 30000, 12000, 4000, 4000, 20000};  // by shape
  const std::vector<Walk> walks = {{100, 1}, {800, 4242}};
  for (Shape shape : SHAPES) {
    std::string text = shaped_text(shape, words[static_cast<int>(shape)], 17);
    std::vector<std::string> ws = model_words(text);
    size_t bytes = text.size();
    const size_t budgets[] = {1, bytes / 8, bytes / 2, 2 * bytes, 24 * ws.size(), 8 * bytes, 0};
    for (uint32_t k : {1u, 2u, 3u, 5u, 8u}) {
      std::vector<std::string> want;
      for (const Walk &w : walks) want.push_back(model_generate(ws, k, w.limit, w.seed));
      for (size_t budget : budgets)
        for (unsigned workers : {1u, 2u}) {
          build_plan = BuildPlan{workers, 0, 0, budget, 0};
          bool fell_back = false;
          std::optional<std::vector<std::string>> got = try_generate(text, k, walks, &fell_back);
          EXPECT_TRUE(got && *got == want && !fell_back)
              << shape_name(shape) << ", prefix length " << k << ", budget " << budget
              << ", workers " << workers << ": " << what_went_wrong(got, fell_back);
        }
    }
  }
  build_plan = BuildPlan{};
  if (tmpdir)
    setenv("TMPDIR", kept.c_str(), 1);
  else
    unsetenv("TMPDIR");
}

TEST(Chain, BuildsInMemoryWhateverItJudgesToFit) {
  // A text large enough that every block of the build is held against the
  // budget, under budgets two mebibytes apart across the edge where reading
  // judges its chain to fit: none judged to fit is built in files after all
  // (the estimate is never short), and every text is the unlimited build's.
  const std::vector<Walk> walks = {{300, 9}};
  std::string text = shaped_text(Shape::Habit, 1500000, 5);
  for (uint32_t k : {1u, 2u, 3u}) {
    build_plan = BuildPlan{};
    std::optional<std::vector<std::string>> want = try_generate(text, k, walks);
    ASSERT_TRUE(want);
    for (size_t mib = 26; mib <= 40; mib += 2) {
      build_plan = BuildPlan{2, 0, 0, mib << 20, 0};
      bool fell_back = false;
      std::optional<std::vector<std::string>> got = try_generate(text, k, walks, &fell_back);
      EXPECT_TRUE(got && *got == *want && !fell_back)
          << "prefix length " << k << ", budget " << mib
          << " MiB: " << what_went_wrong(got, fell_back);
    }
  }
  build_plan = BuildPlan{};
}

}  // namespace
