// Loading and unloading the shared object drive the same entry point as the
// Windows loader's process notifications; a fork drives the queue's locks
// and its reset.
#include <pthread.h>

#include "../../resources/resources.h"
#include "../runtime.h"

namespace {

// Registered after the platform layer's own fork handlers (made in the
// entry point): before the fork these run first, so the queue's locks are
// taken before the layer's (an operation under way may need the layer's
// while it holds one of the queue's); after it they run last, with every
// lock of the layer's free.
void LockQueueForFork() {
  messaging::LockForFork(&shell::runtime.Queue);
  resources::LockForFork();
}
void UnlockQueueInParent() {
  resources::UnlockAfterForkInParent();
  messaging::UnlockAfterFork(&shell::runtime.Queue);
}
void ForgetParentsMessages() {
  resources::ResetAfterForkInChild();
  messaging::ForgetInChild(&shell::runtime.Queue);
}

__attribute__((constructor(200))) void OnLoad() {
  shell::EntryPoint(shell::kProcessAttach);
  // Without it a child could find a shard's lock held for ever, or take its
  // parent's messages: better to know.
  if (pthread_atfork(LockQueueForFork, UnlockQueueInParent, ForgetParentsMessages) != 0) {
    messaging::OnDetach(&shell::runtime.Queue);
  }
}

// Without a priority, so that a dlclose runs it before the exit handlers
// registered for this object (the C library runs those last there, and
// first at the exit): that order is how the platform layer tells the two.
__attribute__((destructor)) void OnUnload() { shell::EntryPoint(shell::kProcessDetach); }

}  // namespace
