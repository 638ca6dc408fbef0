#include "ring.h"

#include <new>

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

RingTag AllocateRing(Queue* queue, uint32_t size) {
  const uint32_t bytes = size * uint32_t{sizeof(uint64_t) + sizeof(Reply)} + uint32_t{sizeof(RingTrailer)};
  void* block = platform::HeapAlloc(queue->Heap, bytes + uint32_t{kCacheLine});
  if (block == nullptr) return nullptr;
  const RingTag ring = FirstLineIn(block) + Log2(size);
  *ViewOf(ring).Trailer = RingTrailer{nullptr, block};
  return ring;
}

void FillRing(RingTag ring, uint32_t head) {
  const RingView view = ViewOf(ring);
  for (uint32_t i = 0; i <= view.Mask; ++i) {
    const uint32_t ticket = head + i;
    new (&view.Slots[ticket & view.Mask]) std::atomic<uint64_t>(SlotWord(ticket - view.Mask - 1, false, 0));
    new (&view.Replies[i]) Reply{};
  }
}

}  // namespace

RingTag MakeRing(Queue* queue, uint32_t size, uint32_t head) {
  const RingTag ring = AllocateRing(queue, size);
  if (ring != nullptr) FillRing(ring, head);
  return ring;
}

void FreeRing(Queue* queue, RingTag ring) {
  if (ring != nullptr) platform::HeapFree(queue->Heap, ViewOf(ring).Trailer->Block);
}

__attribute__((noinline)) bool GrowRing(Queue* queue, Entry* entry, bool alone) {
  const RingTag old_ring = entry->ProducerRing.load(std::memory_order_relaxed);
  const uint32_t size = SizeOf(old_ring) * 2;
  if (old_ring == nullptr || size > kMostRingSize) return false;
  const RingTag ring = AllocateRing(queue, size);
  if (ring == nullptr) return false;
  // Closed, no post takes a ticket; under the lock nothing else changes the
  // word until it reopens. The head is read only now: before the close,
  // posts could still fill slots that takes had freed since.
  const uint64_t tail = FetchOr(&entry->Tail, kClosed, alone);
  const uint32_t head = TicketOf(entry->Head.load(std::memory_order_acquire));
  FillRing(ring, head);
  for (uint32_t ticket = head; ticket != TicketOf(tail); ++ticket) CopyTicket(old_ring, ring, ticket);
  entry->ProducerRing.store(ring, std::memory_order_release);
  entry->ConsumerRing.store(ring, std::memory_order_seq_cst);
  // A new generation: a post that read the old word cannot take a ticket
  // with the old ring in hand.
  entry->Tail.store((tail & ~kClosed) + kGeneration, std::memory_order_release);
  ViewOf(old_ring).Trailer->NextOutgrown = entry->Outgrown;
  entry->Outgrown = old_ring;
  FreeOutgrownIfUnvisited(queue, entry);
  return true;
}

void FreeOutgrown(Queue* queue, Entry* entry) {
  RingTag ring = entry->Outgrown;
  while (ring != nullptr) {
    const RingTag next = ViewOf(ring).Trailer->NextOutgrown;
    FreeRing(queue, ring);
    ring = next;
  }
  entry->Outgrown = nullptr;
}

// A take that became a visitor after the look reads the new ring: the
// ring's store, the visitor's fetch-and-add, its look at the ring and this
// look at the visitors are all sequentially consistent.
void FreeOutgrownIfUnvisited(Queue* queue, Entry* entry) {
  if (entry->Outgrown == nullptr) return;
  if ((entry->Head.load(std::memory_order_seq_cst) & kVisitorBits) == 0) FreeOutgrown(queue, entry);
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
