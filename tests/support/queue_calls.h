// The four message operations on the process's one queue, for the tests that
// link the core directly rather than load the library.
#ifndef QUENTHALOY_TESTS_QUEUE_CALLS_H
#define QUENTHALOY_TESTS_QUEUE_CALLS_H

#include <stdint.h>

#include "messaging/queue.h"
#include "shell/runtime.h"

namespace queue_calls {

inline int32_t Send(int32_t recipient, int32_t value) {
  return messaging::SendThreadMessage(&shell::runtime.Queue, recipient, value);
}
inline int32_t Get(int32_t recipient) { return messaging::GetThreadMessage(&shell::runtime.Queue, recipient); }
inline int32_t SendAndWait(int32_t recipient, int32_t value) {
  return messaging::SendThreadMessageAndWait(&shell::runtime.Queue, recipient, value);
}
inline int32_t Wait(int32_t recipient) { return messaging::WaitThreadMessage(&shell::runtime.Queue, recipient); }

}  // namespace queue_calls

#endif
