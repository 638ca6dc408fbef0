#include "resources.h"

#include "../platform/platform.h"

namespace resources {
namespace {

platform::Handle AsHandle(int32_t resource) { return platform::HandleFromInterface(resource); }

}  // namespace

// A handle the interface cannot carry, or one that comes out negative (a
// value every call refuses), would be a lock the host can never use: it is
// closed again and the host told that none was made.
int32_t AddThreadResource() {
  const platform::Handle mutex = MutexCreate();
  const int32_t value = platform::InterfaceValueOf(mutex);
  if (value > 0) return value;
  if (mutex != platform::Handle::kNone) static_cast<void>(MutexClose(mutex));
  return 0;
}

// The take and the give-back are a few instructions around one atomic
// operation each: flattened, the mutex's fast path is inlined into them
// (its waiting is kept out of line there).
#define QUENTHALOY_FLATTEN __attribute__((flatten))

// Only a clean take counts: an abandoned mutex is held by the caller all the
// same, but the work it guarded may be half done, and 0 tells the caller so.
QUENTHALOY_FLATTEN int32_t OpenThreadResource(int32_t resource) {
  return MutexTake(AsHandle(resource), platform::kWaitForever) == platform::WaitResult::kObtained ? 1 : 0;
}

QUENTHALOY_FLATTEN int32_t OpenThreadResourceWithin(int32_t resource, int32_t milliseconds) {
  return MutexTake(AsHandle(resource), static_cast<uint32_t>(milliseconds)) == platform::WaitResult::kObtained ? 1 : 0;
}

QUENTHALOY_FLATTEN int32_t CloseThreadResource(int32_t resource) { return MutexGiveBack(AsHandle(resource)) ? 1 : 0; }

int32_t DeleteThreadResource(int32_t resource) { return MutexClose(AsHandle(resource)) ? 1 : 0; }

}  // namespace resources
