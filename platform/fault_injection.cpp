// The test hooks' switches and counters, the same on every OS.
#include "fault_injection.h"

#include <atomic>

#if defined(QUENTHALOY_FAULT_INJECTION)
namespace platform::faults {
namespace {
std::atomic<bool> failing[static_cast<int>(Point::kCount)];
std::atomic<uint64_t> counted[static_cast<int>(Call::kCount)];
}  // namespace
bool Fails(Point point) { return failing[static_cast<int>(point)].load(std::memory_order_relaxed); }
void SetFailing(Point point, bool fail) { failing[static_cast<int>(point)].store(fail, std::memory_order_relaxed); }
void Count(Call call) { counted[static_cast<int>(call)].fetch_add(1, std::memory_order_relaxed); }
uint64_t Counted(Call call) { return counted[static_cast<int>(call)].load(std::memory_order_relaxed); }
}  // namespace platform::faults
#endif
