#include "ring.h"

namespace messaging {
namespace {

constexpr uint32_t kFirstRingSize = 8;
// Doubling stops here: the ring's size stays far within 32-bit arithmetic.
constexpr uint32_t kMostRingSize = 1u << 26;

}  // namespace

__attribute__((noinline)) bool ResizeRing(Queue* queue, Recipient* recipient, uint32_t size) {
  auto* ring = static_cast<Message*>(platform::HeapAlloc(queue->Heap, size * static_cast<uint32_t>(sizeof(Message))));
  if (ring == nullptr) return false;
  for (uint32_t i = 0; i < recipient->Queued; ++i) {
    ring[i] = recipient->Ring[(recipient->Oldest + i) & (recipient->RingSize - 1)];
  }
  if (recipient->Ring != nullptr) platform::HeapFree(queue->Heap, recipient->Ring);
  recipient->Ring = ring;
  recipient->RingSize = size;
  recipient->Oldest = 0;
  return true;
}

bool GrowRing(Queue* queue, Recipient* recipient) {
  const uint32_t size = recipient->RingSize == 0 ? kFirstRingSize : recipient->RingSize * 2;
  return size <= kMostRingSize && ResizeRing(queue, recipient, size);
}

void FreeRing(Queue* queue, Recipient* recipient) {
  if (recipient->Ring != nullptr) platform::HeapFree(queue->Heap, recipient->Ring);
  recipient->Ring = nullptr;
  recipient->RingSize = 0;
}

void ClearKeepingRing(Recipient* recipient) {
  Message* ring = recipient->Ring;
  uint32_t ring_size = recipient->RingSize;
  *recipient = Recipient{};
  recipient->Ring = ring;
  recipient->RingSize = ring_size;
}

}  // namespace messaging
