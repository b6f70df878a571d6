#include "Plan.h"

#include <algorithm>

#include "Budget.h"
#include "Workers.h"

BuildPlan build_plan;

unsigned build_workers() {
  unsigned workers =
      std::min(build_plan.workers ? build_plan.workers : usable_cores(), MAX_WORKERS);
  // Under an address-space or data limit, threads may reserve at most a quarter of it.
  uint64_t limit = process_limit();
  while (workers > 1 && (workers - 1) * uint64_t{THREAD_RESERVE} > limit / 4) workers--;
  return workers;
}

size_t plan_budget() {
  return build_plan.budget ? build_plan.budget : find_budget(build_workers() - 1);
}
