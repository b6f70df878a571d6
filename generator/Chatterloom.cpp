// Chatterloom sourceTextFile [word_prefix_cnt] [max_word_output]: prints a random text following
// the word-level Markov chain of the source text; exits 1 when words were printed, 0 otherwise.
#include <errno.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "Markov.h"
#include "Number.h"

namespace {

// The usage text's spellings and line-end blanks, and the exit statuses below (1 after it, 0 after
// "error cmd"), stay as they are on purpose: scripts and callers rely on them.
const char USAGE[] =
    "usege: Chatterloom sourceTextFile \n"
    "                     [word_prefix_cnt(default - 2)] \n"
    "                     [max_word_output(defau;t - 1000)]\n";

const char ERROR_CMD[] = "error cmd\n";

// Writes all of `s` to standard error; a failure there has no one to tell.
void say(const char *s) {
  size_t len = std::strlen(s);
  while (len > 0) {
    ssize_t n = write(2, s, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    s += n;
    len -= static_cast<size_t>(n);
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc <= 1) {
    say(USAGE);
    return 1;
  }
  if (argc > 2) word_prefix_cnt = to_number(argv[2]);
  int32_t max_word_output = argc > 3 ? to_number(argv[3]) : 1000;
  if (word_prefix_cnt <= 0 || max_word_output <= 0) {
    say(ERROR_CMD);
    return 0;
  }
  return generate(argv[1], max_word_output) > 0 ? 1 : 0;
}
