// The index of recipients: a key's shard by its hash's top bits, its
// bucket in the shard's chained hash table by the low ones. Each shard has
// its own lock word and table, so that threads on recipients of different
// shards never wait for each other. Posts and takes find their entry
// without the lock; only a change of the index (an entry added, moved or
// retired, which makes the index's version odd meanwhile) takes it. An entry
// stays in the index while it is in use and for a while after: idle ones are
// retired by a sweep as new ones come.
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

// A walk without the lock that meets entries being moved may be led astray
// (never into freed memory: entries and tables stay until the unload); it
// gives up after this many.
constexpr int kLongestWalk = 32;

struct Found {
  Entry* At;  // an entry filed under the key, to be checked again where it matters
  bool Sure;  // with none found: the key surely has no entry
};

inline Found FindWithoutLock(const Shard* shard, int32_t key, uint32_t hash) {
  Entry* latest = shard->Latest.load(std::memory_order_acquire);
  if (latest != nullptr && latest->Key.load(std::memory_order_relaxed) == key) return Found{latest, true};
  const uint32_t version = shard->IndexVersion.load(std::memory_order_acquire);
  const Buckets* table = shard->Table.load(std::memory_order_acquire);
  Entry* entry = table->Heads[hash & (table->Count - 1)].load(std::memory_order_acquire);
  for (int steps = 0; entry != nullptr && steps < kLongestWalk; ++steps) {
    if (entry->Key.load(std::memory_order_acquire) == key) return Found{entry, true};
    entry = entry->Chain.load(std::memory_order_acquire);
  }
  // Every load of the walk is an acquire, so this look comes after them.
  const bool unchanged = (version & 1) == 0 && shard->IndexVersion.load(std::memory_order_acquire) == version;
  return Found{nullptr, entry == nullptr && unchanged};
}

// Under the lock, where the chains hold still.
inline Entry* Find(const Shard* shard, int32_t key, uint32_t hash) {
  Entry* latest = shard->Latest.load(std::memory_order_relaxed);
  if (latest != nullptr && latest->Key.load(std::memory_order_relaxed) == key) return latest;
  const Buckets* table = shard->Table.load(std::memory_order_relaxed);
  Entry* entry = table->Heads[hash & (table->Count - 1)].load(std::memory_order_relaxed);
  while (entry != nullptr && entry->Key.load(std::memory_order_relaxed) != key) {
    entry = entry->Chain.load(std::memory_order_relaxed);
  }
  return entry;
}

// Out of line: a flow to one recipient finds its entry in the index. Null
// without memory for it.
__attribute__((noinline)) Entry* Add(Queue* queue, Shard* shard, int32_t key, uint32_t hash, bool alone);

inline __attribute__((always_inline)) Entry* FindOrAdd(Queue* queue, Shard* shard, int32_t key, uint32_t hash,
                                                       bool alone) {
  Entry* entry = Find(shard, key, hash);
  return entry != nullptr ? entry : Add(queue, shard, key, hash, alone);
}

// Makes the queue's shards in its heap; false (and none made) without memory.
bool MakeShards(Queue* queue);
// Frees every entry, ring and table. Sleepers are left where they are: in
// the parkers of threads that will never be woken (unload) or that do not
// exist (a forked child).
void FreeShards(Queue* queue);

}  // namespace messaging

#endif
