// The messaging room: the per-process message queue and the four message
// calls. It owns an index of recipients split into shards, each with a lock
// word of its own (index); each recipient's ring of messages, which posts
// and takes reach without that lock while nothing about the recipient
// changes (ring); the lines of sleepers and the hand-off between a post and
// a take (sleepers); the blocking calls (send_and_wait); the private heap it
// allocates from; and, where the platform has one, the process-wide lock
// held around each operation (locking.h). docs/message-path.md explains the
// protocol and its model.
#ifndef QUENTHALOY_MESSAGING_QUEUE_H
#define QUENTHALOY_MESSAGING_QUEUE_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "../platform/platform.h"
#include "../sync/lock_word.h"

namespace messaging {

// What SendThreadMessage and SendThreadMessageAndWait return when their
// message could not be queued (no memory for it, or no queue at all).
constexpr int32_t kNotQueued = -1;

enum class SleepState : uint32_t {
  kAwake,   // in no line
  kLinked,  // in its recipient's line of sleepers
  kWoken,   // taken off the line by a post and woken, not yet back
};

// A thread's record of its wait and of its synchronous send, kept in its
// parker's room (memory of the library's that lives as long as the parker),
// never on its stack: a thread that leaves a wait by a jump out of a signal
// handler leaves nothing behind that the queue could write into once that
// stack is reused. Its next wait or send, or its end, tidies up after it.
struct Sleeper {
  Sleeper* Next;             // the next younger sleeper of its recipient
  platform::Parker* Parker;  // whose room it is
  // The recipient it waits on, while linked or woken, under the lock of
  // that recipient's shard; its state, written there and by its own thread.
  int32_t Key;
  std::atomic<SleepState> State;
  // Nonzero while a synchronous send waits for its take: the number of that
  // send, unique in the process (records are reused by other threads),
  // which the taker swaps for 0 before it wakes the sender (and the sender
  // itself, when it gives up waiting). Where the send went: its recipient
  // and its ticket, for a record that must outlive nothing (Tidy).
  std::atomic<uint64_t> SendToken;
  int32_t SendKey;
  uint32_t SendTicket;
};

// A recipient's entry: three cache lines, each written by one kind of
// thread, so that a steady stream moves no line both sides write. Entries
// are type-stable: once made they stay entries until the unload, in the
// index or among their shard's spares, so a thread that found one without
// the lock may read it after it left the index; what it reads is checked
// (key, generation, ticket) before it is trusted.
//
// Tail: | generation:24 | closed:1 | sleepers:1 | spare:6 | ticket:32 |
// Head: | generation:31 | retired:1 |                       ticket:32 |
struct alignas(64) Entry {  // NOLINT(clang-analyzer-optin.performance.Padding)
  // Written by posts. The ring (its address and size in one word, see
  // ring.h) and the key as posts read them, written only while Tail is
  // closed; SeenHead, the posts' last sight of the head's ticket.
  std::atomic<uint64_t> Tail;
  std::atomic<unsigned char*> ProducerRing;
  std::atomic<int32_t> ProducerKey;
  std::atomic<uint32_t> SeenHead;
  // Written by takes. The ring and key as takes read them, written only
  // while the entry is closed or retired.
  alignas(64) std::atomic<uint64_t> Head;
  std::atomic<unsigned char*> ConsumerRing;
  std::atomic<int32_t> ConsumerKey;
  // Written under the shard's lock: the chain of its bucket (or of the
  // spares), the key the index files it under, and its line of sleepers.
  alignas(64) std::atomic<Entry*> Chain;
  std::atomic<int32_t> Key;
  Sleeper* OldestSleeper;
  Sleeper* NewestSleeper;
};
static_assert(sizeof(Entry) == 192, "an entry is three cache lines");

// The first cache line boundary inside a heap block one line larger than
// what it must hold.
constexpr uintptr_t kCacheLine = 64;
inline unsigned char* FirstLineIn(void* block) {
  const auto misalignment = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block) % kCacheLine);
  return static_cast<unsigned char*>(block) + (misalignment == 0 ? 0 : kCacheLine - misalignment);
}

// A bucket array, kept until the unload once made (a walk without the lock
// may still be in an older one): each one doubles, so the older ones
// together are smaller than the newest.
struct Buckets {
  uint32_t Count;  // a power of two
  Buckets* Older;
  std::atomic<Entry*> Heads[1];  // Count of them
};

// Ring sizes are powers of two from 1 up to 2^26 (ring.h).
constexpr uint32_t kRingSizeClasses = 27;

// The recipients whose keys hash to it, in a chained hash index, under its
// lock word. The index's version is odd while the lock holder changes the
// index, so a walk without the lock that missed knows whether to trust it.
struct alignas(64) Shard {  // NOLINT(clang-analyzer-optin.performance.Padding)
  synchro::LockWord Lock;
  std::atomic<uint32_t> IndexVersion;
  std::atomic<Buckets*> Table;
  // The entry added last, while it stays in the index: a look-up tries it
  // first, on the line it reads anyway, as a stream to one key finds it.
  std::atomic<Entry*> Latest;
  // What changes only when recipients come and go or rings grow, on lines
  // of its own.
  alignas(64) uint32_t EntryCount;  // in the index
  uint32_t SweepHand;               // the next bucket the sweep looks at
  Entry* Spares;                    // left the index, each with a small ring
  void* EntryBlocks;                // where its entries live, until the unload
  // Rings out of use, by the log2 of their size, kept for reuse (ring.h).
  unsigned char* SpareRings[kRingSizeClasses];
};
static_assert(alignof(Shard) == 64 && sizeof(Shard) % 64 == 0, "a shard's hot words have a line of their own");

struct Queue {
  platform::QueueLock* Lock;  // where the platform must have one, else null
  platform::Heap* Heap;
  Shard* Shards;        // null while the queue is not usable
  void* ShardMemory;    // the heap block the shards were carved from
  uint32_t ShardShift;  // a key's shard is its hash's top bits
  uint32_t ShardCount;
  uint32_t Seed;                    // mixed into every key, drawn at load
  std::atomic<uint64_t> SendsMade;  // the synchronous sends' numbers
};

// Makes the queue's shards in `heap`; 1 when the queue is usable.
int32_t OnAttach(Queue* queue, platform::Heap* heap, uint32_t seed);
// Frees everything queued and closes the lock. No thread may be inside
// TidyAtThreadEnd any more.
int32_t OnDetach(Queue* queue);
// A thread with a parker ends: what its waits and sends left behind is
// undone (see Sleeper).
void TidyAtThreadEnd(Queue* queue, platform::Parker* parker);
// Around fork: the parent's thread holds every shard's lock across it, so
// that the child finds the index and the heap consistent.
void LockForFork(Queue* queue);
void UnlockAfterFork(Queue* queue);
// In a forked child: drops every message and sleeper of the parent, whose
// messages were queued for the parent's threads, not the child's, and
// frees every lock.
void ForgetInChild(Queue* queue);

int32_t SendThreadMessage(Queue* queue, int32_t recipient, int32_t value);
int32_t GetThreadMessage(Queue* queue, int32_t recipient);
int32_t SendThreadMessageAndWait(Queue* queue, int32_t recipient, int32_t value);
int32_t WaitThreadMessage(Queue* queue, int32_t recipient);

}  // namespace messaging

#endif
