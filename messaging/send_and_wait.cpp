// The blocking calls: a wait that sleeps until a message comes for its
// recipient, and a synchronous send that sleeps until its message is taken.
// Both sleep on the thread's parker, recorded in its room (sleepers.h).
#include "index.h"
#include "locking.h"
#include "queue.h"
#include "sleepers.h"

namespace messaging {
namespace {

// How long a wait without a parker or without memory for its entry sleeps
// between looks at its recipient.
constexpr uint32_t kPollMilliseconds = 1;

// The slow way to wait, for a thread without a parker or a wait without
// memory for its recipient's entry: a look every few milliseconds, until a
// message is there. Called and returns with the locks held.
int32_t PollLocked(Queue* queue, Shard* shard, int32_t key, uint32_t hash, AfterUnlock* work) {
  for (;;) {
    Recipient* recipient = Find(shard, key, hash);
    if (recipient != nullptr && recipient->Queued > 0) return TakeOldest(queue, shard, recipient, work);
    Unlock(queue, shard);
    platform::SleepMilliseconds(kPollMilliseconds);
    Lock(queue, shard);
  }
}

}  // namespace

int32_t SendThreadMessageAndWait(Queue* queue, int32_t recipient, int32_t value) {
  if (!Usable(queue)) return NotQueued();
  // Without a parker the message is queued as a plain one and the call
  // returns at once: better than a sender that can never be released.
  platform::Parker* reply = platform::ParkerOfThisThread();
  Sleeper* self = SleeperReadyToSleep(queue, reply);
  AfterUnlock work{};
  const auto [hash, shard] = LockPlaceOf(queue, recipient);
  if (self != nullptr) {
    self->SendKey = recipient;
    self->SendPending.store(1, std::memory_order_relaxed);
  }
  const bool queued = PostLocked(queue, shard, recipient, hash, Message{value, reply}, &work);
  if (!queued && self != nullptr) self->SendPending.store(0, std::memory_order_relaxed);
  UnlockAndWake(queue, shard, work);
  if (!queued) return NotQueued();
  if (self == nullptr) return 0;
  // The taker clears the flag and then gives exactly one Unpark, which the
  // first Park consumes; a later Park only follows a wake-up left over
  // from a wait this thread jumped out of.
  do {
    platform::Park(reply);
  } while (self->SendPending.load(std::memory_order_acquire) != 0);
  return 0;
}

int32_t WaitThreadMessage(Queue* queue, int32_t recipient) {
  if (!Usable(queue)) return NoQueue();
  platform::Parker* parker = platform::ParkerOfThisThread();
  Sleeper* self = SleeperReadyToSleep(queue, parker);
  AfterUnlock work{};
  const auto [hash, shard] = LockPlaceOf(queue, recipient);
  for (;;) {
    Recipient* entry = Find(shard, recipient, hash);
    if (entry != nullptr && entry->Queued > 0) {
      // Woken or not: a linked sleeper that finds a message takes it (one
      // woken for it will find nothing and go back to the line).
      if (self != nullptr && self->State == SleepState::kLinked) Unlink(entry, self);
      if (self != nullptr) self->State = SleepState::kAwake;
      const int32_t value = TakeOldest(queue, shard, entry, &work);
      UnlockAndWake(queue, shard, work);
      return value;
    }
    if (self != nullptr && self->State == SleepState::kWoken) {
      self->State = SleepState::kAwake;  // taken by another: back to the head of the line
      entry = FindOrAdd(queue, shard, recipient, hash);
      if (entry != nullptr) LinkOldest(entry, self);
    } else if (self != nullptr && self->State == SleepState::kAwake) {
      entry = FindOrAdd(queue, shard, recipient, hash);
      if (entry != nullptr) LinkNewest(entry, self);
    }
    if (self == nullptr || self->State != SleepState::kLinked) {
      // No parker, or no memory for the entry: never return without a
      // message, look again every few milliseconds instead.
      const int32_t value = PollLocked(queue, shard, recipient, hash, &work);
      UnlockAndWake(queue, shard, work);
      return value;
    }
    Unlock(queue, shard);
    platform::Park(parker);
    PrefetchForWake(shard, self);
    Lock(queue, shard);
  }
}

}  // namespace messaging
