#include "index.h"

#include "ring.h"

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

static_assert((kFewestShards & (kFewestShards - 1)) == 0 && (kMostShards & (kMostShards - 1)) == 0,
              "shard counts are powers of two");
static_assert(uint64_t{kMostShards} * kMostBuckets <= (uint64_t{1} << 32),
              "a shard's top bits of the hash and a bucket's low bits never overlap");

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

// Two shards a processor at the least, so that threads on different keys
// seldom meet in one.
uint32_t ShardCountFor(uint32_t processors) {
  uint32_t count = kFewestShards;
  while (count < kMostShards && count < 2 * processors) count *= 2;
  return count;
}

}  // namespace

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

void FreeShards(Queue* queue) {
  for (uint32_t i = 0; i < queue->ShardCount; ++i) FreeShard(queue, &queue->Shards[i]);
  platform::HeapFree(queue->Heap, queue->ShardMemory);
  queue->Shards = nullptr;
  queue->ShardMemory = nullptr;
}

bool MakeShards(Queue* queue) {
  const uint32_t count = ShardCountFor(platform::ProcessorCount());
  uint32_t shift = 32;
  for (uint32_t c = count; c > 1; c /= 2) --shift;
  void* memory = platform::HeapAlloc(queue->Heap, count * static_cast<uint32_t>(sizeof(Shard)) + kCacheLine);
  if (memory == nullptr) return false;
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
    shard->Buckets = static_cast<Recipient**>(platform::HeapAlloc(queue->Heap, kFewestBuckets * kBucketSize));
    shard->BucketCount = kFewestBuckets;
    if (shard->Buckets == nullptr) {
      FreeShards(queue);
      return false;
    }
  }
  return true;
}

}  // namespace messaging
