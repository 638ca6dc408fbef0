// The messaging room: the per-process message queue and the four message
// calls. It owns an index of the recipients that have messages queued or
// threads waiting (index), split into shards that each have a lock word of
// their own, so that work on recipients of different shards never waits for
// each other; each recipient's ring of messages (ring); the lines of
// sleepers and the hand-off between a post and a take (sleepers); the
// blocking calls (send_and_wait); the private heap it allocates from; and,
// where the platform has one, the process-wide lock held around each
// operation (locking.h).
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

// A queued message. `Reply` is the parker of a synchronous sender waiting
// for the take, or null.
struct Message {
  int32_t Value;
  platform::Parker* Reply;
};

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
  // The recipient it waits on, while linked or woken; its state, under the
  // lock of that recipient's shard.
  int32_t Key;
  SleepState State;
  // The recipient of its synchronous send, while one is pending: 1 from
  // its post until a taker clears it (under that recipient's shard's lock)
  // and then wakes it.
  int32_t SendKey;
  std::atomic<uint32_t> SendPending;
  // Where it was linked, and the ring slot the next post would fill: only
  // prefetched on waking, so that the misses of the locked section that
  // follows overlap. Either may be stale by then, even freed.
  const void* LinkedAt;
  const void* NextSlot;
};

// One recipient that has messages queued or threads asleep. Both at once
// only while a woken sleeper is on its way back to take what was posted.
struct Recipient {
  Recipient* Chain;  // the next in its bucket
  // The messages queued, oldest first, in a ring of RingSize slots (a power
  // of two; 0 with no ring yet): a take behind a long backlog reads one
  // cache line per few messages, not one heap block per message.
  Message* Ring;
  Sleeper* OldestSleeper;
  Sleeper* NewestSleeper;
  int32_t Key;
  uint32_t RingSize;
  uint32_t Oldest;  // slot of the oldest message
  uint32_t Queued;
};

// The recipients whose keys hash to it, in a chained hash index
// (BucketCount a power of two), under its lock word.
// The padding is the point: two cache lines, one for each kind of use.
struct alignas(64) Shard {  // NOLINT(clang-analyzer-optin.performance.Padding)
  synchro::LockWord Lock;
  uint32_t BucketCount;
  Recipient** Buckets;
  // Room for one recipient in the lock word's cache line: the shard's first
  // recipient (usually its only one) is reached without a line of its own,
  // so a post or a take moves one line fewer between threads.
  Recipient Inline;
  // A line of its own for what changes only when recipients come and go,
  // so that work on one shard does not slow its neighbours'.
  alignas(64) bool InlineInUse;
  uint32_t RecipientCount;
  uint32_t SpareRecipientCount;
  // The last recipient left with nothing queued and nobody waiting, kept in
  // the index for its next post: a flow to one recipient reuses its entry.
  Recipient* IdleRecipient;
  // Recipients that left the index, kept (with a small ring) for the next
  // new ones, so that keys coming and going do not go to the heap each time.
  Recipient* SpareRecipients;
};
static_assert(offsetof(Shard, Inline) + sizeof(Recipient) <= 64 && sizeof(Shard) == 128,
              "a shard's lock word, index and first recipient share one cache line");

struct Queue {
  platform::QueueLock* Lock;  // where the platform must have one, else null
  platform::Heap* Heap;
  Shard* Shards;        // null while the queue is not usable
  void* ShardMemory;    // the heap block the shards were carved from
  uint32_t ShardShift;  // a key's shard is its hash's top bits
  uint32_t ShardCount;
  uint32_t Seed;  // mixed into every key, drawn at load
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
