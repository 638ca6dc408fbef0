// A recipient's ring: its messages in slots, one per ticket, which posts
// fill and takes claim through the entry's two words (queue.h) without the
// shard's lock; and the few steps that do need the lock: growing a full
// ring, and keeping the rings that left use for reuse.
//
// A post takes the next ticket with one compare-and-swap of the whole tail
// word, so it succeeds only while the word is open, without sleepers, and
// of the generation whose ring and key it read; then it writes its slot.
// A take claims the head's ticket with a compare-and-swap once its slot
// holds it, reading everything it needs from the slot first: once the head
// has passed it a post may fill the slot again. The head word carries a
// generation, moved on whenever the entry's ring is replaced or the entry
// retired, so the claim fails if the ring the take read from left use
// meanwhile. A ring that left use is never freed while takes run without
// the lock, only kept for reuse: a take that still reads one reads memory
// that is a ring's, whatever it holds, and its claim fails.
#ifndef QUENTHALOY_MESSAGING_RING_H
#define QUENTHALOY_MESSAGING_RING_H

#include "../sync/backoff.h"
#include "queue.h"

namespace messaging {

// --- The entry's words -------------------------------------------------------

constexpr uint64_t kTicketBits = 0xFFFFFFFFu;
constexpr uint64_t kSleepers = uint64_t{1} << 38;
constexpr uint64_t kClosed = uint64_t{1} << 39;
constexpr uint64_t kGeneration = uint64_t{1} << 40;
constexpr uint64_t kRetired = uint64_t{1} << 32;
// The head's generation takes the word's top bits: it wraps without
// touching the others.
constexpr uint64_t kHeadGeneration = uint64_t{1} << 33;

inline uint32_t TicketOf(uint64_t word) { return static_cast<uint32_t>(word); }
// The next ticket, wrapping at 2^32 without touching the bits above.
inline uint64_t NextTicket(uint64_t word) { return (word & ~kTicketBits) | uint32_t(TicketOf(word) + 1); }
inline bool HasQueued(const Entry* entry) {
  return TicketOf(entry->Tail.load(std::memory_order_acquire)) != TicketOf(entry->Head.load(std::memory_order_acquire));
}

// The read-modify-writes of the entry's words. While one thread alone has
// called the library (its shard's lock taken the plain way, see
// synchro::TakeAlone) nobody else can reach them, and they are plain loads
// and stores.
inline bool CompareExchange(std::atomic<uint64_t>* word, uint64_t* expected, uint64_t desired, bool alone) {
  if (alone) {
    const uint64_t now = word->load(std::memory_order_relaxed);
    if (now != *expected) {
      *expected = now;
      return false;
    }
    word->store(desired, std::memory_order_relaxed);
    return true;
  }
  return word->compare_exchange_strong(*expected, desired, std::memory_order_seq_cst, std::memory_order_acquire);
}

inline uint64_t FetchOr(std::atomic<uint64_t>* word, uint64_t bits, bool alone) {
  if (!alone) return word->fetch_or(bits, std::memory_order_seq_cst);
  const uint64_t before = word->load(std::memory_order_relaxed);
  word->store(before | bits, std::memory_order_relaxed);
  return before;
}

inline uint64_t FetchAnd(std::atomic<uint64_t>* word, uint64_t bits, bool alone) {
  if (!alone) return word->fetch_and(bits, std::memory_order_seq_cst);
  const uint64_t before = word->load(std::memory_order_relaxed);
  word->store(before & bits, std::memory_order_relaxed);
  return before;
}

inline void NextHeadGeneration(std::atomic<uint64_t>* head, bool alone) {
  if (!alone) {
    head->fetch_add(kHeadGeneration, std::memory_order_seq_cst);
    return;
  }
  head->store(head->load(std::memory_order_relaxed) + kHeadGeneration, std::memory_order_relaxed);
}

// --- Rings ------------------------------------------------------------------

// A synchronous post's sender and the number of its send, beside its slot.
struct Reply {
  std::atomic<platform::Parker*> Sender;
  std::atomic<uint64_t> Token;
};

// A ring is one heap block: its slots, their replies, then its trailer. It
// is known by its tag: its slots' address, cache-line aligned, plus the
// log2 of its size, so that one load gives both.
using RingTag = unsigned char*;
struct RingTrailer {
  RingTag NextSpare;
  void* Block;
};

constexpr uint32_t kFirstRingSize = 4;
// A recipient leaving the index keeps a ring up to this size for its next
// use; a larger one, grown for a burst, goes back to the heap.
constexpr uint32_t kMostKeptRingSize = 64;
// Doubling stops here: sizes and tickets stay far within 32-bit arithmetic,
// and a slot's 31 bits of ticket tell apart every ticket it can hold.
constexpr uint32_t kMostRingSize = 1u << 26;
constexpr uint32_t kSizeBits = 63;
static_assert(kMostRingSize == 1u << (kRingSizeClasses - 1), "a shard keeps spare rings of every size");

struct RingView {
  std::atomic<uint64_t>* Slots;
  Reply* Replies;
  RingTrailer* Trailer;
  uint32_t Mask;
};

inline uint32_t Log2SizeOf(RingTag ring) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ring) & kSizeBits);
}
inline uint32_t SizeOf(RingTag ring) { return ring == nullptr ? 0 : uint32_t{1} << Log2SizeOf(ring); }

