// Per recipient, a ring of messages oldest first and a line of sleepers
// oldest first, found through a hash index split into shards; a recipient's
// ring and line are guarded by its shard's lock word alone, so threads on
// recipients of other shards never wait for each other. Where the platform
// has a process-wide queue lock, each operation also holds it, outside the
// shard's.
//
// A post queues its message and wakes the oldest sleeper of its recipient,
// if one is linked; the woken thread comes back under the lock and takes
// the oldest message itself. So a message stays queued until a living
// thread takes it: one woken thread that never comes back loses nothing, and
// whatever it leaves is taken by the next take or passed on to the next
// sleeper when its end or its next call is seen. A thread that finds a
// message queued takes it, even if a sleeper was woken for it meanwhile: the
// woken one, finding nothing, goes back to the head of the line.
//
// No recipient has a message queued and sleepers linked with nobody woken
// for it: a sleeper links itself only with nothing queued, and every post to
// a recipient with a linked sleeper wakes one, so there are never more
// messages queued than sleepers woken and not yet back.
//
// The thread a post or a take must wake is woken after the locks are
// released, so that it does not wake into a lock still held.
#include "queue.h"

namespace messaging {
namespace {

constexpr uint32_t kFewestShards = 16;
constexpr uint32_t kMostShards = 1024;
constexpr uint32_t kCacheLine = 64;
constexpr uint32_t kFewestBuckets = 16;
// Past this the chains grow instead: the table's size stays far within
// 32-bit arithmetic.
constexpr uint32_t kMostBuckets = 1u << 22;
// A bucket is the head of a chain: one pointer.
constexpr uint32_t kBucketSize = sizeof(Recipient*);  // NOLINT(bugprone-sizeof-expression)
constexpr uint32_t kMostSpareRecipients = 16;
constexpr uint32_t kFirstRingSize = 8;
// A recipient leaving the index keeps a ring up to this size for its next
// use; a larger one, grown for a burst, goes back to the heap.
constexpr uint32_t kMostKeptRingSize = 64;
// Doubling stops here: the ring's size stays far within 32-bit arithmetic.
constexpr uint32_t kMostRingSize = 1u << 26;
// How long a wait without a parker or without memory for its entry sleeps
// between looks at its recipient.
constexpr uint32_t kPollMilliseconds = 1;

static_assert(sizeof(Sleeper) <= platform::kParkerRoomSize, "a thread's sleeper record fits in its parker");
static_assert(alignof(Sleeper) <= 8, "the parker's room is aligned to 8");
static_assert((kFewestShards & (kFewestShards - 1)) == 0 && (kMostShards & (kMostShards - 1)) == 0,
              "shard counts are powers of two");
static_assert(uint64_t{kMostShards} * kMostBuckets <= (uint64_t{1} << 32),
              "a shard's top bits of the hash and a bucket's low bits never overlap");

// The queue the thread-end hook tidies up in: the process has one.
Queue* hooked_queue = nullptr;

Sleeper* SleeperOf(platform::Parker* parker) {
  auto* sleeper = static_cast<Sleeper*>(platform::ParkerRoom(parker));
  sleeper->Parker = parker;
  return sleeper;
}

// The lock word's fast paths; the platform spins and sleeps for the rest.
// While one thread alone calls the library (EnterOnlyCaller), it takes and
// gives back the word with plain loads and stores, in one section from the
// take to the give-back; a signal handler of its own that finds the word
// held would wait for ever, as it would for a word taken atomically.
inline __attribute__((always_inline)) void LockShard(Shard* shard) {
  if (platform::EnterOnlyCaller()) {
    if (shard->Lock.load(std::memory_order_relaxed) == platform::kLockWordFree) {
      shard->Lock.store(platform::kLockWordHeldAlone, std::memory_order_relaxed);
      return;
    }
    platform::LeaveOnlyCaller();
  }
  uint32_t expected = platform::kLockWordFree;
  if (!shard->Lock.compare_exchange_strong(expected, platform::kLockWordHeld, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
    platform::LockWordWait(&shard->Lock);
  }
}

inline __attribute__((always_inline)) void UnlockShard(Shard* shard) {
  if (shard->Lock.load(std::memory_order_relaxed) == platform::kLockWordHeldAlone) {
    shard->Lock.store(platform::kLockWordFree, std::memory_order_release);
    platform::LeaveOnlyCaller();
    return;
  }
  if (shard->Lock.exchange(platform::kLockWordFree, std::memory_order_release) == platform::kLockWordContended) {
    platform::LockWordWake(&shard->Lock);
  }
}

// What a locked section leaves to do once the locks are released.
struct AfterUnlock {
  platform::Parker* Wake;
};

inline __attribute__((always_inline)) void Lock(Queue* queue, Shard* shard) {
  platform::QueueLockAcquire(queue->Lock);
  LockShard(shard);
}

inline __attribute__((always_inline)) void UnlockAndWake(Queue* queue, Shard* shard, AfterUnlock work) {
  UnlockShard(shard);
  platform::QueueLockRelease(queue->Lock);
  if (work.Wake != nullptr) platform::Unpark(work.Wake);
}

// Read before any lock is taken, so it looks at what only load and unload
// change.
bool Usable(const Queue* queue) { return queue->Shards != nullptr; }

// A post that queued nothing, for want of memory (for its message, or for
// the whole queue at load), which the host is told where it reads why a
// call failed.
__attribute__((noinline, cold)) int32_t NotQueued() {
  platform::ReportNoMemory();
  return kNotQueued;
}

// A take from a queue that could not be made at load: no message can ever
// come, and 0 says why in the same place.
__attribute__((noinline, cold)) int32_t NoQueue() {
  platform::ReportNoMemory();
  return 0;
}

// The key and the seed mixed by one wide multiplication, whose upper half
// depends on every bit of both: a host cannot choose keys that share a
// shard or a bucket without knowing the seed.
uint32_t HashOf(const Queue* queue, int32_t key) {
  const uint64_t product = uint64_t{static_cast<uint32_t>(key) ^ queue->Seed} * 0x9E3779B97F4A7C15u;
  return static_cast<uint32_t>(product >> 32);
}

Shard* ShardOf(const Queue* queue, uint32_t hash) { return &queue->Shards[hash >> queue->ShardShift]; }

uint32_t BucketOf(const Shard* shard, uint32_t hash) { return hash & (shard->BucketCount - 1); }

void* Allocate(Queue* queue, uint32_t size) { return platform::HeapAlloc(queue->Heap, size); }

// Moves every recipient into a table of `count` buckets; without memory for
// it the index keeps its size, only its chains grow.
void Resize(Queue* queue, Shard* shard, uint32_t count) {
  auto** buckets = static_cast<Recipient**>(Allocate(queue, count * kBucketSize));
  if (buckets == nullptr) return;
  Recipient** old = shard->Buckets;
  uint32_t old_count = shard->BucketCount;
  shard->Buckets = buckets;
  shard->BucketCount = count;
  for (uint32_t i = 0; i < old_count; ++i) {
    Recipient* recipient = old[i];
    while (recipient != nullptr) {
      Recipient* next = recipient->Chain;
      Recipient** bucket = &buckets[BucketOf(shard, HashOf(queue, recipient->Key))];
      recipient->Chain = *bucket;
      *bucket = recipient;
      recipient = next;
    }
  }
  platform::HeapFree(queue->Heap, old);
}

// `hash` is the key's HashOf, found once per call.
Recipient* Find(const Shard* shard, int32_t key, uint32_t hash) {
  Recipient* recipient = shard->Buckets[BucketOf(shard, hash)];
  while (recipient != nullptr && recipient->Key != key) recipient = recipient->Chain;
  return recipient;
}

// A recipient that left the index keeps its ring (if any) for its next use.
void ClearKeepingRing(Recipient* recipient) {
  Message* ring = recipient->Ring;
  uint32_t ring_size = recipient->RingSize;
  *recipient = Recipient{};
  recipient->Ring = ring;
  recipient->RingSize = ring_size;
}

// Out of line: a flow to one recipient finds its entry in the index.
__attribute__((noinline)) Recipient* Add(Queue* queue, Shard* shard, int32_t key, uint32_t hash) {
  Recipient* recipient = shard->SpareRecipients;
  if (!shard->InlineInUse) {
    recipient = &shard->Inline;
    shard->InlineInUse = true;
    ClearKeepingRing(recipient);
  } else if (recipient != nullptr) {
    shard->SpareRecipients = recipient->Chain;
    --shard->SpareRecipientCount;
    ClearKeepingRing(recipient);
  } else {
    recipient = static_cast<Recipient*>(Allocate(queue, sizeof(Recipient)));
    if (recipient == nullptr) return nullptr;
  }
  recipient->Key = key;
  Recipient** bucket = &shard->Buckets[BucketOf(shard, hash)];
  recipient->Chain = *bucket;
  *bucket = recipient;
  if (++shard->RecipientCount > shard->BucketCount && shard->BucketCount < kMostBuckets) {
    Resize(queue, shard, shard->BucketCount * 2);
  }
  return recipient;
}

inline __attribute__((always_inline)) Recipient* FindOrAdd(Queue* queue, Shard* shard, int32_t key, uint32_t hash) {
  Recipient* recipient = Find(shard, key, hash);
  return recipient != nullptr ? recipient : Add(queue, shard, key, hash);
}

bool Idle(const Recipient* recipient) { return recipient->Queued == 0 && recipient->OldestSleeper == nullptr; }

void FreeRing(Queue* queue, Recipient* recipient) {
  if (recipient->Ring != nullptr) platform::HeapFree(queue->Heap, recipient->Ring);
  recipient->Ring = nullptr;
  recipient->RingSize = 0;
}

// The shard's own recipient is only marked free; its ring stays, for the
// next, unless grown for a burst.
void FreeRecipient(Queue* queue, Shard* shard, Recipient* recipient) {
  if (recipient == &shard->Inline) {
    shard->InlineInUse = false;
    if (recipient->RingSize > kMostKeptRingSize) FreeRing(queue, recipient);
    return;
  }
  FreeRing(queue, recipient);
  platform::HeapFree(queue->Heap, recipient);
}

// Moves the queued messages, oldest first, into a ring of `size` slots;
// false (and nothing changed) without memory for it.
__attribute__((noinline)) bool ResizeRing(Queue* queue, Recipient* recipient, uint32_t size) {
  auto* ring = static_cast<Message*>(Allocate(queue, size * static_cast<uint32_t>(sizeof(Message))));
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

bool Enqueue(Queue* queue, Recipient* recipient, Message message) {
  if (recipient->Queued == recipient->RingSize) {
    uint32_t size = recipient->RingSize == 0 ? kFirstRingSize : recipient->RingSize * 2;
    if (size > kMostRingSize || !ResizeRing(queue, recipient, size)) return false;
  }
  recipient->Ring[(recipient->Oldest + recipient->Queued) & (recipient->RingSize - 1)] = message;
  ++recipient->Queued;
  return true;
}

Message Dequeue(Queue* queue, Recipient* recipient) {
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

__attribute__((noinline)) void Unindex(Queue* queue, Shard* shard, Recipient* recipient) {
  QUENTHALOY_CHECK(Idle(recipient) && shard->IdleRecipient != recipient);
  Recipient** link = &shard->Buckets[BucketOf(shard, HashOf(queue, recipient->Key))];
  while (*link != recipient) link = &(*link)->Chain;
  *link = recipient->Chain;
  --shard->RecipientCount;
  if (recipient != &shard->Inline && shard->SpareRecipientCount < kMostSpareRecipients) {
    if (recipient->RingSize > kMostKeptRingSize) FreeRing(queue, recipient);
    recipient->Chain = shard->SpareRecipients;
    shard->SpareRecipients = recipient;
    ++shard->SpareRecipientCount;
  } else {
    FreeRecipient(queue, shard, recipient);
  }
  // Halved only when mostly empty, so that a count going up and down by one
  // never resizes back and forth.
  if (shard->BucketCount > kFewestBuckets && shard->RecipientCount < shard->BucketCount / 8) {
    Resize(queue, shard, shard->BucketCount / 2);
  }
}

// A recipient with nothing queued and nobody waiting leaves the index, so
// that it follows what is queued and waited for now, not every key ever
// used; all but the shard's latest one, which stays for its next post. A
// sleeper woken meanwhile holds no pointer to it: it looks its key up again.
inline __attribute__((always_inline)) void RemoveIfIdle(Queue* queue, Shard* shard, Recipient* recipient) {
  if (!Idle(recipient) || shard->IdleRecipient == recipient) return;
  Recipient* previous = shard->IdleRecipient;
  shard->IdleRecipient = recipient;
  if (previous != nullptr && Idle(previous)) Unindex(queue, shard, previous);
}

// Takes the oldest message; its sender, if one waits, is told under the lock
// and to be woken after the unlock.
inline __attribute__((always_inline)) int32_t TakeLocked(Queue* queue, Recipient* recipient, AfterUnlock* work) {
  Message message = Dequeue(queue, recipient);
  if (message.Reply != nullptr) {
    SleeperOf(message.Reply)->SendPending.store(0, std::memory_order_release);
    work->Wake = message.Reply;
  }
  return message.Value;
}

// Takes the oldest sleeper that can still take a message off the line and
// notes it to be woken; sleepers whose threads ended unseen are dropped.
void WakeOldestSleeper(Recipient* recipient, AfterUnlock* work) {
  while (recipient->OldestSleeper != nullptr) {
    Sleeper* sleeper = recipient->OldestSleeper;
    recipient->OldestSleeper = sleeper->Next;
    if (recipient->OldestSleeper == nullptr) recipient->NewestSleeper = nullptr;
    sleeper->Next = nullptr;
    platform::Parker* parker = sleeper->Parker;
    if (!platform::ParkerThreadAlive(parker)) {
      sleeper->State = SleepState::kAwake;  // nobody will ever wake it again
      continue;
    }
    sleeper->State = SleepState::kWoken;
    work->Wake = parker;
    return;
  }
}

// Queues the message and wakes the oldest sleeper, if any. False when no
// memory was left: then nothing was posted.
inline __attribute__((always_inline)) bool PostLocked(Queue* queue, Shard* shard, int32_t key, uint32_t hash,
                                                      Message message, AfterUnlock* work) {
  Recipient* recipient = FindOrAdd(queue, shard, key, hash);
  if (recipient == nullptr) return false;
  if (!Enqueue(queue, recipient, message)) {
    RemoveIfIdle(queue, shard, recipient);
    return false;
  }
  WakeOldestSleeper(recipient, work);
  return true;
}

void NoteWhereLinked(const Recipient* recipient, Sleeper* sleeper) {
  sleeper->LinkedAt = recipient;
  sleeper->NextSlot = recipient->Ring != nullptr ? &recipient->Ring[recipient->Oldest] : nullptr;
}

// A woken sleeper's locked section takes the shard's word, then reads and
// writes its recipient and the slot of the message posted: prefetched
// together, their misses cost about one.
inline __attribute__((always_inline)) void PrefetchForWake(const Shard* shard, const Sleeper* sleeper) {
  __builtin_prefetch(shard, 1);
  __builtin_prefetch(sleeper->LinkedAt, 1);
  if (sleeper->NextSlot != nullptr) __builtin_prefetch(sleeper->NextSlot, 0);
}

void LinkNewest(Recipient* recipient, Sleeper* sleeper) {
  QUENTHALOY_CHECK(recipient->Queued == 0);  // a waiter sleeps only with nothing queued
  QUENTHALOY_CHECK(sleeper->State == SleepState::kAwake && sleeper->Next == nullptr);  // never linked twice
  if (recipient->NewestSleeper != nullptr) {
    recipient->NewestSleeper->Next = sleeper;
  } else {
    recipient->OldestSleeper = sleeper;
  }
  recipient->NewestSleeper = sleeper;
  sleeper->Key = recipient->Key;
  sleeper->State = SleepState::kLinked;
  NoteWhereLinked(recipient, sleeper);
}

// A woken sleeper that found nothing left goes back to the head of the
// line, where it was.
void LinkOldest(Recipient* recipient, Sleeper* sleeper) {
  QUENTHALOY_CHECK(recipient->Queued == 0);
  QUENTHALOY_CHECK(sleeper->State == SleepState::kAwake && sleeper->Next == nullptr);
  sleeper->Next = recipient->OldestSleeper;
  recipient->OldestSleeper = sleeper;
  if (recipient->NewestSleeper == nullptr) recipient->NewestSleeper = sleeper;
  sleeper->Key = recipient->Key;
  sleeper->State = SleepState::kLinked;
  NoteWhereLinked(recipient, sleeper);
}

void Unlink(Recipient* recipient, Sleeper* sleeper) {
  Sleeper* previous = nullptr;
  Sleeper* at = recipient->OldestSleeper;
  while (at != nullptr && at != sleeper) {
    previous = at;
    at = at->Next;
  }
  QUENTHALOY_CHECK(at == sleeper);
  if (at == nullptr) return;
  if (previous != nullptr) {
    previous->Next = sleeper->Next;
  } else {
    recipient->OldestSleeper = sleeper->Next;
  }
  if (recipient->NewestSleeper == sleeper) recipient->NewestSleeper = previous;
  sleeper->Next = nullptr;
  sleeper->State = SleepState::kAwake;
}

// Undoes what a wait or a synchronous send of this thread left behind when
// it did not return the normal way (a jump out of a signal handler), or
// when its thread ends: its sleeper leaves its line; a wake-up it got but
// never used goes on to the next sleeper of that recipient, if a message is
// queued there; a message of its still queued loses its sender, so that no
// take writes into this record once it belongs to another thread.
void Tidy(Queue* queue, Sleeper* self) {
  if (self->State != SleepState::kAwake) {
    const uint32_t hash = HashOf(queue, self->Key);
    Shard* shard = ShardOf(queue, hash);
    AfterUnlock work{};
    Lock(queue, shard);
    Recipient* recipient = Find(shard, self->Key, hash);
    if (self->State == SleepState::kLinked && recipient != nullptr) {
      Unlink(recipient, self);
    } else if (self->State == SleepState::kWoken && recipient != nullptr && recipient->Queued > 0) {
      WakeOldestSleeper(recipient, &work);
    }
    self->State = SleepState::kAwake;
    if (recipient != nullptr) RemoveIfIdle(queue, shard, recipient);
    UnlockAndWake(queue, shard, work);
  }
  if (self->SendPending.load(std::memory_order_acquire) != 0) {
    const uint32_t hash = HashOf(queue, self->SendKey);
    Shard* shard = ShardOf(queue, hash);
    Lock(queue, shard);
    Recipient* recipient = Find(shard, self->SendKey, hash);
    for (uint32_t i = 0; recipient != nullptr && i < recipient->Queued; ++i) {
      Message* message = &recipient->Ring[(recipient->Oldest + i) & (recipient->RingSize - 1)];
      if (message->Reply == self->Parker) message->Reply = nullptr;
    }
    self->SendPending.store(0, std::memory_order_relaxed);
    UnlockAndWake(queue, shard, AfterUnlock{});
  }
}

void TidyAtThreadEnd(platform::Parker* parker) {
  Queue* queue = hooked_queue;
  if (queue != nullptr && Usable(queue)) Tidy(queue, SleeperOf(parker));
}

// The slow way to wait, for a thread without a parker or a wait without
// memory for its recipient's entry: a look every few milliseconds, until a
// message is there. Called and returns with the locks held.
int32_t PollLocked(Queue* queue, Shard* shard, int32_t key, uint32_t hash, AfterUnlock* work) {
  for (;;) {
    Recipient* recipient = Find(shard, key, hash);
    if (recipient != nullptr && recipient->Queued > 0) {
      int32_t value = TakeLocked(queue, recipient, work);
      RemoveIfIdle(queue, shard, recipient);
      return value;
    }
    UnlockShard(shard);
    platform::QueueLockRelease(queue->Lock);
    platform::SleepMilliseconds(kPollMilliseconds);
    Lock(queue, shard);
  }
}

// Frees every recipient of the shard and its ring. Sleepers are left where
// they are: in the parkers of threads that will never be woken (unload) or
// that do not exist (a forked child).
void FreeIndexed(Queue* queue, Shard* shard) {
  for (uint32_t i = 0; i < shard->BucketCount; ++i) {
    Recipient* recipient = shard->Buckets[i];
    while (recipient != nullptr) {
      Recipient* next = recipient->Chain;
      FreeRecipient(queue, shard, recipient);
      recipient = next;
    }
    shard->Buckets[i] = nullptr;
  }
  shard->RecipientCount = 0;
  shard->IdleRecipient = nullptr;
}

void FreeShard(Queue* queue, Shard* shard) {
  if (shard->Buckets != nullptr) {
    FreeIndexed(queue, shard);
    platform::HeapFree(queue->Heap, shard->Buckets);
    shard->Buckets = nullptr;
  }
  while (shard->SpareRecipients != nullptr) {
    Recipient* next = shard->SpareRecipients->Chain;
    FreeRecipient(queue, shard, shard->SpareRecipients);
    shard->SpareRecipients = next;
  }
  FreeRing(queue, &shard->Inline);
  shard->SpareRecipientCount = 0;
}

void FreeShards(Queue* queue) {
  for (uint32_t i = 0; i < queue->ShardCount; ++i) FreeShard(queue, &queue->Shards[i]);
  platform::HeapFree(queue->Heap, queue->ShardMemory);
  queue->Shards = nullptr;
  queue->ShardMemory = nullptr;
}

// Two shards a processor at the least, so that threads on different keys
// seldom meet in one.
uint32_t ShardCountFor(uint32_t processors) {
  uint32_t count = kFewestShards;
  while (count < kMostShards && count < 2 * processors) count *= 2;
  return count;
}

}  // namespace

int32_t OnAttach(Queue* queue, platform::Heap* heap, uint32_t seed) {
  *queue = Queue{};
  queue->Heap = heap;
  queue->Seed = seed;
  const uint32_t count = ShardCountFor(platform::ProcessorCount());
  uint32_t shift = 32;
  for (uint32_t c = count; c > 1; c /= 2) --shift;
  void* memory = platform::HeapAlloc(heap, count * static_cast<uint32_t>(sizeof(Shard)) + kCacheLine);
  if (memory == nullptr) return 0;
  // The shards start on a cache line of their own: moved forward within the
  // spare line the block has for it.
  const auto misalignment = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(memory) % kCacheLine);
  unsigned char* first = static_cast<unsigned char*>(memory) + (misalignment == 0 ? 0 : kCacheLine - misalignment);
  queue->ShardMemory = memory;
  queue->Shards = reinterpret_cast<Shard*>(first);
  queue->ShardCount = count;
  queue->ShardShift = shift;
  for (uint32_t i = 0; i < count; ++i) {
    Shard* shard = &queue->Shards[i];
    shard->Buckets = static_cast<Recipient**>(platform::HeapAlloc(heap, kFewestBuckets * kBucketSize));
    shard->BucketCount = kFewestBuckets;
    if (shard->Buckets == nullptr) {
      FreeShards(queue);
      return 0;
    }
  }
  queue->Lock = platform::QueueLockOpen();
  hooked_queue = queue;
  platform::SetParkerEndHook(TidyAtThreadEnd);
  return 1;
}

int32_t OnDetach(Queue* queue) {
  if (!Usable(queue)) return 0;
  // Returns once no ending thread is inside the hook.
  platform::SetParkerEndHook(nullptr);
  hooked_queue = nullptr;
  platform::QueueLockAcquire(queue->Lock);
  FreeShards(queue);
  platform::QueueLockRelease(queue->Lock);
  platform::QueueLockClose(queue->Lock);
  queue->Lock = nullptr;
  return 0;
}

// In shard order, one at a time: no operation ever holds two shards' locks,
// so this waits only for operations under way.
void LockForFork(Queue* queue) {
  if (!Usable(queue)) return;
  for (uint32_t i = 0; i < queue->ShardCount; ++i) LockShard(&queue->Shards[i]);
}

void UnlockAfterFork(Queue* queue) {
  if (!Usable(queue)) return;
  for (uint32_t i = 0; i < queue->ShardCount; ++i) UnlockShard(&queue->Shards[i]);
}

void ForgetInChild(Queue* queue) {
  if (!Usable(queue)) return;
  for (uint32_t i = 0; i < queue->ShardCount; ++i) {
    Shard* shard = &queue->Shards[i];
    FreeIndexed(queue, shard);
    shard->Lock.store(platform::kLockWordFree, std::memory_order_relaxed);
  }
  // The forking thread's record of its sleeps, which named recipients that
  // are gone, was cleared by the platform with its parker's room.
}

int32_t SendThreadMessage(Queue* queue, int32_t recipient, int32_t value) {
  if (!Usable(queue)) return NotQueued();
  const uint32_t hash = HashOf(queue, recipient);
  Shard* shard = ShardOf(queue, hash);
  AfterUnlock work{};
  Lock(queue, shard);
  const bool queued = PostLocked(queue, shard, recipient, hash, Message{value, nullptr}, &work);
  UnlockAndWake(queue, shard, work);
  return queued ? 0 : NotQueued();
}

int32_t GetThreadMessage(Queue* queue, int32_t recipient) {
  if (!Usable(queue)) return NoQueue();
  const uint32_t hash = HashOf(queue, recipient);
  Shard* shard = ShardOf(queue, hash);
  int32_t value = 0;
  AfterUnlock work{};
  Lock(queue, shard);
  Recipient* entry = Find(shard, recipient, hash);
  if (entry != nullptr && entry->Queued > 0) {
    value = TakeLocked(queue, entry, &work);
    RemoveIfIdle(queue, shard, entry);
  }
  UnlockAndWake(queue, shard, work);
  return value;
}

int32_t SendThreadMessageAndWait(Queue* queue, int32_t recipient, int32_t value) {
  if (!Usable(queue)) return NotQueued();
  // Without a parker the message is queued as a plain one and the call
  // returns at once: better than a sender that can never be released.
  platform::Parker* reply = platform::ParkerOfThisThread();
  Sleeper* self = reply != nullptr ? SleeperOf(reply) : nullptr;
  if (self != nullptr) Tidy(queue, self);
  const uint32_t hash = HashOf(queue, recipient);
  Shard* shard = ShardOf(queue, hash);
  AfterUnlock work{};
  Lock(queue, shard);
  if (self != nullptr) {
    self->SendKey = recipient;
    self->SendPending.store(1, std::memory_order_relaxed);
  }
  const bool queued = PostLocked(queue, shard, recipient, hash, Message{value, reply}, &work);
  if (!queued && self != nullptr) self->SendPending.store(0, std::memory_order_relaxed);
  UnlockAndWake(queue, shard, work);
  if (!queued) return NotQueued();
  if (self == nullptr) return 0;
  // The taker clears the flag and then gives exactly one Unpark, which the
  // first Park consumes; a later Park only follows a wake-up left over
  // from a wait this thread jumped out of.
  do {
    platform::Park(reply);
  } while (self->SendPending.load(std::memory_order_acquire) != 0);
  return 0;
}

int32_t WaitThreadMessage(Queue* queue, int32_t recipient) {
  if (!Usable(queue)) return NoQueue();
  platform::Parker* parker = platform::ParkerOfThisThread();
  Sleeper* self = parker != nullptr ? SleeperOf(parker) : nullptr;
  if (self != nullptr) Tidy(queue, self);
  const uint32_t hash = HashOf(queue, recipient);
  Shard* shard = ShardOf(queue, hash);
  AfterUnlock work{};
  Lock(queue, shard);
  for (;;) {
    Recipient* entry = Find(shard, recipient, hash);
    if (entry != nullptr && entry->Queued > 0) {
      // Woken or not: a linked sleeper that finds a message takes it (one
      // woken for it will find nothing and go back to the line).
      if (self != nullptr && self->State == SleepState::kLinked) Unlink(entry, self);
      if (self != nullptr) self->State = SleepState::kAwake;
      const int32_t value = TakeLocked(queue, entry, &work);
      RemoveIfIdle(queue, shard, entry);
      UnlockAndWake(queue, shard, work);
      return value;
    }
    if (self != nullptr && self->State == SleepState::kWoken) {
      self->State = SleepState::kAwake;  // taken by another: back to the head of the line
      entry = FindOrAdd(queue, shard, recipient, hash);
      if (entry != nullptr) LinkOldest(entry, self);
    } else if (self != nullptr && self->State == SleepState::kAwake) {
      entry = FindOrAdd(queue, shard, recipient, hash);
      if (entry != nullptr) LinkNewest(entry, self);
    }
    if (self == nullptr || self->State != SleepState::kLinked) {
      // No parker, or no memory for the entry: never return without a
      // message, look again every few milliseconds instead.
      const int32_t value = PollLocked(queue, shard, recipient, hash, &work);
      UnlockAndWake(queue, shard, work);
      return value;
    }
    UnlockShard(shard);
    platform::QueueLockRelease(queue->Lock);
    platform::Park(parker);
    PrefetchForWake(shard, self);
    Lock(queue, shard);
  }
}

}  // namespace messaging
