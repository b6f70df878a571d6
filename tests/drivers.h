// Drivers of the real code for the tests and the fuzz targets: a text in,
// its words or its generated text out, through the module's own interface.
#ifndef CHATTERLOOM_TESTS_DRIVERS_H
#define CHATTERLOOM_TESTS_DRIVERS_H

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "Chain.h"
#include "Plan.h"
#include "Random.h"
#include "Words.h"

namespace drivers {

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

// Holds the build plan's workers for a driver's run.  Where the tests are
// built for ThreadSanitizer (THREADED_DRIVERS), the run takes 2 to 4
// workers instead: 1 more than the plan's 1 to 3, and 2 for its 0 (the
// machine's), so that the crew's threads take part in the reading and in
// every build, in memory or spilled.
struct PlanWorkers {
  unsigned asked = build_plan.workers;
#ifdef THREADED_DRIVERS
  PlanWorkers() {
    build_plan.workers = std::clamp(asked + 1, 2u, 4u);
  }
#endif
  ~PlanWorkers() {
    build_plan.workers = asked;
  }
};

// Reads `bytes` into the empty `list`.
inline void read_text(const std::string &bytes, WordList *list) {
  int fd = memory_file(bytes);
  require(read_words_fd(fd, list));
  close(fd);
}

inline std::string word_text(const WordList &list, uint32_t id) {
  const Word &w = list.words.data[id];
  return std::string(list.bytes.data + w.text_at, w.len);
}

// The words that the real reader finds in `bytes`.
inline std::vector<std::string> real_words(const std::string &bytes) {
  PlanWorkers workers;
  WordList list;
  read_text(bytes, &list);
  std::vector<uint32_t> ids(list.ids.data, list.ids.data + list.ids.size);
  if (list.spilled.fd >= 0) {  // a text read under a small budget
    ids.resize(word_count(&list));
    require(read_at(&list.spilled, 0, ids.data(), ids.size() * 4));
  }
  std::vector<std::string> out;
  for (uint32_t id : ids) out.push_back(word_text(list, id));
  release(&list);
  return out;
}

// A walk over a chain: at most `limit` words, from the random source
// seeded with `seed`.
struct Walk {
  int32_t limit;
  uint32_t seed;
};

// The texts that one real chain of k-word prefixes of `text` gives, one for
// each of `walks`; nothing where the words could not be read, the chain
// not built or a text not written.  `fell_back`, if given, tells whether a
// text that reading judged to fit memory was built in files all the same.
inline std::optional<std::vector<std::string>> try_generate(const std::string &text, uint32_t k,
                                                            const std::vector<Walk> &walks,
                                                            bool *fell_back = nullptr) {
  PlanWorkers workers;
  WordList list;
  StateTable table;
  int fd = memory_file(text);
  bool ok = read_words_fd(fd, &list);
  bool judged_to_fit = list.spilled.fd < 0;
  ok = ok && build_chain(&list, k, &table);
  if (fell_back) *fell_back = ok && judged_to_fit && table.files.suffixes.fd >= 0;
  close(fd);
  std::vector<std::string> texts;
  std::string buf(1 << 16, '\0');
  for (size_t i = 0; ok && i < walks.size(); i++) {
    Output out{memfd_create("out", 0), false, 0, buf.size(), buf.data()};
    Random r;
    seed_random(&r, walks[i].seed);
    uint64_t n = walk(&list, &table, walks[i].limit, &r, &out);
    ok = flush_output(&out);
    std::string s(static_cast<size_t>(lseek(out.fd, 0, SEEK_CUR)), '\0');
    ok = ok && pread(out.fd, s.data(), s.size(), 0) == static_cast<ssize_t>(s.size()) &&
         n == static_cast<uint64_t>(std::count(s.begin(), s.end(), ' '));
    close(out.fd);
    texts.push_back(std::move(s));
  }
  release(&list);
  release(&table);
  if (!ok) return std::nullopt;
  return texts;
}

// How a try_generate that did not give the text wanted went wrong.
inline const char *what_went_wrong(const std::optional<std::vector<std::string>> &got,
                                   bool fell_back) {
  return !got ? "the build failed" : fell_back ? "built in files" : "another text";
}

// The text that the real chain of k-word prefixes of `text` gives, at most
// `limit` words from the random source seeded with `seed`; a failure ends
// the run.
inline std::string real_generate(const std::string &text, uint32_t k, int32_t limit,
                                 uint32_t seed) {
  std::optional<std::vector<std::string>> texts = try_generate(text, k, {{limit, seed}});
  require(texts.has_value());
  return texts->front();
}

}  // namespace drivers

#endif
