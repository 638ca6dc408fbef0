// The nine exports. Built twice for Windows, once per calling convention;
// each only forwards to its part of the library.
#define QUENTHALOY_BUILDING
#include "../include/quenthaloy.h"
#include "../messaging/queue.h"
#include "../resources/resources.h"
#include "runtime.h"

extern "C" {

int32_t QUENTHALOY_CALL AddThreadResource(void) { return resources::AddThreadResource(); }

int32_t QUENTHALOY_CALL CloseThreadResource(int32_t resource) { return resources::CloseThreadResource(resource); }

int32_t QUENTHALOY_CALL DeleteThreadResource(int32_t resource) { return resources::DeleteThreadResource(resource); }

int32_t QUENTHALOY_CALL GetThreadMessage(int32_t recipient) {
  return messaging::GetThreadMessage(&shell::runtime.Queue, recipient);
}

int32_t QUENTHALOY_CALL OpenThreadResource(int32_t resource) { return resources::OpenThreadResource(resource); }

int32_t QUENTHALOY_CALL OpenThreadResourceWithin(int32_t resource, int32_t milliseconds) {
  return resources::OpenThreadResourceWithin(resource, milliseconds);
}

int32_t QUENTHALOY_CALL SendThreadMessage(int32_t recipient, int32_t value) {
  return messaging::SendThreadMessage(&shell::runtime.Queue, recipient, value);
}

int32_t QUENTHALOY_CALL SendThreadMessageAndWait(int32_t recipient, int32_t value) {
  const int32_t result = messaging::SendThreadMessageAndWait(&shell::runtime.Queue, recipient, value);
  platform::ThreadLeavesLibrary();
  return result;
}

int32_t QUENTHALOY_CALL WaitThreadMessage(int32_t recipient) {
  const int32_t value = messaging::WaitThreadMessage(&shell::runtime.Queue, recipient);
  platform::ThreadLeavesLibrary();
  return value;
}

}  // extern "C"
