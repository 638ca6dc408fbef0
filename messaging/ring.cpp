#include "ring.h"

#include <new>

#include "locking.h"

namespace messaging {
namespace {

static_assert(sizeof(Reply) == 16 && sizeof(std::atomic<uint64_t>) == 8, "a slot is a word, a reply two");
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the entry's words and the slots are lock-free");

uint32_t Log2(uint32_t size) {
  uint32_t log = 0;
  while ((uint32_t{1} << log) < size) ++log;
  return log;
}

// Copies one ticket's slot and reply from the old ring, once its post wrote
// it (a post that took its ticket before the close is two stores from done).
void CopyTicket(RingTag from, RingTag to, uint32_t ticket) {
  const RingView old_view = ViewOf(from);
  const RingView new_view = ViewOf(to);
  const uint32_t old_at = ticket & old_view.Mask;
  const uint32_t new_at = ticket & new_view.Mask;
  uint64_t slot = old_view.Slots[old_at].load(std::memory_order_acquire);
  for (uint32_t rounds = 0; !SlotHolds(slot, ticket);) {
    WaitForPublish(&rounds);
    slot = old_view.Slots[old_at].load(std::memory_order_acquire);
  }
  new_view.Replies[new_at].Sender.store(old_view.Replies[old_at].Sender.load(std::memory_order_relaxed),
                                        std::memory_order_relaxed);
  new_view.Replies[new_at].Token.store(old_view.Replies[old_at].Token.load(std::memory_order_relaxed),
                                       std::memory_order_relaxed);
  new_view.Slots[new_at].store(slot, std::memory_order_relaxed);
}

RingTag AllocateRing(Queue* queue, Shard* shard, uint32_t size) {
  const uint32_t log2 = Log2(size);
  const RingTag spare = shard->SpareRings[log2];
  if (spare != nullptr) {
    shard->SpareRings[log2] = ViewOf(spare).Trailer->NextSpare;
    return spare;
  }
  const uint32_t bytes = size * uint32_t{sizeof(uint64_t) + sizeof(Reply)} + uint32_t{sizeof(RingTrailer)};
  void* block = platform::HeapAlloc(queue->Heap, bytes + uint32_t{kCacheLine});
  if (block == nullptr) return nullptr;
  const RingTag ring = FirstLineIn(block) + log2;
  const RingView view = ViewOf(ring);
  for (uint32_t i = 0; i <= view.Mask; ++i) {
    new (&view.Slots[i]) std::atomic<uint64_t>(0);
    new (&view.Replies[i]) Reply{};
  }
  *view.Trailer = RingTrailer{nullptr, block};
  return ring;
}

// A spare ring may still be read by a take that found it before it left
// use: its slots are written atomically, and with release, so that a take
// that reads what this wrote also sees the head generation that turned it
// away (moved on before the ring became a spare).
void FillRing(RingTag ring, uint32_t head) {
  const RingView view = ViewOf(ring);
  for (uint32_t i = 0; i <= view.Mask; ++i) {
    const uint32_t ticket = head + i;
    view.Slots[ticket & view.Mask].store(SlotWord(ticket - view.Mask - 1, false, 0), std::memory_order_release);
  }
}

}  // namespace

RingTag MakeRing(Queue* queue, Shard* shard, uint32_t size, uint32_t head) {
  const RingTag ring = AllocateRing(queue, shard, size);
  if (ring != nullptr) FillRing(ring, head);
  return ring;
}

void RetireRing(Queue* queue, Shard* shard, RingTag ring) {
  if (ring == nullptr) return;
  if constexpr (!kLockFree) {
    FreeRing(queue, ring);
    return;
  }
  RingTag* spares = &shard->SpareRings[Log2SizeOf(ring)];
  ViewOf(ring).Trailer->NextSpare = *spares;
  *spares = ring;
}

void FreeSpareRings(Queue* queue, Shard* shard) {
  for (RingTag& spares : shard->SpareRings) {
    while (spares != nullptr) {
      const RingTag next = ViewOf(spares).Trailer->NextSpare;
      FreeRing(queue, spares);
      spares = next;
    }
  }
}

void FreeRing(Queue* queue, RingTag ring) {
  if (ring != nullptr) platform::HeapFree(queue->Heap, ViewOf(ring).Trailer->Block);
}

__attribute__((noinline)) bool GrowRing(Queue* queue, Shard* shard, Entry* entry, bool alone) {
  const RingTag old_ring = entry->ProducerRing.load(std::memory_order_relaxed);
  const uint32_t size = SizeOf(old_ring) * 2;
  if (old_ring == nullptr || size > kMostRingSize) return false;
  const RingTag ring = AllocateRing(queue, shard, size);
  if (ring == nullptr) return false;
  // Closed, no post takes a ticket; under the lock nothing else changes the
  // word until it reopens. The head is read only now: before the close,
  // posts could still fill slots that takes had freed since.
  const uint64_t tail = FetchOr(&entry->Tail, kClosed, alone);
  const uint32_t head = TicketOf(entry->Head.load(std::memory_order_acquire));
  FillRing(ring, head);
  for (uint32_t ticket = head; ticket != TicketOf(tail); ++ticket) CopyTicket(old_ring, ring, ticket);
  entry->ProducerRing.store(ring, std::memory_order_release);
  entry->ConsumerRing.store(ring, std::memory_order_release);
  // New generations: a take that read the old ring cannot claim, nor a
  // post that read the old word take a ticket, with the old ring in hand.
  NextHeadGeneration(&entry->Head, alone);
  entry->Tail.store((tail & ~kClosed) + kGeneration, std::memory_order_release);
  RetireRing(queue, shard, old_ring);
  return true;
}

__attribute__((noinline)) void WaitForPublish(uint32_t* rounds) {
  constexpr uint32_t kSpinsBeforeYield = 64;
  if (++*rounds < kSpinsBeforeYield && synchro::backoff::SpinningPays()) {
    synchro::backoff::CpuRelax();
  } else {
    platform::YieldThread();
  }
}

}  // namespace messaging
