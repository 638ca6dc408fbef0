// The per-process message queue: one object holding the lock, the private
// heap it allocates from, an index of the recipients that have messages
// queued or threads waiting, and the spare records kept for reuse.
#ifndef QUENTHALOY_MESSAGING_QUEUE_H
#define QUENTHALOY_MESSAGING_QUEUE_H

#include <stdint.h>

#include "../platform/platform.h"

namespace messaging {

// A queued message. `Reply` is the parker of a synchronous sender waiting
// for the take, or null.
struct Message {
  int32_t Value;
  platform::Parker* Reply;
};

// A thread asleep in WaitThreadMessage, on its own stack while it sleeps. A
// post hands it `Value` (and the synchronous sender it must release) under
// the lock, unlinks it, and unparks it once the lock is released.
struct Sleeper {
  Sleeper* Next;
  platform::Parker* Parker;
  int32_t Value;
  platform::Parker* Release;
};

// One recipient that has messages queued or threads asleep, never both:
// a post to a recipient with a sleeper hands its message over at once.
struct Recipient {
  Recipient* Chain;  // the next in its bucket
  int32_t Key;
  // The messages queued, oldest first, in a ring of RingSize slots (a power
  // of two; 0 with no ring yet): a take behind a long backlog reads one
  // cache line per few messages, not one heap block per message.
  Message* Ring;
  uint32_t RingSize;
  uint32_t Oldest;  // slot of the oldest message
  uint32_t Queued;
  Sleeper* OldestSleeper;
  Sleeper* NewestSleeper;
};

struct Queue {
  platform::QueueLock* Lock;
  platform::Heap* Heap;
  // Chained hash index of the recipients; BucketCount is a power of two.
  Recipient** Buckets;
  uint32_t BucketCount;
  uint32_t RecipientCount;
  uint32_t Seed;  // mixed into every key, drawn at load
  // The last recipient left with nothing queued and nobody waiting, kept in
  // the index for its next post: a flow to one recipient reuses its entry.
  Recipient* IdleRecipient;
  // Recipients that left the index, kept (with a small ring) for the next
  // new ones, so that keys coming and going do not go to the heap each time.
  Recipient* SpareRecipients;
  uint32_t SpareRecipientCount;
};

// Makes the queue's lock and index in `heap`; 1 when the queue is usable.
int32_t OnAttach(Queue* queue, platform::Heap* heap, uint32_t seed);
// Frees everything queued and closes the lock.
int32_t OnDetach(Queue* queue);
// In a forked child: drops every message and sleeper of the parent, whose
// messages were queued for the parent's threads, not the child's.
void ForgetInChild(Queue* queue);

int32_t SendThreadMessage(Queue* queue, int32_t recipient, int32_t value);
int32_t GetThreadMessage(Queue* queue, int32_t recipient);
int32_t SendThreadMessageAndWait(Queue* queue, int32_t recipient, int32_t value);
int32_t WaitThreadMessage(Queue* queue, int32_t recipient);

}  // namespace messaging

#endif
