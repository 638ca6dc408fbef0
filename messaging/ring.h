// A recipient's messages: a ring of slots, oldest first, that grows by
// doubling and halves when mostly empty, so a post needs no heap once the
// ring is there, and a take behind a long backlog reads several messages
// per cache line.
#ifndef QUENTHALOY_MESSAGING_RING_H
#define QUENTHALOY_MESSAGING_RING_H

#include "queue.h"

namespace messaging {

// A recipient leaving the index keeps a ring up to this size for its next
// use; a larger one, grown for a burst, goes back to the heap.
constexpr uint32_t kMostKeptRingSize = 64;

// Out of line: the next size up for a full ring, moved there; false (and
// nothing changed) at the largest size or without memory.
__attribute__((noinline)) bool GrowRing(Queue* queue, Recipient* recipient);
// Moves the queued messages, oldest first, into a ring of `size` slots;
// false (and nothing changed) without memory for it.
__attribute__((noinline)) bool ResizeRing(Queue* queue, Recipient* recipient, uint32_t size);
void FreeRing(Queue* queue, Recipient* recipient);
// A recipient that left the index keeps its ring (if any) for its next use.
void ClearKeepingRing(Recipient* recipient);

inline __attribute__((always_inline)) bool Enqueue(Queue* queue, Recipient* recipient, Message message) {
  if (recipient->Queued == recipient->RingSize && !GrowRing(queue, recipient)) return false;
  recipient->Ring[(recipient->Oldest + recipient->Queued) & (recipient->RingSize - 1)] = message;
  ++recipient->Queued;
  return true;
}

inline __attribute__((always_inline)) Message Dequeue(Queue* queue, Recipient* recipient) {
  Message message = recipient->Ring[recipient->Oldest];
  recipient->Oldest = (recipient->Oldest + 1) & (recipient->RingSize - 1);
  --recipient->Queued;
  // Halved only when mostly empty, so that a length going up and down by one
  // never resizes back and forth; without memory it simply stays large.
  if (recipient->RingSize > kMostKeptRingSize && recipient->Queued < recipient->RingSize / 8) {
    ResizeRing(queue, recipient, recipient->RingSize / 2);
  }
  return message;
}

}  // namespace messaging

#endif
