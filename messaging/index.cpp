#include "index.h"

#include <new>

#include "ring.h"

namespace messaging {
namespace {

constexpr uint32_t kFewestShards = 16;
constexpr uint32_t kMostShards = 1024;
constexpr uint32_t kFewestBuckets = 16;
// Past this the chains grow instead: the table's size stays far within
// 32-bit arithmetic.
constexpr uint32_t kMostBuckets = 1u << 22;
// A shard with more entries than this retires idle ones as new ones come,
// looking at this many buckets per entry added: the index holds the
// recipients in use and a few idle ones, while a stream that empties its
// ring now and then keeps its entry.
constexpr uint32_t kSweepFrom = 8;
constexpr uint32_t kBucketsSweptPerAdd = 2;

static_assert((kFewestShards & (kFewestShards - 1)) == 0 && (kMostShards & (kMostShards - 1)) == 0,
              "shard counts are powers of two");
static_assert(uint64_t{kMostShards} * kMostBuckets <= (uint64_t{1} << 32),
              "a shard's top bits of the hash and a bucket's low bits never overlap");

uint32_t BucketOf(const Buckets* table, uint32_t hash) { return hash & (table->Count - 1); }

// Around every change of the index, for the walks without the lock.
// Every store that changes a chain (a link, a bucket's head, a spare's
// chain) is a release: a walk that reads it reads the version it follows,
// odd or newer, and does not trust its miss. (An acquire read-modify-write
// alone would not keep a later plain store from being seen first.)
void BeginChange(Shard* shard) { shard->IndexVersion.fetch_add(1, std::memory_order_acq_rel); }
void EndChange(Shard* shard) {
  shard->IndexVersion.store(shard->IndexVersion.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

Buckets* MakeTable(Queue* queue, uint32_t count) {
  const uint32_t bytes = uint32_t{offsetof(Buckets, Heads)} + count * uint32_t{sizeof(std::atomic<Entry*>)};
  auto* table = static_cast<Buckets*>(platform::HeapAlloc(queue->Heap, bytes));
  if (table == nullptr) return nullptr;
  table->Count = count;
  table->Older = nullptr;
  for (uint32_t i = 0; i < count; ++i) new (&table->Heads[i]) std::atomic<Entry*>(nullptr);
  return table;
}

void Link(std::atomic<Entry*>* bucket, Entry* entry) {
  entry->Chain.store(bucket->load(std::memory_order_relaxed), std::memory_order_release);
  bucket->store(entry, std::memory_order_release);
}

// Moves every entry into a table of twice the buckets; without memory for
// it the index keeps its size, only its chains grow. The old table stays
// for the walks that may still be in it.
void Grow(Queue* queue, Shard* shard) {
  Buckets* old = shard->Table.load(std::memory_order_relaxed);
  Buckets* table = MakeTable(queue, old->Count * 2);
  if (table == nullptr) return;
  table->Older = old;
  BeginChange(shard);
  for (uint32_t i = 0; i < old->Count; ++i) {
    Entry* entry = old->Heads[i].load(std::memory_order_relaxed);
    while (entry != nullptr) {
      Entry* next = entry->Chain.load(std::memory_order_relaxed);
      Link(&table->Heads[BucketOf(table, HashOf(queue, entry->Key.load(std::memory_order_relaxed)))], entry);
      entry = next;
    }
  }
  shard->Table.store(table, std::memory_order_release);
  EndChange(shard);
}

void UnlinkFromChain(Queue* queue, Shard* shard, Entry* entry) {
  Buckets* table = shard->Table.load(std::memory_order_relaxed);
  std::atomic<Entry*>* link = &table->Heads[BucketOf(table, HashOf(queue, entry->Key.load(std::memory_order_relaxed)))];
  while (link->load(std::memory_order_relaxed) != entry) link = &link->load(std::memory_order_relaxed)->Chain;
  BeginChange(shard);
  link->store(entry->Chain.load(std::memory_order_relaxed), std::memory_order_release);
  EndChange(shard);
  --shard->EntryCount;
}

// Retires an entry with nothing queued and nobody asleep: closed by a
// compare-and-swap against the idle word it read (a post that took a ticket
// since makes it fail), then its head marked retired, with a new
// generation, by a compare-and-swap against the head it read (else
// reopened as it was: nothing changed meanwhile). It goes to the spares,
// with its ring if that is small.
bool TryRetire(Queue* queue, Shard* shard, Entry* entry, bool alone) {
  if (entry->OldestSleeper != nullptr) return false;
  uint64_t tail = entry->Tail.load(std::memory_order_acquire);
  uint64_t head = entry->Head.load(std::memory_order_acquire);
  if ((tail & (kClosed | kSleepers)) != 0 || (head & kRetired) != 0 || TicketOf(tail) != TicketOf(head)) return false;
  if (!CompareExchange(&entry->Tail, &tail, tail | kClosed, alone)) return false;
  if (!CompareExchange(&entry->Head, &head, (head | kRetired) + kHeadGeneration, alone)) {
    entry->Tail.store(tail, std::memory_order_release);
    return false;
  }
  UnlinkFromChain(queue, shard, entry);
  if (shard->Latest.load(std::memory_order_relaxed) == entry) shard->Latest.store(nullptr, std::memory_order_relaxed);
  if (SizeOf(entry->ProducerRing.load(std::memory_order_relaxed)) > kMostKeptRingSize) {
    RetireRing(queue, shard, entry->ProducerRing.load(std::memory_order_relaxed));
    entry->ProducerRing.store(nullptr, std::memory_order_relaxed);
    entry->ConsumerRing.store(nullptr, std::memory_order_relaxed);
  }
  entry->Chain.store(shard->Spares, std::memory_order_release);
  shard->Spares = entry;
  return true;
}

// A clock hand over the buckets, a few per entry added.
void Sweep(Queue* queue, Shard* shard, bool alone) {
  if (shard->EntryCount < kSweepFrom) return;
  for (uint32_t swept = 0; swept < kBucketsSweptPerAdd; ++swept) {
    Buckets* table = shard->Table.load(std::memory_order_relaxed);
    Entry* entry = table->Heads[shard->SweepHand++ & (table->Count - 1)].load(std::memory_order_relaxed);
    while (entry != nullptr) {
      Entry* next = entry->Chain.load(std::memory_order_relaxed);
      static_cast<void>(TryRetire(queue, shard, entry, alone));
      entry = next;
    }
  }
}

// New entries come a block at a time, retired and closed (what a spare
// is), cache-line aligned after the block's link to the shard's other
// blocks: a heap block each would cost its header and alignment again.
constexpr uint32_t kEntriesPerBlock = 16;
constexpr uint32_t kEntryBlockSize = kEntriesPerBlock * uint32_t{sizeof(Entry)} + 2 * uint32_t{kCacheLine};

bool MakeSpares(Queue* queue, Shard* shard) {
  void* block = platform::HeapAlloc(queue->Heap, kEntryBlockSize);
  if (block == nullptr) return false;
  *static_cast<void**>(block) = shard->EntryBlocks;
  shard->EntryBlocks = block;
  auto* entries = reinterpret_cast<Entry*>(FirstLineIn(static_cast<unsigned char*>(block) + kCacheLine));
  for (uint32_t i = 0; i < kEntriesPerBlock; ++i) {
    Entry* entry = new (&entries[i]) Entry{};
    entry->Tail.store(kClosed, std::memory_order_relaxed);
    entry->Head.store(kRetired, std::memory_order_relaxed);
    entry->Chain.store(shard->Spares, std::memory_order_relaxed);
    shard->Spares = entry;
  }
  return true;
}

// A spare taken back into use for `key`: filed, then opened to takes and
// posts, whose checks of the key it passes from then on.
bool Reopen(Queue* queue, Shard* shard, Entry* entry, int32_t key, bool alone) {
  const uint32_t head = TicketOf(entry->Head.load(std::memory_order_relaxed));
  RingTag ring = entry->ProducerRing.load(std::memory_order_relaxed);
  if (ring == nullptr) {
    ring = MakeRing(queue, shard, kFirstRingSize, head);
    if (ring == nullptr) return false;
  }
  entry->Key.store(key, std::memory_order_relaxed);
  entry->ProducerRing.store(ring, std::memory_order_relaxed);
  entry->ConsumerRing.store(ring, std::memory_order_relaxed);
  entry->ProducerKey.store(key, std::memory_order_relaxed);
  entry->ConsumerKey.store(key, std::memory_order_relaxed);
  entry->SeenHead.store(head, std::memory_order_relaxed);
  static_cast<void>(FetchAnd(&entry->Head, ~kRetired, alone));
  const uint64_t tail = entry->Tail.load(std::memory_order_relaxed);
  entry->Tail.store((tail & ~kClosed) + kGeneration, std::memory_order_release);
  return true;
}

void FreeShard(Queue* queue, Shard* shard) {
  Buckets* table = shard->Table.load(std::memory_order_relaxed);
  if (table == nullptr) return;
  for (uint32_t i = 0; i < table->Count; ++i) {
    Entry* entry = table->Heads[i].load(std::memory_order_relaxed);
    while (entry != nullptr) {
      Entry* next = entry->Chain.load(std::memory_order_relaxed);
      FreeRing(queue, entry->ProducerRing.load(std::memory_order_relaxed));
      entry = next;
    }
  }
  for (Entry* entry = shard->Spares; entry != nullptr; entry = entry->Chain.load(std::memory_order_relaxed)) {
    FreeRing(queue, entry->ProducerRing.load(std::memory_order_relaxed));
  }
  shard->Spares = nullptr;
  FreeSpareRings(queue, shard);
  while (shard->EntryBlocks != nullptr) {
    void* next = *static_cast<void**>(shard->EntryBlocks);
    platform::HeapFree(queue->Heap, shard->EntryBlocks);
    shard->EntryBlocks = next;
  }
  while (table != nullptr) {
    Buckets* older = table->Older;
    platform::HeapFree(queue->Heap, table);
    table = older;
  }
  shard->Table.store(nullptr, std::memory_order_relaxed);
}

// Two shards a processor at the least, so that threads on different keys
// seldom meet in one.
uint32_t ShardCountFor(uint32_t processors) {
  uint32_t count = kFewestShards;
  while (count < kMostShards && count < 2 * processors) count *= 2;
  return count;
}

}  // namespace

__attribute__((noinline)) Entry* Add(Queue* queue, Shard* shard, int32_t key, uint32_t hash, bool alone) {
  Sweep(queue, shard, alone);
  if (shard->Spares == nullptr && !MakeSpares(queue, shard)) return nullptr;
  Entry* entry = shard->Spares;
  shard->Spares = entry->Chain.load(std::memory_order_relaxed);
  if (!Reopen(queue, shard, entry, key, alone)) {
    // Walks without the lock may still read it: it stays a spare.
    entry->Chain.store(shard->Spares, std::memory_order_release);
    shard->Spares = entry;
    return nullptr;
  }
  Buckets* table = shard->Table.load(std::memory_order_relaxed);
  BeginChange(shard);
  Link(&table->Heads[BucketOf(table, hash)], entry);
  EndChange(shard);
  shard->Latest.store(entry, std::memory_order_release);
  if (++shard->EntryCount > table->Count && table->Count < kMostBuckets) Grow(queue, shard);
  return entry;
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
  void* memory = platform::HeapAlloc(queue->Heap, count * uint32_t{sizeof(Shard)} + uint32_t{kCacheLine});
  if (memory == nullptr) return false;
  // The shards start on a cache line of their own: moved forward within the
  // spare line the block has for it.
  queue->ShardMemory = memory;
  queue->Shards = reinterpret_cast<Shard*>(FirstLineIn(memory));
  queue->ShardCount = count;
  queue->ShardShift = shift;
  for (uint32_t i = 0; i < count; ++i) new (&queue->Shards[i]) Shard{};
  for (uint32_t i = 0; i < count; ++i) {
    Buckets* table = MakeTable(queue, kFewestBuckets);
    if (table == nullptr) {
      FreeShards(queue);
      return false;
    }
    queue->Shards[i].Table.store(table, std::memory_order_relaxed);
  }
  return true;
}

}  // namespace messaging
