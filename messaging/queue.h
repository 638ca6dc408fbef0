// The per-process message queue: state, load and unload, and the four
// message operations.
#ifndef QUENTHALOY_MESSAGING_QUEUE_H
#define QUENTHALOY_MESSAGING_QUEUE_H

#include <stdint.h>

#include "../platform/platform.h"

namespace messaging {

struct ThreadMessage {
  ThreadMessage* Next;
  ThreadMessage* Previous;
  int32_t Recipient;
  int32_t Value;
  platform::Handle ReplyEvent;  // 0 unless a sender waits for the take
};

struct MessageList {
  ThreadMessage* Head;  // oldest
  ThreadMessage* Tail;
};

// A thread asleep in WaitThreadMessage, linked while it sleeps. Each sleeper
// has its own wake event that only a post sets, so no thread's reset can
// cancel another's wake-up.
struct Sleeper {
  Sleeper* Next;
  Sleeper* Previous;
  platform::Handle WakeEvent;
  bool Linked;
};

struct QueueState {
  platform::Handle QueueLock;
  platform::Handle Heap;
  MessageList* MessageQueue;
  int32_t ReplyCounter;
  Sleeper* Sleepers;
  // Records of taken messages kept for the next posts (linked by Next), so
  // a steady flow does not go to the heap and its lock for every message.
  ThreadMessage* SpareRecords;
  int32_t SpareCount;
};

// The name that makes QueueLock one mutex for every process of the user.
extern const char kQueueLockName[];

// Creates the queue's objects in `heap`; 1 when the queue is fully usable.
int32_t OnAttach(platform::Handle heap);
// Frees every queued record, closing the reply events still pending.
int32_t OnDetach();

int32_t SendThreadMessage(int32_t recipient, int32_t value);
int32_t GetThreadMessage(int32_t recipient);
int32_t SendThreadMessageAndWait(int32_t recipient, int32_t value);
int32_t WaitThreadMessage(int32_t recipient);

}  // namespace messaging

#endif
