// Workers: a crew of threads started once, waiting between phases.  A build runs a dozen phases,
// some of a millisecond or less, and starting a thread costs tens of microseconds, at times
// milliseconds where its core sleeps.  A phase is open to the crew until the caller runs out of
// tasks, so it never waits for a thread that comes too late to help:
//   run_tasks  sets `phase`, opens `joined` at 0, bumps `generation`, works on the phase itself,
//              closes `joined` and waits for the threads that joined to leave
//   a thread   waits for `generation` to change, joins if the phase is still open, works on it
//              if its number is below the phase's workers, and leaves
#include "Workers.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <cstdint>

namespace {

// How long a thread spins for the next phase before it sleeps: about the gap between two phases, a
// few times what waking it would cost.
constexpr std::chrono::microseconds SPIN_TIME{200};

struct Phase {
  void (*fn)(void *, size_t, unsigned);
  void *arg;
  size_t tasks;
  unsigned workers;
  std::atomic<size_t> next;
};

// `joined` counts the threads in the phase, with CLOSED set once it takes no more.
constexpr uint32_t CLOSED = uint32_t{1} << 31;

struct Crew {
  std::atomic<uint32_t> generation{0};  // bumped to start a phase
  std::atomic<uint32_t> joined{CLOSED};
  Phase *phase = nullptr;  // set before `joined` opens
  unsigned started = 0;    // threads running, numbered from 1
};
Crew crew;

// A thread of the crew and the generation it started at.
struct Member {
  unsigned number;
  uint32_t seen;
};
Member members[MAX_WORKERS];

// Set on a thread while it works on a phase, where it must not start one.
thread_local bool in_phase = false;

// Takes tasks of `phase` until none is left.
void work(Phase *phase, unsigned number) {
  in_phase = true;
  for (size_t task; (task = phase->next.fetch_add(1, std::memory_order_relaxed)) < phase->tasks;)
    phase->fn(phase->arg, task, number);
  in_phase = false;
}

// The futex calls on the word of an atomic.  A wait returns at once if the word no longer holds
// `old`, so a change made before it is never missed.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
void futex_wait(std::atomic<uint32_t> *a, uint32_t old) {
  syscall(SYS_futex, reinterpret_cast<uint32_t *>(a), FUTEX_WAIT_PRIVATE, old, nullptr, nullptr, 0);
}
void futex_wake(std::atomic<uint32_t> *a) {
  syscall(SYS_futex, reinterpret_cast<uint32_t *>(a), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr,
          nullptr, 0);
}

// Waits until `a` no longer holds `old`, spinning for at most `spin` first.
void wait_while(std::atomic<uint32_t> *a, uint32_t old, std::chrono::microseconds spin) {
  auto until = std::chrono::steady_clock::now() + spin;
  for (unsigned i = 1; a->load(std::memory_order_acquire) == old; i++) {
    __builtin_ia32_pause();
    if (i % 64 == 0 && std::chrono::steady_clock::now() > until) break;
  }
  while (a->load(std::memory_order_acquire) == old) futex_wait(a, old);
}

// Joins the current phase; false if it is closed.
bool join() {
  uint32_t s = crew.joined.load(std::memory_order_acquire);
  while (!(s & CLOSED))
    if (crew.joined.compare_exchange_weak(s, s + 1, std::memory_order_acq_rel)) return true;
  return false;
}

// A thread of the crew: joins every phase it sees open.
void *serve(void *arg) {
  const Member *me = static_cast<const Member *>(arg);
  for (uint32_t seen = me->seen;;) {
    wait_while(&crew.generation, seen, SPIN_TIME);
    seen = crew.generation.load(std::memory_order_acquire);
    if (!join()) continue;
    if (me->number < crew.phase->workers) work(crew.phase, me->number);
    if (crew.joined.fetch_sub(1, std::memory_order_acq_rel) == (CLOSED | 1))
      futex_wake(&crew.joined);
  }
  return nullptr;
}

// Starts threads until the crew has `helpers`, or one cannot be started.
void grow_crew(unsigned helpers) {
  while (crew.started < helpers) {
    Member *m = &members[crew.started + 1];
    *m = Member{crew.started + 1, crew.generation.load(std::memory_order_relaxed)};
    pthread_t thread;
    if (pthread_create(&thread, nullptr, serve, m) != 0) return;
    pthread_detach(thread);
    crew.started++;
  }
}

}  // namespace

unsigned usable_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return std::max(1, CPU_COUNT(&set));
}

void start_workers(unsigned workers) {
  assert(!in_phase);
  if (workers > 1) grow_crew(std::min(workers, MAX_WORKERS) - 1);
}

void run_tasks(size_t tasks, unsigned workers, void (*fn)(void *, size_t, unsigned), void *arg) {
  assert(!in_phase);  // the crew works on one phase at a time
  workers = static_cast<unsigned>(std::min<size_t>({workers, tasks, MAX_WORKERS}));
  Phase phase{fn, arg, tasks, workers, {0}};
  if (workers > 1) grow_crew(workers - 1);
  if (workers <= 1 || crew.started == 0) {
    work(&phase, 0);
    return;
  }
  crew.phase = &phase;
  crew.joined.store(0, std::memory_order_release);
  crew.generation.fetch_add(1, std::memory_order_release);
  futex_wake(&crew.generation);
  work(&phase, 0);
  crew.joined.fetch_or(CLOSED, std::memory_order_acq_rel);
  for (uint32_t s; (s = crew.joined.load(std::memory_order_acquire)) != CLOSED;)
    wait_while(&crew.joined, s, SPIN_TIME);
}
