// The shell: the entry point and the exports, the lifecycle that drives the
// other rooms (lifecycle.cpp), and the support layer every other part
// relies on: the private heap and the pseudo-random generator, both made
// once per load, and the process's one queue.
#ifndef QUENTHALOY_SHELL_RUNTIME_H
#define QUENTHALOY_SHELL_RUNTIME_H

#include <stdint.h>

#include "../messaging/queue.h"
#include "../platform/platform.h"

namespace shell {

struct Runtime {
  platform::Heap* PrivateHeap;
  uint32_t RandomState;
  messaging::Queue Queue;  // the process's one queue
};

extern Runtime runtime;

void RuntimeStart();
void RuntimeEnd();

// Seeds the generator; a zero seed is replaced, as it would stick at zero.
void SeedRandom(uint32_t seed);
// A number drawn uniformly from 0 to `highest` inclusive.
uint32_t DrawRandom(uint32_t highest);

// The loader's notification codes, valued as on Windows.
enum : uint32_t {
  kProcessDetach = 0,
  kProcessAttach = 1,
  kThreadAttach = 2,
  kThreadDetach = 3,
};

// The library's start and end, driven by the loader (lifecycle.cpp, which
// says in order what happens at each); always 1. At the process's exit with
// threads of the host still inside, the end frees nothing: those threads
// may run on until the process is gone. `loader_says_exiting`: the loader
// reports the process's exit (Windows).
int32_t EntryPoint(uint32_t reason, bool loader_says_exiting = false);
// Called by the blocking exports as they return (lifecycle.cpp).
void BlockingCallReturns();

}  // namespace shell

#endif
