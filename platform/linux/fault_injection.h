// Failures a test can switch on in a build of the core made for it, to see
// the layers above survive what the system may refuse them: out of memory,
// out of handles. The library itself is built without, and never fails here.
#ifndef QUENTHALOY_PLATFORM_LINUX_FAULT_INJECTION_H
#define QUENTHALOY_PLATFORM_LINUX_FAULT_INJECTION_H

namespace platform::faults {

enum class Point { kCreateObject, kHeapCreate, kHeapAlloc, kCount };

#if defined(QUENTHALOY_FAULT_INJECTION)
// Whether `point` fails now; switched by the tests.
bool Fails(Point point);
void SetFailing(Point point, bool failing);
#else
constexpr bool Fails(Point /*point*/) { return false; }
#endif

}  // namespace platform::faults

#endif
