// Loading and unloading the shared object drive the same entry point as the
// Windows loader's process notifications; a fork drives the queue's reset.
#include <pthread.h>

#include "../runtime.h"

namespace {

// Registered after the platform layer's own fork handlers (made in the
// entry point), so it runs after them in the child: with every lock free.
void ForgetParentsMessages() { messaging::ForgetInChild(&shell::runtime.Queue); }

__attribute__((constructor(200))) void OnLoad() {
  shell::EntryPoint(shell::kProcessAttach);
  // Without it a child could take its parent's messages: better to know.
  if (pthread_atfork(nullptr, nullptr, ForgetParentsMessages) != 0) shell::runtime.Queue.Lock = nullptr;
}

// Without a priority, so that a dlclose runs it before the exit handlers
// registered for this object (the C library runs those last there, and
// first at the exit): that order is how the platform layer tells the two.
__attribute__((destructor)) void OnUnload() { shell::EntryPoint(shell::kProcessDetach); }

}  // namespace
