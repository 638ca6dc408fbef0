// The blocking calls: a wait that sleeps until a message comes for its
// recipient, and a synchronous send that sleeps until its message is taken.
// Both sleep on the thread's parker, recorded in its room (sleepers.h).
#include "../sync/backoff.h"
#include "index.h"
#include "locking.h"
#include "queue.h"
#include "sleepers.h"

namespace messaging {
namespace {

// How long a wait without a parker or without memory for its recipient's
// entry sleeps between looks at its recipient.
constexpr uint32_t kPollMilliseconds = 1;

// The slow way to wait, for a thread without a parker or a wait without
// memory for its recipient's entry: a look every few milliseconds, until a
// message is there. Called with the locks held; returns with them released.
int32_t PollLocked(Queue* queue, Place place, int32_t key) {
  for (;;) {
    AfterUnlock work{};
    int32_t value = 0;
    Entry* entry = Find(place.Home, key, place.Hash);
    if (entry != nullptr && TakeLocked(entry, place.Alone, &value, &work) == Outcome::kDone) {
      UnlockAndWake(queue, place.Home, work);
      return value;
    }
    Unlock(queue, place.Home);
    platform::SleepMilliseconds(kPollMilliseconds);
    place.Alone = Lock(queue, place.Home);
  }
}

// Before it takes the lock to sleep, a waiter watches for its message a
// little while: a stream whose messages come within that takes no lock.
int WaitPatience() {
  if (!synchro::backoff::SpinningPays()) return 0;
  return synchro::backoff::SpinsFor(synchro::backoff::kMessageSpinNanoseconds);
}

// A woken sleeper takes its message without the lock where it can: its
// waker took it off the line, so nothing is left to unlink.
bool TakeAsWoken(const Place& place, Sleeper* self, int32_t key, int32_t* value) {
  if (!kLockFree || self->State.load(std::memory_order_acquire) != SleepState::kWoken) return false;
  if (TakeWithoutLock(place, key, 0, value) != Outcome::kDone) return false;
  self->State.store(SleepState::kAwake, std::memory_order_relaxed);
  return true;
}

// Links the waiter (at the head of the line if it was woken and found
// nothing left) and announces it to posts; false when a post took a ticket
// before the announcement, so that it must take again first.
bool LinkAndAnnounce(Entry* entry, Sleeper* self, bool alone) {
  if (self->State.load(std::memory_order_relaxed) == SleepState::kWoken) {
    self->State.store(SleepState::kAwake, std::memory_order_relaxed);
    LinkOldest(entry, self);
  } else if (self->State.load(std::memory_order_relaxed) == SleepState::kAwake) {
    LinkNewest(entry, self);
  }
  const uint64_t replaced = Announce(entry, alone);
  if (TicketOf(replaced) == TicketOf(entry->Head.load(std::memory_order_seq_cst))) return true;
  Unlink(entry, self, alone);
  return false;
}

// Called with the locks held; returns with them released.
int32_t WaitLocked(Queue* queue, Place place, int32_t key, Sleeper* self) {
  for (;;) {
    AfterUnlock work{};
    int32_t value = 0;
    Entry* entry = Find(place.Home, key, place.Hash);
    if (entry != nullptr && TakeLocked(entry, place.Alone, &value, &work) == Outcome::kDone) {
      // Woken or not: a linked sleeper that finds a message takes it (one
      // woken for it will find nothing and go back to the line).
      if (self != nullptr && self->State.load(std::memory_order_relaxed) == SleepState::kLinked) {
        Unlink(entry, self, place.Alone);
      }
      if (self != nullptr) self->State.store(SleepState::kAwake, std::memory_order_relaxed);
      UnlockAndWake(queue, place.Home, work);
      return value;
    }
    if (self != nullptr && entry == nullptr) entry = Add(queue, place.Home, key, place.Hash, place.Alone);
    if (self == nullptr || entry == nullptr) {
      // No parker, or no memory for the entry: never return without a
      // message, look again every few milliseconds instead.
      if (self != nullptr) self->State.store(SleepState::kAwake, std::memory_order_relaxed);
      return PollLocked(queue, place, key);
    }
    if (!LinkAndAnnounce(entry, self, place.Alone)) continue;
    Unlock(queue, place.Home);
    platform::Park(self->Parker);
    if (TakeAsWoken(place, self, key, &value)) return value;
    place.Alone = Lock(queue, place.Home);
  }
}

}  // namespace

int32_t SendThreadMessageAndWait(Queue* queue, int32_t recipient, int32_t value) {
  if (!Usable(queue)) return NotQueued();
  // Without a parker the message is queued as a plain one and the call
  // returns at once: better than a sender that can never be released.
  platform::Parker* reply = platform::ParkerOfThisThread();
  Sleeper* self = SleeperReadyToSleep(queue, reply);
  Sender sender{};
  if (self != nullptr) {
    sender = Sender{reply, queue->SendsMade.fetch_add(1, std::memory_order_relaxed) + 1};
    self->SendToken.store(sender.Token, std::memory_order_relaxed);
    self->SendKey = recipient;
  }
  if (!PostMessage(queue, recipient, value, sender, self != nullptr ? &self->SendTicket : nullptr)) {
    if (self != nullptr) self->SendToken.store(0, std::memory_order_relaxed);
    return NotQueued();
  }
  if (self == nullptr) return 0;
  // The taker clears the token and then gives exactly one Unpark, which the
  // first Park consumes; a later Park only follows a wake-up left over
  // from a wait this thread jumped out of.
  do {
    platform::Park(reply);
  } while (self->SendToken.load(std::memory_order_acquire) != 0);
  return 0;
}

int32_t WaitThreadMessage(Queue* queue, int32_t recipient) {
  if (!Usable(queue)) return NoQueue();
  platform::Parker* parker = platform::ParkerOfThisThread();
  Sleeper* self = SleeperReadyToSleep(queue, parker);
  Place place = PlaceOf(queue, recipient);
  int32_t value = 0;
  if (MayGoWithoutLock(&place) && TakeWithoutLock(place, recipient, WaitPatience(), &value) == Outcome::kDone) {
    return value;
  }
  if (!place.Alone) place.Alone = Lock(queue, place.Home);
  return WaitLocked(queue, place, recipient, self);
}

}  // namespace messaging
