// Sleepers and the hand-off: a thread's record of its wait and its
// synchronous send (in its parker's room), the line of sleepers of a
// recipient, oldest first, and the flag in the tail word that sends posts
// to the lock while the line is not empty; and the two halves of a
// hand-off: a post that picks the sleeper to wake, and a take that releases
// a waiting sender. Whom to wake is noted under the lock and woken after it
// (AfterUnlock).
#ifndef QUENTHALOY_MESSAGING_SLEEPERS_H
#define QUENTHALOY_MESSAGING_SLEEPERS_H

#include "index.h"
#include "locking.h"
#include "queue.h"
#include "ring.h"

namespace messaging {

inline Sleeper* RecordOf(platform::Parker* parker) { return static_cast<Sleeper*>(platform::ParkerRoom(parker)); }

inline Sleeper* SleeperOf(platform::Parker* parker) {
  Sleeper* sleeper = RecordOf(parker);
  sleeper->Parker = parker;
  return sleeper;
}

// The take of a synchronous message releases its sender, unless the sender
// gave up waiting for it (its token changed): true when it is to be woken.
inline bool Release(Sender from, bool alone) {
  if (from.Parker == nullptr) return false;
  uint64_t token = from.Token;
  return CompareExchange(&RecordOf(from.Parker)->SendToken, &token, 0, alone);
}

// Under the lock: the oldest message, or kEmpty; a sender to release is
// noted to be woken after the unlock.
inline __attribute__((always_inline)) Outcome TakeLocked(Entry* entry, bool alone, int32_t* value, AfterUnlock* work) {
  Taken taken{};
  const Outcome outcome = Take(entry, entry->Key.load(std::memory_order_relaxed), false, alone, 0, &taken);
  if (outcome != Outcome::kDone) return outcome;
  *value = taken.Value;
  if (Release(taken.From, alone)) work->Wake = taken.From.Parker;
  return outcome;
}

// Takes the oldest sleeper that can still take a message off the line and
// notes it to be woken; sleepers whose threads ended unseen are dropped.
void WakeOldestSleeper(Entry* entry, bool alone, AfterUnlock* work);

// Under the lock: finds or adds the entry, grows its ring if full, posts,
// and wakes the oldest sleeper if the word its ticket replaced said one is
// linked. False when no memory was left: then nothing was posted. Its
// ticket, if asked for.
bool PostLocked(Queue* queue, Shard* shard, int32_t key, uint32_t hash, int32_t value, Sender sender, bool alone,
                AfterUnlock* work, uint32_t* ticket);

// Links a sleeper as its recipient's newest, or (a woken sleeper that found
// nothing left) back as its oldest, where it was; takes one off its line.
// The tail's flag follows: set by Announce, cleared once the line is empty.
void LinkNewest(Entry* entry, Sleeper* sleeper);
void LinkOldest(Entry* entry, Sleeper* sleeper);
void Unlink(Entry* entry, Sleeper* sleeper, bool alone);
// Sets the flag; returns the tail word it replaced, whose ticket tells
// whether a post took one before the flag (and went on without the lock).
uint64_t Announce(Entry* entry, bool alone);

// A post and a take without the lock, where the platform allows: a post
// fails over to the lock (false) on anything but an open entry of its key
// with room; a take answers kDone (its sender, if any, released), kEmpty
// (surely nothing queued at one moment), or kLocked.
inline bool PostWithoutLock(const Place& place, int32_t key, int32_t value, Sender sender) {
  const Found found = FindWithoutLock(place.Home, key, place.Hash);
  uint64_t replaced = 0;
  return found.At != nullptr && Post(found.At, key, value, sender, false, false, &replaced) == Outcome::kDone;
}

// A poll (patience < 0) looks before it writes: a poll of an empty
// recipient then moves no line; a wait, which expects a message, does not:
// the look reads the posts' line, which a stream would move each time. A
// wait about to sleep watches for its message a while first (see Take).
inline Outcome TakeWithoutLock(const Place& place, int32_t key, int patience, int32_t* value) {
  const Found found = FindWithoutLock(place.Home, key, place.Hash);
  if (found.At == nullptr) return found.Sure ? Outcome::kEmpty : Outcome::kLocked;
  if (patience < 0 && LooksEmpty(found.At, key)) return Outcome::kEmpty;
  Taken taken{};
  const Outcome outcome = Take(found.At, key, true, false, patience, &taken);
  if (outcome != Outcome::kDone) return outcome;
  *value = taken.Value;
  if (Release(taken.From, false)) platform::Unpark(taken.From.Parker);
  return outcome;
}

// Either way: without the lock first, where that can be done; then under
// it. Its ticket, if asked for, only where every post takes the lock.
bool PostMessage(Queue* queue, int32_t key, int32_t value, Sender sender, uint32_t* ticket);

// Undoes what a wait or a synchronous send of this thread left behind when
// it did not return the normal way (a jump out of a signal handler), or
// when its thread ends: its sleeper leaves its line; a wake-up it got but
// never used goes on to the next sleeper of that recipient, if a message is
// queued there; a synchronous send of its still queued takes its token
// back, so that the message stays as a plain one and no take writes into
// this record for it once it belongs to another thread.
void Tidy(Queue* queue, Sleeper* self);

// The record of a thread about to wait or send (null without a parker),
// tidied of whatever a wait or send it left by a jump left behind.
inline Sleeper* SleeperReadyToSleep(Queue* queue, platform::Parker* parker) {
  if (parker == nullptr) return nullptr;
  Sleeper* self = SleeperOf(parker);
  // Nearly always nothing to tidy: two loads, and no call.
  if (self->State.load(std::memory_order_acquire) != SleepState::kAwake ||
      self->SendToken.load(std::memory_order_acquire) != 0) {
    Tidy(queue, self);
  }
  return self;
}

}  // namespace messaging

#endif
