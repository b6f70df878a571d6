/* Test-only: freezes the calendar clock at the value of FROZEN_TIME, so that
   black-box tests choose the generator's seed.  Loaded with LD_PRELOAD. */
#include <stdlib.h>
#include <time.h>

time_t time(time_t *t) {
  const char *v = getenv("FROZEN_TIME");
  time_t now = v ? (time_t)strtoll(v, NULL, 10) : 0;
  if (t) *t = now;
  return now;
}
