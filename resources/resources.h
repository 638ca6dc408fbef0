// Thread resources: the recursive locks a host makes, takes, gives back and
// destroys by handle. This room owns what a resource is on every OS: on
// Windows a kernel mutex, bound thinly here (kernel_mutex.cpp); elsewhere
// the library's own recursive mutex with its owner, count and abandonment
// (mutex.cpp) and the handle table with its stale-handle check
// (handle_table.cpp), and the steps the lifecycle runs for them.
#ifndef QUENTHALOY_RESOURCES_RESOURCES_H
#define QUENTHALOY_RESOURCES_RESOURCES_H

#include <stdint.h>

#include "../platform/platform.h"

namespace resources {

// The five exports' work.
int32_t AddThreadResource();
int32_t OpenThreadResource(int32_t resource);
int32_t OpenThreadResourceWithin(int32_t resource, int32_t milliseconds);
int32_t CloseThreadResource(int32_t resource);
int32_t DeleteThreadResource(int32_t resource);

// A resource by the platform's handle: a new mutex, not owned, that nobody
// else can open (Handle::kNone if none can be made); a take that waits until
// it is free or the time-out in milliseconds runs out (0 tries once,
// platform::kWaitForever waits for ever), and on Windows accepts any
// waitable object; a give-back, true when the caller held it and gave it back
// once; a close, after which the handle stops answering at once, even for
// a holder. Every call given a bad handle (see platform.h) fails without
// effect.
[[nodiscard]] platform::Handle MutexCreate();
[[nodiscard]] platform::WaitResult MutexTake(platform::Handle mutex, uint32_t milliseconds);
[[nodiscard]] bool MutexGiveBack(platform::Handle mutex);
[[nodiscard]] bool MutexClose(platform::Handle mutex);

// Whether the library keeps its resources itself (not the kernel): then the
// lifecycle runs these steps (mutex.cpp), and nowhere else are they defined.
constexpr bool kKeptByLibrary = !platform::kKernelKeepsMutexes;
// A thread's end: a wait for a resource it ended in (cancelled there) is
// ended, and everything it holds is abandoned to the next taker.
void EndWaitOf(platform::Parker* record);
void AbandonHeldBy(platform::Parker* record);
// Around fork: the table is held across it; in the child, what the parent's
// other threads held is abandoned, and the forking thread keeps its own.
void LockForFork();
void UnlockAfterForkInParent();
void ResetAfterForkInChild();
// At unload (not at the process's exit): returns the table's memory, but
// for what a thread may still sleep on.
void End();

}  // namespace resources

#endif