inline RingView ViewOf(RingTag ring) {
  auto* slots = reinterpret_cast<std::atomic<uint64_t>*>(ring - Log2SizeOf(ring));
  const uint32_t size = SizeOf(ring);
  auto* replies = reinterpret_cast<Reply*>(slots + size);
  return RingView{slots, replies, reinterpret_cast<RingTrailer*>(replies + size), size - 1};
}

// A slot: | ticket:31 | synchronous:1 | value:32 |, written with one store.
inline uint64_t SlotWord(uint32_t ticket, bool synchronous, int32_t value) {
  return uint64_t{(ticket << 1) | uint32_t{synchronous}} << 32 | static_cast<uint32_t>(value);
}
inline bool SlotHolds(uint64_t slot, uint32_t ticket) {
  return ((static_cast<uint32_t>(slot >> 32) >> 1 ^ ticket) & 0x7FFFFFFFu) == 0;
}
inline bool SlotSynchronous(uint64_t slot) { return ((slot >> 32) & 1) != 0; }
inline int32_t SlotValue(uint64_t slot) { return static_cast<int32_t>(static_cast<uint32_t>(slot)); }

// Under the shard's lock: a ring of `size` slots, a spare of the shard's if
// it has one, each slot holding a ticket a lap behind the one from `head`
// on that it will hold next, so that no slot matches a ticket before its
// post; null without memory.
RingTag MakeRing(Queue* queue, Shard* shard, uint32_t size, uint32_t head);
// Under the shard's lock: a ring out of use. Where takes run without the
// lock it is kept among the shard's spares, else freed.
void RetireRing(Queue* queue, Shard* shard, RingTag ring);
// Frees the shard's spare rings (unload: nobody reads them any more).
void FreeSpareRings(Queue* queue, Shard* shard);
void FreeRing(Queue* queue, RingTag ring);
// Under the shard's lock, a full ring: doubled, the tickets queued copied
// over. False (and nothing changed) at the largest size or without memory.
__attribute__((noinline)) bool GrowRing(Queue* queue, Shard* shard, Entry* entry, bool alone);
// A take found its ticket taken but not yet written: the post is a few
// instructions from its store, unless it lost its processor.
__attribute__((noinline)) void WaitForPublish(uint32_t* rounds);

// --- Posts and takes ----------------------------------------------------------

enum class Outcome {
  kDone,
  kEmpty,   // a take found nothing queued
  kFull,    // a post under the lock found the ring full
  kLocked,  // the post or take must be made under the lock
};

// What a synchronous post leaves beside its slot, and what a take found there.
struct Sender {
  platform::Parker* Parker;  // null for a plain post
  uint64_t Token;
};

