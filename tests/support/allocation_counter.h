// Counts heap allocations made by the calling thread while it is inside the driver. Linking
// allocation_counter.cpp into a program replaces malloc, calloc, realloc and operator new.
#pragma once

namespace corvale::testing {

// Allocations counted so far.
int DriverAllocations();

// Calls `call()` with counting switched on for this thread, and returns what it returned.
void BeginDriverCall();
void EndDriverCall();

template <typename Call>
auto Counted(Call&& call) {
  BeginDriverCall();
  auto result = call();
  EndDriverCall();
  return result;
}

}  // namespace corvale::testing
