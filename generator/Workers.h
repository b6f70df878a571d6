// Workers: runs a build phase as numbered tasks on threads, the caller among them, so a thread that
// fails to start costs a worker, not a failure.  Tasks come in order from a shared counter, so a
// long task holds up no other; phases run one at a time, from one thread, never from a task.
#ifndef CHATTERLOOM_WORKERS_H
#define CHATTERLOOM_WORKERS_H

#include <cstddef>

// More threads than this gain nothing on a build bound by memory.
constexpr unsigned MAX_WORKERS = 16;

// The cores this process may run on (sched_getaffinity), at least 1.
unsigned usable_cores();

// Calls fn(arg, task, worker) for every task in [0, tasks) on at most `workers` threads, each with
// its own worker number below `workers`; returns when all are done.
void run_tasks(size_t tasks, unsigned workers, void (*fn)(void *, size_t, unsigned), void *arg);

// Tasks per worker in a phase of equal ranges, so a worker that starts late or loses its core for a
// while leaves the rest of its share to the others instead of holding up the phase.
constexpr unsigned TASKS_PER_WORKER = 8;

// The tasks that a phase of equal ranges is cut into for `workers` workers.
inline size_t range_tasks(unsigned workers) {
  return workers > 1 ? size_t{workers} * TASKS_PER_WORKER : 1;
}

// The first of [0, n) in range r of `ranges` equal ranges; range r ends where r + 1 starts.
inline size_t range_start(size_t n, size_t ranges, size_t r) {
  return n / ranges * r + (r < n % ranges ? r : n % ranges);
}

// Starts the threads phases of `workers` want ahead of the first, to settle on their cores by then.
void start_workers(unsigned workers);

// run_tasks over a callable f(task, worker).
template <class F>
void run_tasks(size_t tasks, unsigned workers, F &f) {
  run_tasks(
      tasks, workers,
      [](void *a, size_t task, unsigned worker) { (*static_cast<F *>(a))(task, worker); }, &f);
}

#endif
