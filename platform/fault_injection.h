// Failures a test can switch on, and platform calls it can count, in a build
// of the core made for it (quenthaloy_core_faults, on every OS): to see the
// layers above survive what the system may refuse them (memory, objects, a
// wait or a wake-up on an object a host closed), and to see how many kernel
// objects and wake-ups their work costs. The library itself is built without
// either. A layer honours the points its OS can meet: a futex wait cannot
// fail, so kWait and kWake are the Windows layer's alone, as is the count of
// parkers freed.
#ifndef QUENTHALOY_PLATFORM_FAULT_INJECTION_H
#define QUENTHALOY_PLATFORM_FAULT_INJECTION_H

#include <stdint.h>

namespace platform::faults {

enum class Point { kCreateObject, kHeapCreate, kHeapAlloc, kParker, kWait, kWake, kCount };
enum class Call { kParkerMade, kPark, kUnpark, kUnparkSyscall, kMutexCreate, kObjectClose, kParkerFreed, kCount };

#if defined(QUENTHALOY_FAULT_INJECTION)
// Whether `point` fails now; switched by the tests.
bool Fails(Point point);
void SetFailing(Point point, bool failing);
void Count(Call call);
uint64_t Counted(Call call);
#else
constexpr bool Fails(Point /*point*/) { return false; }
inline void Count(Call /*call*/) {}
#endif

}  // namespace platform::faults

#endif
