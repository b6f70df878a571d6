// Workers: runs a phase of the build as numbered tasks on POSIX threads.
//
// The caller is always one of the workers, so a phase runs even where no
// thread can be started: a thread that fails to start means one worker
// fewer, never a failure.  Threads last one phase; tasks are taken in order
// from a shared counter, so a long task does not hold up the rest.
#ifndef CHATTERLOOM_WORKERS_H
#define CHATTERLOOM_WORKERS_H

#include <cstddef>

// The cores this process may run on (sched_getaffinity), at least 1.
unsigned usable_cores();

// Calls fn(arg, task, worker) for every task in [0, tasks), on at most
// `workers` threads, each with its own worker number below `workers`;
// returns when all are done.
void run_tasks(size_t tasks, unsigned workers, void (*fn)(void *, size_t, unsigned), void *arg);

// run_tasks over a callable f(task, worker).
template <class F>
void run_tasks(size_t tasks, unsigned workers, F &f) {
  run_tasks(
      tasks, workers,
      [](void *a, size_t task, unsigned worker) { (*static_cast<F *>(a))(task, worker); }, &f);
}

#endif
