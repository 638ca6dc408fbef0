// Per recipient, a ring of messages oldest first and a list of sleepers
// oldest first, found through a hash index; everything under the queue lock.
// The one thread a post or a take must wake is woken after the lock is
// released, so that it does not wake into a lock still held.
#include "queue.h"

namespace messaging {
namespace {

constexpr uint32_t kFewestBuckets = 16;
// Past this the chains grow instead: the table's size stays far within
// 32-bit arithmetic.
constexpr uint32_t kMostBuckets = 1u << 24;
// A bucket is the head of a chain: one pointer.
constexpr uint32_t kBucketSize = sizeof(Recipient*);  // NOLINT(bugprone-sizeof-expression)
constexpr uint32_t kMostSpareRecipients = 64;
constexpr uint32_t kFirstRingSize = 8;
// A recipient leaving the index keeps a ring up to this size for its next
// use; a larger one, grown for a burst, goes back to the heap.
constexpr uint32_t kMostKeptRingSize = 64;
// Doubling stops here: the ring's size stays far within 32-bit arithmetic.
constexpr uint32_t kMostRingSize = 1u << 26;

// What a locked section leaves to do once the lock is released.
struct AfterUnlock {
  platform::Parker* Wake;
};

void UnlockAndWake(Queue* queue, AfterUnlock work) {
  platform::QueueLockRelease(queue->Lock);
  if (work.Wake != nullptr) platform::Unpark(work.Wake);
}

// Read before the lock is taken, so it looks at what only load and unload
// change: a queue without its index has no lock either.
bool Usable(const Queue* queue) { return queue->Lock != nullptr; }

// A bijective mix of the key with the seed: a host cannot choose keys that
// share a bucket without knowing the seed.
uint32_t BucketOf(const Queue* queue, int32_t key) {
  uint32_t h = static_cast<uint32_t>(key) ^ queue->Seed;
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return h & (queue->BucketCount - 1);
}

void* Allocate(Queue* queue, uint32_t size) { return platform::HeapAlloc(queue->Heap, size); }

// Moves every recipient into a table of `count` buckets; without memory for
// it the index keeps its size, only its chains grow.
void Resize(Queue* queue, uint32_t count) {
  auto** buckets = static_cast<Recipient**>(Allocate(queue, count * kBucketSize));
  if (buckets == nullptr) return;
  Recipient** old = queue->Buckets;
  uint32_t old_count = queue->BucketCount;
  queue->Buckets = buckets;
  queue->BucketCount = count;
  for (uint32_t i = 0; i < old_count; ++i) {
    Recipient* recipient = old[i];
    while (recipient != nullptr) {
      Recipient* next = recipient->Chain;
      Recipient** bucket = &buckets[BucketOf(queue, recipient->Key)];
      recipient->Chain = *bucket;
      *bucket = recipient;
      recipient = next;
    }
  }
  platform::HeapFree(queue->Heap, old);
}

Recipient* Find(const Queue* queue, int32_t key) {
  Recipient* recipient = queue->Buckets[BucketOf(queue, key)];
  while (recipient != nullptr && recipient->Key != key) recipient = recipient->Chain;
  return recipient;
}

Recipient* FindOrAdd(Queue* queue, int32_t key) {
  Recipient* recipient = Find(queue, key);
  if (recipient != nullptr) return recipient;
  recipient = queue->SpareRecipients;
  if (recipient != nullptr) {
    queue->SpareRecipients = recipient->Chain;
    --queue->SpareRecipientCount;
    Message* ring = recipient->Ring;
    uint32_t ring_size = recipient->RingSize;
    *recipient = Recipient{};
    recipient->Ring = ring;
    recipient->RingSize = ring_size;
  } else {
    recipient = static_cast<Recipient*>(Allocate(queue, sizeof(Recipient)));
    if (recipient == nullptr) return nullptr;
  }
  recipient->Key = key;
  Recipient** bucket = &queue->Buckets[BucketOf(queue, key)];
  recipient->Chain = *bucket;
  *bucket = recipient;
  if (++queue->RecipientCount > queue->BucketCount && queue->BucketCount < kMostBuckets) {
    Resize(queue, queue->BucketCount * 2);
  }
  return recipient;
}

bool Idle(const Recipient* recipient) { return recipient->Queued == 0 && recipient->OldestSleeper == nullptr; }

void FreeRing(Queue* queue, Recipient* recipient) {
  if (recipient->Ring != nullptr) platform::HeapFree(queue->Heap, recipient->Ring);
  recipient->Ring = nullptr;
  recipient->RingSize = 0;
}

void FreeRecipient(Queue* queue, Recipient* recipient) {
  FreeRing(queue, recipient);
  platform::HeapFree(queue->Heap, recipient);
}

// Moves the queued messages, oldest first, into a ring of `size` slots;
// false (and nothing changed) without memory for it.
bool ResizeRing(Queue* queue, Recipient* recipient, uint32_t size) {
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

void Unindex(Queue* queue, Recipient* recipient) {
  QUENTHALOY_CHECK(Idle(recipient) && queue->IdleRecipient != recipient);
  Recipient** link = &queue->Buckets[BucketOf(queue, recipient->Key)];
  while (*link != recipient) link = &(*link)->Chain;
  *link = recipient->Chain;
  --queue->RecipientCount;
  if (queue->SpareRecipientCount < kMostSpareRecipients) {
    if (recipient->RingSize > kMostKeptRingSize) FreeRing(queue, recipient);
    recipient->Chain = queue->SpareRecipients;
    queue->SpareRecipients = recipient;
    ++queue->SpareRecipientCount;
  } else {
    FreeRecipient(queue, recipient);
  }
  // Halved only when mostly empty, so that a count going up and down by one
  // never resizes back and forth.
  if (queue->BucketCount > kFewestBuckets && queue->RecipientCount < queue->BucketCount / 8) {
    Resize(queue, queue->BucketCount / 2);
  }
}

// A recipient with nothing queued and nobody waiting leaves the index, so
// that it follows what is queued and waited for now, not every key ever
// used; all but the latest one, which stays for its next post.
void RemoveIfIdle(Queue* queue, Recipient* recipient) {
  if (!Idle(recipient) || queue->IdleRecipient == recipient) return;
  Recipient* previous = queue->IdleRecipient;
  queue->IdleRecipient = recipient;
  if (previous != nullptr && Idle(previous)) Unindex(queue, previous);
}

// Takes the oldest message for `key`; its sender, if one waits, is to be
// released after the unlock.
bool TakeLocked(Queue* queue, int32_t key, int32_t* value, AfterUnlock* work) {
  Recipient* recipient = Find(queue, key);
  if (recipient == nullptr || recipient->Queued == 0) return false;
  Message message = Dequeue(queue, recipient);
  *value = message.Value;
  work->Wake = message.Reply;
  RemoveIfIdle(queue, recipient);
  return true;
}

// Gives the message to the oldest sleeper of its recipient, or queues it.
// `queued` is false when no memory was left: then nothing was posted.
AfterUnlock PostLocked(Queue* queue, int32_t key, int32_t value, platform::Parker* reply, bool* queued) {
  *queued = false;
  Recipient* recipient = FindOrAdd(queue, key);
  if (recipient == nullptr) return AfterUnlock{};
  Sleeper* sleeper = recipient->OldestSleeper;
  if (sleeper != nullptr) {
    QUENTHALOY_CHECK(recipient->Queued == 0);
    recipient->OldestSleeper = sleeper->Next;
    if (recipient->OldestSleeper == nullptr) recipient->NewestSleeper = nullptr;
    sleeper->Value = value;
    sleeper->Release = reply;
    *queued = true;
    // Read now: once the lock is released the sleeper may return and its
    // record on its stack be gone.
    platform::Parker* wake = sleeper->Parker;
    RemoveIfIdle(queue, recipient);
    return AfterUnlock{wake};
  }
  *queued = Enqueue(queue, recipient, Message{value, reply});
  if (!*queued) RemoveIfIdle(queue, recipient);
  return AfterUnlock{};
}

void LinkSleeper(Recipient* recipient, Sleeper* sleeper) {
  QUENTHALOY_CHECK(recipient->Queued == 0);  // a waiter sleeps only with nothing queued
  QUENTHALOY_CHECK(sleeper->Next == nullptr && recipient->NewestSleeper != sleeper);  // never linked twice
  if (recipient->NewestSleeper != nullptr) {
    recipient->NewestSleeper->Next = sleeper;
  } else {
    recipient->OldestSleeper = sleeper;
  }
  recipient->NewestSleeper = sleeper;
}

// Frees every recipient and its ring. Sleepers are left where they are: on
// the stacks of threads that will never be woken (unload) or that do not
// exist (a forked child).
void FreeIndexed(Queue* queue) {
  for (uint32_t i = 0; i < queue->BucketCount; ++i) {
    Recipient* recipient = queue->Buckets[i];
    while (recipient != nullptr) {
      Recipient* next = recipient->Chain;
      FreeRecipient(queue, recipient);
      recipient = next;
    }
    queue->Buckets[i] = nullptr;
  }
  queue->RecipientCount = 0;
  queue->IdleRecipient = nullptr;
}

void FreeSpares(Queue* queue) {
  while (queue->SpareRecipients != nullptr) {
    Recipient* next = queue->SpareRecipients->Chain;
    FreeRecipient(queue, queue->SpareRecipients);
    queue->SpareRecipients = next;
  }
  queue->SpareRecipientCount = 0;
}

}  // namespace

int32_t OnAttach(Queue* queue, platform::Heap* heap, uint32_t seed) {
  *queue = Queue{};
  queue->Heap = heap;
  queue->Seed = seed;
  queue->Buckets = static_cast<Recipient**>(platform::HeapAlloc(heap, kFewestBuckets * kBucketSize));
  queue->BucketCount = kFewestBuckets;
  if (queue->Buckets != nullptr) queue->Lock = platform::QueueLockOpen();
  return Usable(queue) ? 1 : 0;
}

int32_t OnDetach(Queue* queue) {
  if (queue->Lock == nullptr) return 0;
  platform::QueueLockAcquire(queue->Lock);
  if (queue->Buckets != nullptr) {
    FreeIndexed(queue);
    platform::HeapFree(queue->Heap, queue->Buckets);
    queue->Buckets = nullptr;
  }
  FreeSpares(queue);
  platform::QueueLockRelease(queue->Lock);
  platform::QueueLockClose(queue->Lock);
  queue->Lock = nullptr;
  return 0;
}

void ForgetInChild(Queue* queue) {
  if (Usable(queue)) FreeIndexed(queue);
}

int32_t SendThreadMessage(Queue* queue, int32_t recipient, int32_t value) {
  if (!Usable(queue)) return 0;
  bool queued = false;
  platform::QueueLockAcquire(queue->Lock);
  UnlockAndWake(queue, PostLocked(queue, recipient, value, nullptr, &queued));
  return 0;
}

int32_t GetThreadMessage(Queue* queue, int32_t recipient) {
  if (!Usable(queue)) return 0;
  int32_t value = 0;
  AfterUnlock work{};
  platform::QueueLockAcquire(queue->Lock);
  TakeLocked(queue, recipient, &value, &work);
  UnlockAndWake(queue, work);
  return value;
}

int32_t SendThreadMessageAndWait(Queue* queue, int32_t recipient, int32_t value) {
  if (!Usable(queue)) return 0;
  // Without a parker the message is queued as a plain one and the call
  // returns at once: better than a sender that can never be released.
  platform::Parker* reply = platform::ParkerOfThisThread();
  bool queued = false;
  platform::QueueLockAcquire(queue->Lock);
  UnlockAndWake(queue, PostLocked(queue, recipient, value, reply, &queued));
  if (queued && reply != nullptr) platform::Park(reply);
  return 0;
}

int32_t WaitThreadMessage(Queue* queue, int32_t recipient) {
  if (!Usable(queue)) return 0;
  int32_t value = 0;
  AfterUnlock work{};
  platform::QueueLockAcquire(queue->Lock);
  if (TakeLocked(queue, recipient, &value, &work)) {
    UnlockAndWake(queue, work);
    return value;
  }
  platform::Parker* parker = platform::ParkerOfThisThread();
  Recipient* entry = parker != nullptr ? FindOrAdd(queue, recipient) : nullptr;
  if (entry == nullptr) {
    // No parker or no memory: return 0 rather than sleep with no way to wake.
    platform::QueueLockRelease(queue->Lock);
    return 0;
  }
  Sleeper self{nullptr, parker, 0, nullptr};
  LinkSleeper(entry, &self);
  platform::QueueLockRelease(queue->Lock);
  platform::Park(parker);
  if (self.Release != nullptr) platform::Unpark(self.Release);
  return self.Value;
}

}  // namespace messaging