// Takes a ticket and writes the message. Without the lock (`locked` false)
// it gives up on a closed word, sleepers, or an entry that is not the key's
// any more; under it, it posts whatever the word says and returns, in
// `replaced`, the word its ticket replaced (the sleepers to wake).
inline __attribute__((always_inline)) Outcome Post(Entry* entry, int32_t key, int32_t value, Sender sender, bool locked,
                                                   bool alone, uint64_t* replaced) {
  uint64_t tail = entry->Tail.load(std::memory_order_acquire);
  for (;;) {
    if (!locked && (tail & (kClosed | kSleepers)) != 0) return Outcome::kLocked;
    RingTag ring = entry->ProducerRing.load(std::memory_order_acquire);
    // No ring: the entry was retired since the look at its word.
    if (ring == nullptr || (!locked && entry->ProducerKey.load(std::memory_order_relaxed) != key)) {
      return Outcome::kLocked;
    }
    const uint32_t ticket = TicketOf(tail);
    if (ticket - entry->SeenHead.load(std::memory_order_acquire) >= SizeOf(ring)) {
      const uint32_t head = TicketOf(entry->Head.load(std::memory_order_acquire));
      entry->SeenHead.store(head, std::memory_order_release);
      // A head past the ticket: the word read is stale, other posts and
      // takes went on meanwhile. Not a full ring: read the word again.
      if (static_cast<int32_t>(ticket - head) < 0) {
        tail = entry->Tail.load(std::memory_order_acquire);
        continue;
      }
      if (ticket - head >= SizeOf(ring)) return locked ? Outcome::kFull : Outcome::kLocked;
    }
    if (!CompareExchange(&entry->Tail, &tail, NextTicket(tail), alone)) continue;
    const RingView view = ViewOf(ring);
    const uint32_t at = ticket & view.Mask;
    if (sender.Parker != nullptr) {
      view.Replies[at].Sender.store(sender.Parker, std::memory_order_relaxed);
      view.Replies[at].Token.store(sender.Token, std::memory_order_relaxed);
    }
    view.Slots[at].store(SlotWord(ticket, sender.Parker != nullptr, value), std::memory_order_release);
    *replaced = tail;
    return Outcome::kDone;
  }
}

struct Taken {
  int32_t Value;
  Sender From;
};

// Whether the recipient surely had nothing queued at one moment during the
// look, which writes nothing: a poll of an empty recipient moves no line.
inline bool LooksEmpty(const Entry* entry, int32_t key) {
  const uint64_t before = entry->Tail.load(std::memory_order_acquire);
  if ((before & kClosed) != 0 || entry->ConsumerKey.load(std::memory_order_relaxed) != key) return false;
  const uint64_t head = entry->Head.load(std::memory_order_acquire);
  const uint64_t after = entry->Tail.load(std::memory_order_acquire);
  return before >> 40 == after >> 40 && TicketOf(after) == TicketOf(head);
}

// Claims the oldest message: reads the head word, then the ring and the
// slot, and claims with a compare-and-swap of the whole head word, which
// fails if the ring was replaced or the entry retired since the read. Without
// the lock (`unlocked`) it gives up on a retired entry or one that is not the
// key's any more. A take with `patience` watches the head slot that many
// pauses before it answers that nothing is queued: a waiter about to sleep
// reads only a line the next post writes anyway, not the posts' own.
inline __attribute__((always_inline)) Outcome Take(Entry* entry, int32_t key, bool unlocked, bool alone, int patience,
                                                   Taken* taken) {
  uint64_t head = entry->Head.load(std::memory_order_acquire);
  uint32_t rounds = 0;
  for (;;) {
    if (unlocked && ((head & kRetired) != 0 || entry->ConsumerKey.load(std::memory_order_relaxed) != key)) {
      return Outcome::kLocked;
    }
    const RingTag ring = entry->ConsumerRing.load(std::memory_order_acquire);
    if (ring == nullptr) return Outcome::kLocked;  // retired since the look at the head
    const RingView view = ViewOf(ring);
    const uint32_t ticket = TicketOf(head);
    const uint32_t at = ticket & view.Mask;
    const uint64_t slot = view.Slots[at].load(std::memory_order_acquire);
    if (SlotHolds(slot, ticket)) {
      Sender from{};
      if (SlotSynchronous(slot)) {
        from.Parker = view.Replies[at].Sender.load(std::memory_order_relaxed);
        from.Token = view.Replies[at].Token.load(std::memory_order_relaxed);
      }
      if (CompareExchange(&entry->Head, &head, NextTicket(head), alone)) {
        *taken = Taken{SlotValue(slot), from};
        return Outcome::kDone;
      }
      continue;  // another take claimed it, or the ring was replaced
    }
    if (patience > 0) {
      --patience;
      synchro::backoff::CpuRelax();
      head = entry->Head.load(std::memory_order_acquire);
      continue;
    }
    if (TicketOf(entry->Tail.load(std::memory_order_acquire)) == ticket) return Outcome::kEmpty;
    // Taken but not yet written, or the ring grew meanwhile.
    WaitForPublish(&rounds);
    head = entry->Head.load(std::memory_order_acquire);
  }
}

}  // namespace messaging

#endif
