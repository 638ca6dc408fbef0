// One list per process, oldest first, walked under QueueLock. QueueLock is
// named and so shared by every process of the user; everything else here is
// private to the process.
#include "queue.h"

namespace messaging {

const char kQueueLockName[] = "JQ_Quenthaloy_ThreadMessage";

namespace {

QueueState state;

constexpr int32_t kMostSpareRecords = 64;

void LockQueue() {
  // An abandoned lock is held all the same; the queue is never left
  // half-changed by a thread that died between two statements of ours
  // anyway, as each change is a few stores.
  platform::WaitForSingleObject(state.QueueLock, INFINITE);
}

void UnlockQueue() { platform::ReleaseMutex(state.QueueLock); }

bool QueueUsable() { return state.QueueLock != 0 && state.MessageQueue != nullptr; }

void Append(ThreadMessage* message) {
  MessageList* list = state.MessageQueue;
  message->Previous = list->Tail;
  if (list->Tail != nullptr) {
    list->Tail->Next = message;
  } else {
    list->Head = message;
  }
  list->Tail = message;
}

void Unlink(ThreadMessage* message) {
  MessageList* list = state.MessageQueue;
  if (message->Previous != nullptr) {
    message->Previous->Next = message->Next;
  } else {
    list->Head = message->Next;
  }
  if (message->Next != nullptr) {
    message->Next->Previous = message->Previous;
  } else {
    list->Tail = message->Previous;
  }
}

void UnlinkSleeper(Sleeper* sleeper) {
  if (sleeper->Previous != nullptr) {
    sleeper->Previous->Next = sleeper->Next;
  } else {
    state.Sleepers = sleeper->Next;
  }
  if (sleeper->Next != nullptr) sleeper->Next->Previous = sleeper->Previous;
  sleeper->Next = nullptr;
  sleeper->Previous = nullptr;
  sleeper->Linked = false;
}

void LinkSleeper(Sleeper* sleeper) {
  sleeper->Previous = nullptr;
  sleeper->Next = state.Sleepers;
  if (state.Sleepers != nullptr) state.Sleepers->Previous = sleeper;
  state.Sleepers = sleeper;
  sleeper->Linked = true;
}

// Every post wakes every sleeper; each walks the queue again for itself.
// The sleepers are unlinked here, under the lock, so each is woken once per
// sleep, and handed back as a chain to wake once the lock is released: a
// woken thread's first step is to take the lock, which it then finds free.
Sleeper* DetachSleepers() {
  Sleeper* chain = state.Sleepers;
  for (Sleeper* sleeper = chain; sleeper != nullptr; sleeper = sleeper->Next) sleeper->Linked = false;
  state.Sleepers = nullptr;
  return chain;
}

// A detached sleeper stays asleep, and its record on its stack, until its
// event is set; so its link and handle are read before the set, never after.
void WakeDetached(Sleeper* chain) {
  while (chain != nullptr) {
    Sleeper* next = chain->Next;
    platform::SetEvent(chain->WakeEvent);
    chain = next;
  }
}

// A zero-filled record, spare or new; null when no memory is left.
ThreadMessage* NewRecord() {
  ThreadMessage* message = state.SpareRecords;
  if (message == nullptr) return static_cast<ThreadMessage*>(platform::HeapAlloc(state.Heap, sizeof(ThreadMessage)));
  state.SpareRecords = message->Next;
  --state.SpareCount;
  message->Next = nullptr;
  message->Previous = nullptr;
  message->Recipient = 0;
  message->Value = 0;
  message->ReplyEvent = 0;
  return message;
}

void DropRecord(ThreadMessage* message) {
  if (state.SpareCount >= kMostSpareRecords) {
    platform::HeapFree(state.Heap, message);
    return;
  }
  message->Next = state.SpareRecords;
  state.SpareRecords = message;
  ++state.SpareCount;
}

void FreeSpareRecords() {
  while (state.SpareRecords != nullptr) {
    ThreadMessage* next = state.SpareRecords->Next;
    platform::HeapFree(state.Heap, state.SpareRecords);
    state.SpareRecords = next;
  }
  state.SpareCount = 0;
}

// Takes the oldest message for `recipient`. Called under the lock; `reply`
// receives the event of a sender waiting for this take, for the caller to
// set once it has released the lock, so that the sender does not wake into
// a lock still held. Until then the sender waits, and its event stays open.
bool TakeFirst(int32_t recipient, int32_t* value, platform::Handle* reply) {
  for (ThreadMessage* message = state.MessageQueue->Head; message != nullptr; message = message->Next) {
    if (message->Recipient != recipient) continue;
    *reply = message->ReplyEvent;
    *value = message->Value;
    Unlink(message);
    DropRecord(message);
    return true;
  }
  return false;
}

// Queues a message under the lock; null when no memory was left for it.
// `woken` receives the sleepers to wake after the lock is released.
ThreadMessage* PostLocked(int32_t recipient, int32_t value, Sleeper** woken) {
  ThreadMessage* message = NewRecord();
  *woken = nullptr;
  if (message == nullptr) return nullptr;
  message->Recipient = recipient;
  message->Value = value;
  Append(message);
  *woken = DetachSleepers();
  return message;
}

}  // namespace

int32_t OnAttach(platform::Handle heap) {
  state.Heap = heap;
  state.QueueLock = platform::CreateMutexA(kQueueLockName, nullptr);
  // Without the shared lock (the name taken by another kind of object, or
  // refused) the process's own threads still need one between them.
  bool shared = state.QueueLock != 0;
  if (!shared) state.QueueLock = platform::CreateMutexA(nullptr, nullptr);
  state.MessageQueue = static_cast<MessageList*>(platform::HeapAlloc(heap, sizeof(MessageList)));
  state.ReplyCounter = 0;
  state.Sleepers = nullptr;
  state.SpareRecords = nullptr;
  state.SpareCount = 0;
  return (shared && state.MessageQueue != nullptr) ? 1 : 0;
}

int32_t OnDetach() {
  if (state.QueueLock == 0) return 0;
  LockQueue();
  if (state.MessageQueue != nullptr) {
    ThreadMessage* message = state.MessageQueue->Head;
    while (message != nullptr) {
      ThreadMessage* next = message->Next;
      if (message->ReplyEvent != 0) platform::CloseHandle(message->ReplyEvent);
      platform::HeapFree(state.Heap, message);
      message = next;
    }
    state.MessageQueue->Head = nullptr;
    state.MessageQueue->Tail = nullptr;
  }
  FreeSpareRecords();
  UnlockQueue();
  platform::CloseHandle(state.QueueLock);
  state.QueueLock = 0;
  return 0;
}

int32_t SendThreadMessage(int32_t recipient, int32_t value) {
  if (!QueueUsable()) return 0;
  Sleeper* woken = nullptr;
  LockQueue();
  PostLocked(recipient, value, &woken);
  UnlockQueue();
  WakeDetached(woken);
  return 0;
}

int32_t GetThreadMessage(int32_t recipient) {
  if (!QueueUsable()) return 0;
  int32_t value = 0;
  platform::Handle reply = 0;
  LockQueue();
  TakeFirst(recipient, &value, &reply);
  UnlockQueue();
  if (reply != 0) platform::SetEvent(reply);
  return value;
}

int32_t SendThreadMessageAndWait(int32_t recipient, int32_t value) {
  if (!QueueUsable()) return 0;
  Sleeper* woken = nullptr;
  LockQueue();
  ThreadMessage* message = PostLocked(recipient, value, &woken);
  platform::Handle reply = 0;
  if (message != nullptr) {
    ++state.ReplyCounter;
    // Unnamed, so new and unsignalled: it belongs to this message alone.
    reply = platform::CreateEventA(nullptr, nullptr);
    message->ReplyEvent = reply;
  }
  UnlockQueue();
  WakeDetached(woken);
  if (reply == 0) return 0;  // no event: the message stays queued as a plain one
  platform::WaitForSingleObject(reply, INFINITE);
  platform::CloseHandle(reply);
  return 0;
}

int32_t WaitThreadMessage(int32_t recipient) {
  if (!QueueUsable()) return 0;
  Sleeper self = {};
  int32_t value = 0;
  platform::Handle reply = 0;
  for (;;) {
    LockQueue();
    // A failed sleep can leave us linked; a post never sees a stale sleeper.
    if (self.Linked) UnlinkSleeper(&self);
    bool taken = TakeFirst(recipient, &value, &reply);
    if (!taken && self.WakeEvent == 0) self.WakeEvent = platform::CreateEventA(nullptr, nullptr);
    if (taken || self.WakeEvent == 0) break;
    platform::ResetEvent(self.WakeEvent);
    LinkSleeper(&self);
    UnlockQueue();
    platform::WaitForSingleObject(self.WakeEvent, INFINITE);
  }
  UnlockQueue();
  if (reply != 0) platform::SetEvent(reply);
  if (self.WakeEvent != 0) platform::CloseHandle(self.WakeEvent);
  return value;
}

}  // namespace messaging
