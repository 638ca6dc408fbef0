#include "sleepers.h"

namespace messaging {

static_assert(sizeof(Sleeper) <= platform::kParkerRoomSize, "a thread's sleeper record fits in its parker");
static_assert(alignof(Sleeper) <= 8, "the parker's room is aligned to 8");

namespace {

// Once the line is empty, posts need the lock no more.
void ClearFlagIfNobodySleeps(Entry* entry, bool alone) {
  if (entry->OldestSleeper != nullptr) return;
  uint64_t tail = entry->Tail.load(std::memory_order_relaxed);
  while ((tail & kSleepers) != 0 && !CompareExchange(&entry->Tail, &tail, tail & ~kSleepers, alone)) {
  }
}

void MarkLinked(const Entry* entry, Sleeper* sleeper) {
  sleeper->Key = entry->Key.load(std::memory_order_relaxed);
  sleeper->State.store(SleepState::kLinked, std::memory_order_relaxed);
}

// Where every take holds the lock (not kLockFree), a record may be freed
// at its thread's end (Windows): the message of a send it gave up on, still
// queued, forgets its sender, so that no take touches the record. Elsewhere
// records stay, and the token a take would swap is gone for good.
void ForgetSender(Queue* queue, Sleeper* self) {
  if constexpr (!kLockFree) {
    const auto [hash, shard, alone] = LockPlaceOf(queue, self->SendKey);
    Entry* entry = Find(shard, self->SendKey, hash);
    if (entry != nullptr) {
      const uint32_t head = TicketOf(entry->Head.load(std::memory_order_relaxed));
      const uint32_t tail = TicketOf(entry->Tail.load(std::memory_order_relaxed));
      if (self->SendTicket - head < tail - head) {
        const RingView view = ViewOf(entry->ProducerRing.load(std::memory_order_relaxed));
        Reply* reply = &view.Replies[self->SendTicket & view.Mask];
        if (reply->Sender.load(std::memory_order_relaxed) == self->Parker) {
          reply->Sender.store(nullptr, std::memory_order_relaxed);
        }
      }
    }
    UnlockAndWake(queue, shard, AfterUnlock{});
  }
}

}  // namespace

void WakeOldestSleeper(Entry* entry, bool alone, AfterUnlock* work) {
  while (entry->OldestSleeper != nullptr) {
    Sleeper* sleeper = entry->OldestSleeper;
    entry->OldestSleeper = sleeper->Next;
    if (entry->OldestSleeper == nullptr) entry->NewestSleeper = nullptr;
    sleeper->Next = nullptr;
    platform::Parker* parker = sleeper->Parker;
    if (platform::kThreadsEndUnseen && !platform::ParkerThreadAlive(parker)) {
      sleeper->State.store(SleepState::kAwake, std::memory_order_relaxed);  // nobody will ever wake it again
      continue;
    }
    sleeper->State.store(SleepState::kWoken, std::memory_order_release);
    work->Wake = parker;
    break;
  }
  ClearFlagIfNobodySleeps(entry, alone);
}

bool PostLocked(Queue* queue, Shard* shard, int32_t key, uint32_t hash, int32_t value, Sender sender, bool alone,
                AfterUnlock* work, uint32_t* ticket) {
  Entry* entry = FindOrAdd(queue, shard, key, hash, alone);
  if (entry == nullptr) return false;
  uint64_t replaced = 0;
  Outcome outcome = Post(entry, key, value, sender, true, alone, &replaced);
  while (outcome == Outcome::kFull) {
    if (!GrowRing(queue, shard, entry, alone)) return false;
    outcome = Post(entry, key, value, sender, true, alone, &replaced);
  }
  if ((replaced & kSleepers) != 0) WakeOldestSleeper(entry, alone, work);
  if (ticket != nullptr) *ticket = TicketOf(replaced);
  return true;
}

void LinkNewest(Entry* entry, Sleeper* sleeper) {
  QUENTHALOY_CHECK(sleeper->State.load(std::memory_order_relaxed) == SleepState::kAwake &&
                   sleeper->Next == nullptr);  // never linked twice
  if (entry->NewestSleeper != nullptr) {
    entry->NewestSleeper->Next = sleeper;
  } else {
    entry->OldestSleeper = sleeper;
  }
  entry->NewestSleeper = sleeper;
  MarkLinked(entry, sleeper);
}

void LinkOldest(Entry* entry, Sleeper* sleeper) {
  QUENTHALOY_CHECK(sleeper->State.load(std::memory_order_relaxed) == SleepState::kAwake && sleeper->Next == nullptr);
  sleeper->Next = entry->OldestSleeper;
  entry->OldestSleeper = sleeper;
  if (entry->NewestSleeper == nullptr) entry->NewestSleeper = sleeper;
  MarkLinked(entry, sleeper);
}

void Unlink(Entry* entry, Sleeper* sleeper, bool alone) {
  Sleeper* previous = nullptr;
  Sleeper* at = entry->OldestSleeper;
  while (at != nullptr && at != sleeper) {
    previous = at;
    at = at->Next;
  }
  QUENTHALOY_CHECK(at == sleeper);
  if (at != nullptr) {
    if (previous != nullptr) {
      previous->Next = sleeper->Next;
    } else {
      entry->OldestSleeper = sleeper->Next;
    }
    if (entry->NewestSleeper == sleeper) entry->NewestSleeper = previous;
    sleeper->Next = nullptr;
  }
  sleeper->State.store(SleepState::kAwake, std::memory_order_relaxed);
  ClearFlagIfNobodySleeps(entry, alone);
}

uint64_t Announce(Entry* entry, bool alone) {
  uint64_t tail = entry->Tail.load(std::memory_order_relaxed);
  while (!CompareExchange(&entry->Tail, &tail, tail | kSleepers, alone)) {
  }
  return tail;
}

void Tidy(Queue* queue, Sleeper* self) {
  const SleepState state = self->State.load(std::memory_order_acquire);
  if (state != SleepState::kAwake) {
    AfterUnlock work{};
    const auto [hash, shard, alone] = LockPlaceOf(queue, self->Key);
    Entry* entry = Find(shard, self->Key, hash);
    if (state == SleepState::kLinked && entry != nullptr) {
      Unlink(entry, self, alone);
    } else if (state == SleepState::kWoken && entry != nullptr && HasQueued(entry)) {
      WakeOldestSleeper(entry, alone, &work);
    }
    self->State.store(SleepState::kAwake, std::memory_order_relaxed);
    UnlockAndWake(queue, shard, work);
  }
  // The taker may win meanwhile: then its wake-up comes once, and a later
  // park in a loop absorbs it.
  uint64_t token = self->SendToken.load(std::memory_order_acquire);
  if (token != 0 && self->SendToken.compare_exchange_strong(token, 0, std::memory_order_acq_rel)) {
    ForgetSender(queue, self);
  }
}

}  // namespace messaging
