// Workers: a phase's threads, started and joined around it.
#include "Workers.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>

namespace {

// More threads than this gain nothing on a build bound by memory.
constexpr unsigned MAX_WORKERS = 16;

struct Phase {
  void (*fn)(void *, size_t, unsigned);
  void *arg;
  size_t tasks;
  std::atomic<size_t> next;
};

struct Worker {
  Phase *phase;
  unsigned number;
};

// Takes tasks until none is left.
void *work(void *w) {
  Worker *me = static_cast<Worker *>(w);
  Phase *phase = me->phase;
  for (size_t task; (task = phase->next.fetch_add(1, std::memory_order_relaxed)) < phase->tasks;)
    phase->fn(phase->arg, task, me->number);
  return nullptr;
}

}  // namespace

unsigned usable_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return std::max(1, CPU_COUNT(&set));
}

void run_tasks(size_t tasks, unsigned workers, void (*fn)(void *, size_t, unsigned), void *arg) {
  Phase phase{fn, arg, tasks, {0}};
  workers = static_cast<unsigned>(std::min<size_t>({workers, tasks, MAX_WORKERS}));
  Worker crew[MAX_WORKERS];
  pthread_t threads[MAX_WORKERS];
  unsigned started = 0;
  for (unsigned i = 1; i < workers; i++) {
    crew[started + 1] = Worker{&phase, started + 1};
    if (pthread_create(&threads[started], nullptr, work, &crew[started + 1]) == 0) started++;
  }
  crew[0] = Worker{&phase, 0};
  work(&crew[0]);
  for (unsigned i = 0; i < started; i++) pthread_join(threads[i], nullptr);
}
