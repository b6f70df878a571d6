// Plan: how a run divides its work and how much memory it may hold.
#ifndef CHATTERLOOM_PLAN_H
#define CHATTERLOOM_PLAN_H

#include <cstddef>

// How the build divides its work; 0 picks from the text and the machine.  The output never depends
// on them: tests set them to prove it.
struct BuildPlan {
  unsigned workers;         // threads, the caller among them
  unsigned partition_bits;  // log2 of the partitions of each deal
  unsigned read_parts;      // parts a regular file is read in
  size_t budget;            // bytes of memory the build may use, else found
  unsigned span_bits;       // log2 of the positions written back at a time
};
extern BuildPlan build_plan;

// Threads to build and read: the usable cores within MAX_WORKERS and memory limits, or the plan's.
unsigned build_workers();

// The bytes the process may hold: the plan's budget, else one found from the system now.
size_t plan_budget();

#endif
