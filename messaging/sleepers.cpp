#include "sleepers.h"

namespace messaging {

static_assert(sizeof(Sleeper) <= platform::kParkerRoomSize, "a thread's sleeper record fits in its parker");
static_assert(alignof(Sleeper) <= 8, "the parker's room is aligned to 8");

void WakeOldestSleeper(Recipient* recipient, AfterUnlock* work) {
  while (recipient->OldestSleeper != nullptr) {
    Sleeper* sleeper = recipient->OldestSleeper;
    recipient->OldestSleeper = sleeper->Next;
    if (recipient->OldestSleeper == nullptr) recipient->NewestSleeper = nullptr;
    sleeper->Next = nullptr;
    platform::Parker* parker = sleeper->Parker;
    if (platform::kThreadsEndUnseen && !platform::ParkerThreadAlive(parker)) {
      sleeper->State = SleepState::kAwake;  // nobody will ever wake it again
      continue;
    }
    sleeper->State = SleepState::kWoken;
    work->Wake = parker;
    return;
  }
}

namespace {

void NoteWhereLinked(const Recipient* recipient, Sleeper* sleeper) {
  sleeper->LinkedAt = recipient;
  sleeper->NextSlot = recipient->Ring != nullptr ? &recipient->Ring[recipient->Oldest] : nullptr;
}

}  // namespace

void LinkNewest(Recipient* recipient, Sleeper* sleeper) {
  QUENTHALOY_CHECK(recipient->Queued == 0);  // a waiter sleeps only with nothing queued
  QUENTHALOY_CHECK(sleeper->State == SleepState::kAwake && sleeper->Next == nullptr);  // never linked twice
  if (recipient->NewestSleeper != nullptr) {
    recipient->NewestSleeper->Next = sleeper;
  } else {
    recipient->OldestSleeper = sleeper;
  }
  recipient->NewestSleeper = sleeper;
  sleeper->Key = recipient->Key;
  sleeper->State = SleepState::kLinked;
  NoteWhereLinked(recipient, sleeper);
}

void LinkOldest(Recipient* recipient, Sleeper* sleeper) {
  QUENTHALOY_CHECK(recipient->Queued == 0);
  QUENTHALOY_CHECK(sleeper->State == SleepState::kAwake && sleeper->Next == nullptr);
  sleeper->Next = recipient->OldestSleeper;
  recipient->OldestSleeper = sleeper;
  if (recipient->NewestSleeper == nullptr) recipient->NewestSleeper = sleeper;
  sleeper->Key = recipient->Key;
  sleeper->State = SleepState::kLinked;
  NoteWhereLinked(recipient, sleeper);
}

void Unlink(Recipient* recipient, Sleeper* sleeper) {
  Sleeper* previous = nullptr;
  Sleeper* at = recipient->OldestSleeper;
  while (at != nullptr && at != sleeper) {
    previous = at;
    at = at->Next;
  }
  QUENTHALOY_CHECK(at == sleeper);
  if (at == nullptr) return;
  if (previous != nullptr) {
    previous->Next = sleeper->Next;
  } else {
    recipient->OldestSleeper = sleeper->Next;
  }
  if (recipient->NewestSleeper == sleeper) recipient->NewestSleeper = previous;
  sleeper->Next = nullptr;
  sleeper->State = SleepState::kAwake;
}

void Tidy(Queue* queue, Sleeper* self) {
  if (self->State != SleepState::kAwake) {
    AfterUnlock work{};
    const auto [hash, shard] = LockPlaceOf(queue, self->Key);
    Recipient* recipient = Find(shard, self->Key, hash);
    if (self->State == SleepState::kLinked && recipient != nullptr) {
      Unlink(recipient, self);
    } else if (self->State == SleepState::kWoken && recipient != nullptr && recipient->Queued > 0) {
      WakeOldestSleeper(recipient, &work);
    }
    self->State = SleepState::kAwake;
    if (recipient != nullptr) RemoveIfIdle(queue, shard, recipient);
    UnlockAndWake(queue, shard, work);
  }
  if (self->SendPending.load(std::memory_order_acquire) != 0) {
    const auto [hash, shard] = LockPlaceOf(queue, self->SendKey);
    Recipient* recipient = Find(shard, self->SendKey, hash);
    for (uint32_t i = 0; recipient != nullptr && i < recipient->Queued; ++i) {
      Message* message = &recipient->Ring[(recipient->Oldest + i) & (recipient->RingSize - 1)];
      if (message->Reply == self->Parker) message->Reply = nullptr;
    }
    self->SendPending.store(0, std::memory_order_relaxed);
    UnlockAndWake(queue, shard, AfterUnlock{});
  }
}

}  // namespace messaging
