// Per recipient, a ring of messages and a line of sleepers oldest first,
// found through a hash index split into shards. A post takes a ticket and
// a take claims the oldest one without the shard's lock while the
// recipient's entry is open and nobody sleeps on it (ring.h); a change of
// the index, a ring that must grow, and every sleep and wake-up take the
// lock. Where the platform has a process-wide queue lock, each operation
// holds it and takes the shard's lock too.
//
// A post whose ticket finds sleepers linked wakes the oldest; the woken
// thread takes the oldest message itself. So a message stays queued until
// a living thread takes it: one woken thread that never comes back loses
// nothing, and whatever it leaves is taken by the next take or passed on
// to the next sleeper when its end or its next call is seen. A thread that
// finds a message queued takes it, even if a sleeper was woken for it
// meanwhile: the woken one, finding nothing, goes back to the head of the
// line.
//
// No recipient has a message queued and sleepers linked with nobody woken
// for it, whenever the lock is free: a sleeper links itself and announces
// itself in the tail word only after it found nothing queued, and looks
// again after the announcement; every post after it goes to the lock and
// wakes one.
//
// The thread a post or a take must wake is woken after the locks are
// released, so that it does not wake into a lock still held.
#include "queue.h"

#include <new>

#include "index.h"
#include "locking.h"
#include "ring.h"
#include "sleepers.h"

namespace messaging {

int32_t OnAttach(Queue* queue, platform::Heap* heap, uint32_t seed) {
  new (queue) Queue{};
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
  for (uint32_t i = 0; i < queue->ShardCount; ++i) synchro::TakeAtomically(&queue->Shards[i].Lock);
}

void UnlockAfterFork(Queue* queue) {
  if (!Usable(queue)) return;
  for (uint32_t i = 0; i < queue->ShardCount; ++i) synchro::GiveBack(&queue->Shards[i].Lock);
}

// Posts and takes of other threads may have been half done without the
// lock at the fork: nothing of the parent's entries is trusted, all are
// freed and the shards made anew.
void ForgetInChild(Queue* queue) {
  if (!Usable(queue)) return;
  FreeShards(queue);
  if (!MakeShards(queue)) platform::ReportNoMemory();
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

bool PostMessage(Queue* queue, int32_t key, int32_t value, Sender sender, uint32_t* ticket) {
  Place place = PlaceOf(queue, key);
  if (MayGoWithoutLock(&place) && PostWithoutLock(place, key, value, sender)) return true;
  if (!place.Alone) place.Alone = Lock(queue, place.Home);
  AfterUnlock work{};
  const bool posted = PostLocked(queue, place.Home, key, place.Hash, value, sender, place.Alone, &work, ticket);
  UnlockAndWake(queue, place.Home, work);
  return posted;
}

int32_t SendThreadMessage(Queue* queue, int32_t recipient, int32_t value) {
  if (!Usable(queue)) return NotQueued();
  return PostMessage(queue, recipient, value, Sender{}, nullptr) ? 0 : NotQueued();
}

int32_t GetThreadMessage(Queue* queue, int32_t recipient) {
  if (!Usable(queue)) return NoQueue();
  Place place = PlaceOf(queue, recipient);
  int32_t value = 0;
  if (MayGoWithoutLock(&place) && TakeWithoutLock(place, recipient, -1, &value) != Outcome::kLocked) return value;
  if (!place.Alone) place.Alone = Lock(queue, place.Home);
  AfterUnlock work{};
  Entry* entry = Find(place.Home, recipient, place.Hash);
  if (entry != nullptr) static_cast<void>(TakeLocked(entry, place.Alone, &value, &work));
  UnlockAndWake(queue, place.Home, work);
  return value;
}

}  // namespace messaging
