// The library's lifecycle, in the order things happen: load, thread end,
// fork (prepare, parent, child), unload, and the process's exit; and the
// return of a blocking call, which may end what a late thread made. The rooms
// provide the steps (platform/, sync/, messaging/, resources/, and the
// shell's own support layer); this file alone says when each runs.
#include "../messaging/queue.h"
#include "../platform/platform.h"
#include "../resources/resources.h"
#include "../sync/backoff.h"
#include "../sync/lock_word.h"
#include "runtime.h"

namespace shell {
namespace {

// --- Thread end ---------------------------------------------------------------
// The layer calls this on a thread that ends with a parker (Linux: its
// thread-local destructor; Windows: the fiber-local callback or the thread
// notice), before the parker goes: what the thread's waits and sends left
// in the queue is undone, then a wait for a resource it ended in (a host
// may cancel a thread there) ends, and what it holds is abandoned to the
// next taker.
void ThreadEnds(platform::Parker* parker) {
  messaging::TidyAtThreadEnd(&runtime.Queue, parker);
  if constexpr (resources::kKeptByLibrary) {
    resources::EndWaitOf(parker);
    resources::AbandonHeldBy(parker);
  }
}

// --- Fork (where there is one) ---------------------------------------------
// Before: the queue's shard locks first (an operation under way may need
// the resources' or the layer's locks while it holds one), then the
// resources' table, then the layer's records, so that the child finds all
// of them consistent. After, in the parent: the same let go in the reverse
// order. After, in the child, whose only thread is the forking one: the
// layer first (its locks free, the other threads' records gone, the only
// caller this thread), then the resources (what the other threads held is
// abandoned, this thread's stays its own), then the queue (the parent's
// messages and sleepers dropped, every shard free). The private heap needs
// nothing: it is used only under the shards' locks, held across the fork.
// (Unused where there is no fork.)
[[maybe_unused]] void PrepareFork() {
  // The forking thread may never have called: it joins the callers first, so
  // that the only caller leaves the section it may be in, rather than have a
  // word it holds by a plain store taken atomically from under it.
  synchro::JoinCallers();
  messaging::LockForFork(&runtime.Queue);
  if constexpr (resources::kKeptByLibrary) resources::LockForFork();
  platform::PrepareFork();
}

[[maybe_unused]] void AfterForkInParent() {
  platform::AfterForkInParent();
  if constexpr (resources::kKeptByLibrary) resources::UnlockAfterForkInParent();
  messaging::UnlockAfterFork(&runtime.Queue);
}

[[maybe_unused]] void AfterForkInChild() {
  platform::AfterForkInChild();
  if constexpr (resources::kKeptByLibrary) resources::ResetAfterForkInChild();
  messaging::ForgetInChild(&runtime.Queue);
}

// --- Load -------------------------------------------------------------------
// The back-off's figures are measured first (every wait uses them), then
// the layer starts (thread records, parkers, the only-caller watch), then
// the support layer (heap, generator), then the queue in that heap. Without
// the layer's per-thread state no thread could sleep in the queue or own a
// resource: the queue stays shut (every call returns 0) rather than open
// with waits that cannot wait. Last, the thread-end notice and the fork
// steps are hooked; a library that cannot watch forks shuts its queue
// rather than let a child find a shard's lock held for ever or take its
// parent's messages.
void Load() {
  synchro::backoff::Measure();
  const bool started = platform::Start();
  RuntimeStart();
  if (started) messaging::OnAttach(&runtime.Queue, runtime.PrivateHeap, DrawRandom(0xFFFFFFFFu));
  platform::SetParkerEndHook(ThreadEnds);
  if constexpr (platform::kCanFork) {
    if (!platform::WatchForks(PrepareFork, AfterForkInParent, AfterForkInChild)) messaging::OnDetach(&runtime.Queue);
  }
}

// --- Unload, and the process's exit ------------------------------------------
// An unload by the host (no thread inside): the thread-end notice is
// unhooked first (this returns once no ending thread is inside it), then the
// queue is freed, then the resources' table (but for what a thread may
// still sleep on), then the heap, and last the layer. At the process's exit
// other threads may still run in the library (Linux) or have been ended
// anywhere in it, holding its locks (Windows): nothing is freed, and the
// layer only unhooks what could call into the library once it is gone.
void Unload(bool loader_says_exiting) {
  const bool exiting = platform::ProcessIsExiting(loader_says_exiting);
  if (!exiting) {
    platform::SetParkerEndHook(nullptr);
    messaging::OnDetach(&runtime.Queue);
    if constexpr (resources::kKeptByLibrary) resources::End();
    RuntimeEnd();
  }
  platform::End(exiting);
}

}  // namespace

// --- A blocking call returns ---------------------------------------------------
// A thread that made its parker after the loader's notice of its end (a
// wait or a send from a host's thread-local destructor) hears no later
// notice: the call that made it frees it as it returns.
void BlockingCallReturns() {
  if constexpr (platform::kLoaderTellsThreadEnd) platform::ThreadLeavesLibrary();
}

int32_t EntryPoint(uint32_t reason, bool loader_says_exiting) {
  if (reason == kProcessAttach) {
    Load();
  } else if (reason == kProcessDetach) {
    Unload(loader_says_exiting);
  } else if (reason == kThreadDetach) {
    // The loader's thread notice, where it gives one.
    if constexpr (platform::kLoaderTellsThreadEnd) platform::ThreadEnding();
  }
  return 1;
}

}  // namespace shell
