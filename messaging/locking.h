// The locks of a queue operation, taken and let go in one place: the
// process-wide queue lock where the platform has one, then the shard's
// lock word; and what the section leaves to do once both are let go.
#ifndef QUENTHALOY_MESSAGING_LOCKING_H
#define QUENTHALOY_MESSAGING_LOCKING_H

#include "../platform/platform.h"
#include "../sync/lock_word.h"
#include "index.h"
#include "queue.h"

namespace messaging {

// What a locked section leaves to do once the locks are released.
struct AfterUnlock {
  platform::Parker* Wake;
};

// Where the platform has the process-wide queue lock it is taken first.
inline __attribute__((always_inline)) void AcquireQueueLock(Queue* queue) {
  if constexpr (platform::kHasQueueLock) platform::QueueLockAcquire(queue->Lock);
}

inline __attribute__((always_inline)) void ReleaseQueueLock(Queue* queue) {
  if constexpr (platform::kHasQueueLock) platform::QueueLockRelease(queue->Lock);
}

// From the first, a thread may be inside the library at the process's exit
// (see platform::ArmExitWatch).
inline __attribute__((always_inline)) void EnterQueue() {
  if constexpr (platform::kWatchesForExit) platform::ArmExitWatch();
}

// Whether the shard was taken the only caller's way (synchro::TakeAlone):
// then the section may touch the entries' words with plain loads and stores.
inline __attribute__((always_inline)) bool Lock(Queue* queue, Shard* shard) {
  EnterQueue();
  AcquireQueueLock(queue);
  if (!platform::kHasQueueLock && synchro::TakeAlone(&shard->Lock) == synchro::AloneTake::kTaken) return true;
  synchro::TakeAtomically(&shard->Lock);
  return false;
}

// A key's place: its hash (found once per call) and its shard.
struct Place {
  uint32_t Hash;
  Shard* Home;  // the shard its recipient lives in
  bool Alone;   // the shard's lock taken the only caller's way
};

inline __attribute__((always_inline)) Place PlaceOf(const Queue* queue, int32_t key) {
  const uint32_t hash = HashOf(queue, key);
  return Place{hash, ShardOf(queue, hash), false};
}

// Finds the key's shard and takes the locks for it.
inline __attribute__((always_inline)) Place LockPlaceOf(Queue* queue, int32_t key) {
  Place place = PlaceOf(queue, key);
  place.Alone = Lock(queue, place.Home);
  return place;
}

inline __attribute__((always_inline)) void Unlock(Queue* queue, Shard* shard) {
  synchro::GiveBack(&shard->Lock);
  ReleaseQueueLock(queue);
}

inline __attribute__((always_inline)) void UnlockAndWake(Queue* queue, Shard* shard, AfterUnlock work) {
  Unlock(queue, shard);
  if (work.Wake != nullptr) platform::Unpark(work.Wake);
}

// Read before any lock is taken, so it looks at what only load and unload
// change.
inline bool Usable(const Queue* queue) { return queue->Shards != nullptr; }

// Whether posts and takes may go without the lock: not where the
// process-wide lock is held around each of them.
constexpr bool kLockFree = !platform::kHasQueueLock;

// Before a post or a take: true when it may go without the lock, because
// other threads call too. Else `place` says whether this thread, the only
// caller, took the shard its plain way (the section then runs under it),
// or must lock it: a signal handler inside the thread's own section must
// not touch the words the section is writing with plain stores, and waits
// for the word instead, as for any word its thread holds.
inline __attribute__((always_inline)) bool MayGoWithoutLock(Place* place) {
  if constexpr (!kLockFree) return false;
  EnterQueue();
  const synchro::AloneTake way = synchro::TakeAlone(&place->Home->Lock);
  place->Alone = way == synchro::AloneTake::kTaken;
  return way == synchro::AloneTake::kShared;
}

// A post that queued nothing, for want of memory (for its message, or for
// the whole queue at load), which the host is told where it reads why a
// call failed (queue.cpp).
__attribute__((noinline, cold)) int32_t NotQueued();
// A take from a queue that could not be made at load: no message can ever
// come, and 0 says why in the same place.
__attribute__((noinline, cold)) int32_t NoQueue();

}  // namespace messaging

#endif
