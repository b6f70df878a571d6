// Budget: the memory the program may hold, found once, and the account of its large blocks:
//   found  the least of the address-space and data limits, the control group's limit and
//          MemAvailable, less what the process holds at start and a margin for what is never
//          accounted (stacks, the heap's small blocks, stream buffers, mapping slack)
//   held   every large block (Array.h) while it is mapped
//   room   found - held: what the next step may take
//
// While strict (the chain build) the account refuses a block that would pass the budget, as the
// system would; a text's words are counted, never refused: only the system may refuse them.
#ifndef CHATTERLOOM_BUDGET_H
#define CHATTERLOOM_BUDGET_H

#include <cstddef>
#include <cstdint>

// The address space each thread past the first may take (stack, arena), counted only under a limit.
constexpr size_t THREAD_RESERVE = size_t{72} << 20;

// The lesser of the process's address-space and data limits; UINT64_MAX where it has neither.
uint64_t process_limit();

// The bytes the process may hold, found as drawn above, with `threads` more threads reserving.
size_t find_budget(unsigned threads);

void set_budget(size_t bytes);

// Makes the account refuse (strict) or stop refusing a block that would pass the budget.
void hold_to_budget(bool strict);

// Counts `bytes` more as held; false, counting nothing, if strict and they would pass the budget.
bool take_memory(size_t bytes);

void give_memory(size_t bytes);

size_t memory_budget();

// What is left of the budget: the most the next block may take.
size_t memory_room();

#endif
