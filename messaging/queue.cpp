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

#include "index.h"
#include "locking.h"
#include "ring.h"
#include "sleepers.h"

namespace messaging {

int32_t OnAttach(Queue* queue, platform::Heap* heap, uint32_t seed) {
  *queue = Queue{};
  queue->Heap = heap;
  queue->Seed = seed;
  if (!MakeShards(queue)) return 0;
  if constexpr (platform::kHasQueueLock) queue->Lock = platform::QueueLockOpen();
  return 1;
}

int32_t OnDetach(Queue* queue) {
  if (!Usable(queue)) return 0;
  AcquireQueueLock(queue);
  FreeShards(queue);
  ReleaseQueueLock(queue);
  if constexpr (platform::kHasQueueLock) platform::QueueLockClose(queue->Lock);
  queue->Lock = nullptr;
  return 0;
}

void TidyAtThreadEnd(Queue* queue, platform::Parker* parker) {
  if (Usable(queue)) Tidy(queue, SleeperOf(parker));
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
    shard->Lock.store(synchro::kFree, std::memory_order_relaxed);
  }
  // The forking thread's record of its sleeps, which named recipients that
  // are gone, was cleared by the platform with its parker's room.
}

int32_t NotQueued() {
  platform::ReportNoMemory();
  return kNotQueued;
}

int32_t NoQueue() {
  platform::ReportNoMemory();
  return 0;
}

int32_t SendThreadMessage(Queue* queue, int32_t recipient, int32_t value) {
  if (!Usable(queue)) return NotQueued();
  AfterUnlock work{};
  const auto [hash, shard] = LockPlaceOf(queue, recipient);
  const bool queued = PostLocked(queue, shard, recipient, hash, Message{value, nullptr}, &work);
  UnlockAndWake(queue, shard, work);
  return queued ? 0 : NotQueued();
}

int32_t GetThreadMessage(Queue* queue, int32_t recipient) {
  if (!Usable(queue)) return NoQueue();
  int32_t value = 0;
  AfterUnlock work{};
  const auto [hash, shard] = LockPlaceOf(queue, recipient);
  Recipient* entry = Find(shard, recipient, hash);
  if (entry != nullptr && entry->Queued > 0) value = TakeOldest(queue, shard, entry, &work);
  UnlockAndWake(queue, shard, work);
  return value;
}

}  // namespace messaging
