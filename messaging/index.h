// The index of recipients: a key's shard by its hash's top bits, its
// bucket in the shard's chained hash table by the low ones. Each shard has
// its own lock word and table, so that threads on recipients of different
// shards never wait for each other. A recipient is in the index while it has
// messages queued or threads asleep, and leaves it once it has neither.
#ifndef QUENTHALOY_MESSAGING_INDEX_H
#define QUENTHALOY_MESSAGING_INDEX_H

#include "queue.h"

namespace messaging {

// The key and the seed mixed by one wide multiplication, whose upper half
// depends on every bit of both: a host cannot choose keys that share a
// shard or a bucket without knowing the seed.
inline uint32_t HashOf(const Queue* queue, int32_t key) {
  const uint64_t product = uint64_t{static_cast<uint32_t>(key) ^ queue->Seed} * 0x9E3779B97F4A7C15u;
  return static_cast<uint32_t>(product >> 32);
}

inline Shard* ShardOf(const Queue* queue, uint32_t hash) { return &queue->Shards[hash >> queue->ShardShift]; }

inline uint32_t BucketOf(const Shard* shard, uint32_t hash) { return hash & (shard->BucketCount - 1); }

inline void* Allocate(Queue* queue, uint32_t size) { return platform::HeapAlloc(queue->Heap, size); }

// `hash` is the key's HashOf, found once per call.
inline Recipient* Find(const Shard* shard, int32_t key, uint32_t hash) {
  Recipient* recipient = shard->Buckets[BucketOf(shard, hash)];
  while (recipient != nullptr && recipient->Key != key) recipient = recipient->Chain;
  return recipient;
}

// Out of line: a flow to one recipient finds its entry in the index. Null
// without memory for it.
__attribute__((noinline)) Recipient* Add(Queue* queue, Shard* shard, int32_t key, uint32_t hash);

inline __attribute__((always_inline)) Recipient* FindOrAdd(Queue* queue, Shard* shard, int32_t key, uint32_t hash) {
  Recipient* recipient = Find(shard, key, hash);
  return recipient != nullptr ? recipient : Add(queue, shard, key, hash);
}

inline bool Idle(const Recipient* recipient) { return recipient->Queued == 0 && recipient->OldestSleeper == nullptr; }

__attribute__((noinline)) void Unindex(Queue* queue, Shard* shard, Recipient* recipient);

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

// Makes the queue's shards in its heap; false (and none made) without memory.
bool MakeShards(Queue* queue);
// Frees every recipient of the shard and its ring. Sleepers are left where
// they are: in the parkers of threads that will never be woken (unload) or
// that do not exist (a forked child).
void FreeIndexed(Queue* queue, Shard* shard);
void FreeShards(Queue* queue);

}  // namespace messaging

#endif
