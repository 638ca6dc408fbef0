// Failures a test can switch on, and platform calls it can count, in a build
// of the core made for it: to see the layers above survive what the system
// may refuse them (memory, objects), and to see how many kernel objects and
// wake-ups their work costs. The library itself is built without either.
#ifndef QUENTHALOY_PLATFORM_POSIX_FAULT_INJECTION_H
#define QUENTHALOY_PLATFORM_POSIX_FAULT_INJECTION_H

#include <stdint.h>

namespace platform::faults {

enum class Point { kCreateObject, kHeapCreate, kHeapAlloc, kParker, kCount };
enum class Call { kParkerMade, kPark, kUnpark, kUnparkSyscall, kMutexCreate, kObjectClose, kCount };

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
