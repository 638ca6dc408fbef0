// Sleepers and the hand-off: a thread's record of its wait and its
// synchronous send (in its parker's room), the line of sleepers of a
// recipient, oldest first, and the two halves of a hand-off: a post that
// queues its message and picks the sleeper to wake, and a take that tells a
// waiting sender. Whom to wake is noted under the lock and woken after it
// (AfterUnlock).
#ifndef QUENTHALOY_MESSAGING_SLEEPERS_H
#define QUENTHALOY_MESSAGING_SLEEPERS_H

#include "index.h"
#include "locking.h"
#include "queue.h"
#include "ring.h"

namespace messaging {

inline Sleeper* SleeperOf(platform::Parker* parker) {
  auto* sleeper = static_cast<Sleeper*>(platform::ParkerRoom(parker));
  sleeper->Parker = parker;
  return sleeper;
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

// Takes the oldest message of a recipient that has one, and lets the
// recipient leave the index if that left it idle.
inline __attribute__((always_inline)) int32_t TakeOldest(Queue* queue, Shard* shard, Recipient* recipient,
                                                         AfterUnlock* work) {
  const int32_t value = TakeLocked(queue, recipient, work);
  RemoveIfIdle(queue, shard, recipient);
  return value;
}

// Takes the oldest sleeper that can still take a message off the line and
// notes it to be woken; sleepers whose threads ended unseen are dropped.
void WakeOldestSleeper(Recipient* recipient, AfterUnlock* work);

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

// A woken sleeper's locked section takes the shard's word, then reads and
// writes its recipient and the slot of the message posted: prefetched
// together, their misses cost about one.
inline __attribute__((always_inline)) void PrefetchForWake(const Shard* shard, const Sleeper* sleeper) {
  __builtin_prefetch(shard, 1);
  __builtin_prefetch(sleeper->LinkedAt, 1);
  if (sleeper->NextSlot != nullptr) __builtin_prefetch(sleeper->NextSlot, 0);
}

// Links a sleeper as its recipient's newest, or (a woken sleeper that found
// nothing left) back as its oldest, where it was; takes one off its line.
void LinkNewest(Recipient* recipient, Sleeper* sleeper);
void LinkOldest(Recipient* recipient, Sleeper* sleeper);
void Unlink(Recipient* recipient, Sleeper* sleeper);

// Undoes what a wait or a synchronous send of this thread left behind when
// it did not return the normal way (a jump out of a signal handler), or
// when its thread ends: its sleeper leaves its line; a wake-up it got but
// never used goes on to the next sleeper of that recipient, if a message is
// queued there; a message of its still queued loses its sender, so that no
// take writes into this record once it belongs to another thread.
void Tidy(Queue* queue, Sleeper* self);

// The record of a thread about to wait or send (null without a parker),
// tidied of whatever a wait or send it left by a jump left behind.
inline Sleeper* SleeperReadyToSleep(Queue* queue, platform::Parker* parker) {
  if (parker == nullptr) return nullptr;
  Sleeper* self = SleeperOf(parker);
  Tidy(queue, self);
  return self;
}

}  // namespace messaging

#endif
