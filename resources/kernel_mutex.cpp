// Resources where the kernel keeps them (Windows): a resource is a kernel
// mutex of the process, and every call is the kernel's, through the
// platform's refusal of the library's own objects and of pseudo-handles.
#include "../platform/fault_injection.h"
#include "../platform/platform.h"
#include "resources.h"

namespace resources {

// A mutex that cannot be made is the same want of memory to a host, whether
// a test or the kernel refused it.
platform::Handle MutexCreate() {
  platform::faults::Count(platform::faults::Call::kMutexCreate);
  if (platform::faults::Fails(platform::faults::Point::kCreateObject)) {
    platform::ReportNoMemory();
    return platform::Handle::kNone;
  }
  return platform::KernelMutexCreate();
}

platform::WaitResult MutexTake(platform::Handle mutex, uint32_t milliseconds) {
  return platform::KernelObjectWait(mutex, milliseconds);
}

bool MutexGiveBack(platform::Handle mutex) { return platform::KernelMutexRelease(mutex); }

bool MutexClose(platform::Handle mutex) {
  platform::faults::Count(platform::faults::Call::kObjectClose);
  return platform::KernelObjectClose(mutex);
}

}  // namespace resources
