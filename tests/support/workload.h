// A mixed messaging workload with exact accounting, run the same way over the
// core natively and over a loaded DLL under Wine; only the sizes differ.
#ifndef QUENTHALOY_TESTS_WORKLOAD_H
#define QUENTHALOY_TESTS_WORKLOAD_H

#include <stdint.h>

namespace workload {

struct MessageCalls {
  int32_t (*Send)(int32_t recipient, int32_t value);
  int32_t (*Get)(int32_t recipient);
  int32_t (*SendAndWait)(int32_t recipient, int32_t value);
  int32_t (*Wait)(int32_t recipient);
};

// Posters post to every taker's recipients, every `synchronous_every`-th post
// synchronously. Taker 0 only polls and is the only target of synchronous
// sends: a sender blocked on a taker asleep for that same sender's next post
// would deadlock, as the library documents. The other takers mix polling
// with blocking waits for recipients that still have messages due. Taker 0
// runs on the calling thread, so helper threads = posters + takers - 1.
struct Shape {
  int posters;
  int takers;
  int recipients_per_taker;
  int posts_per_poster;
  int synchronous_every;
  int32_t first_recipient;
};

struct Report {
  long posted;
  long taken;
  long synchronous;   // synchronous sends made
  long released;      // synchronous senders that returned
  long waits;         // messages taken by a blocking wait
  long out_of_order;  // taken before an earlier post of the same poster and recipient
  long foreign;       // a value nobody posted to that recipient
  long left_over;     // still queued afterwards
};

// Runs the workload; a thread that does not finish within `deadline_ms` is a
// hang and ends the program (see harness::Worker).
Report Run(const MessageCalls& calls, const Shape& shape, int deadline_ms);

// The same with one poster (the calling thread) and one taker (a helper)
// that both polls and waits while also receiving synchronous sends. The
// taker waits only for a message the poster is sure to post before it can
// block again: one no later than the oldest synchronous send not yet taken.
// Only two threads ever block, which is what Wine under qemu tolerates.
Report RunPair(const MessageCalls& calls, const Shape& shape, int deadline_ms);

// Test expectations on a report: every value taken once and in order, every
// synchronous sender released, and at least the given numbers of
// synchronous sends and of takes by a blocking wait in the mix.
void ExpectNothingLost(const Report& report, long least_synchronous, long least_waits);

}  // namespace workload

#endif
