/* Quenthaloy: a message queue and plain locks for the threads of one
 * process. Every argument and result is a 32-bit signed integer; 0 stands for
 * no object, no message or failure as each function says.
 *
 * Windows: link Quenthaloy.dll (stdcall) or, with QUENTHALOY_CDECL defined,
 * QuenthaloyC.dll (cdecl). Linux: libquenthaloy.so. */
#ifndef QUENTHALOY_H
#define QUENTHALOY_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(QUENTHALOY_CDECL)
#define QUENTHALOY_CALL __cdecl
#else
#define QUENTHALOY_CALL __stdcall
#endif
/* The DLLs export through their .def files; hosts import. */
#if defined(QUENTHALOY_BUILDING)
#define QUENTHALOY_API
#else
#define QUENTHALOY_API __declspec(dllimport)
#endif
#else
#define QUENTHALOY_CALL
#define QUENTHALOY_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Thread resources: a new private lock, or 0. */
QUENTHALOY_API int32_t QUENTHALOY_CALL AddThreadResource(void);
/* Gives back a taken resource: non-zero when the caller held it. */
QUENTHALOY_API int32_t QUENTHALOY_CALL CloseThreadResource(int32_t resource);
/* Destroys a resource: non-zero when the handle was open. */
QUENTHALOY_API int32_t QUENTHALOY_CALL DeleteThreadResource(int32_t resource);
/* Takes the oldest message for `recipient` without waiting: its value, or 0. */
QUENTHALOY_API int32_t QUENTHALOY_CALL GetThreadMessage(int32_t recipient);
/* Takes a resource, waiting as long as it takes: 1 if obtained cleanly. */
QUENTHALOY_API int32_t QUENTHALOY_CALL OpenThreadResource(int32_t resource);
/* Takes a resource within `milliseconds` (0: try once): 1 if obtained. */
QUENTHALOY_API int32_t QUENTHALOY_CALL OpenThreadResourceWithin(int32_t resource, int32_t milliseconds);
/* Queues `value` for `recipient` and returns 0 at once. */
QUENTHALOY_API int32_t QUENTHALOY_CALL SendThreadMessage(int32_t recipient, int32_t value);
/* Queues `value` for `recipient` and returns 0 once a receiver took it. */
QUENTHALOY_API int32_t QUENTHALOY_CALL SendThreadMessageAndWait(int32_t recipient, int32_t value);
/* Sleeps until a message for `recipient` is queued, takes it, returns it. */
QUENTHALOY_API int32_t QUENTHALOY_CALL WaitThreadMessage(int32_t recipient);

#ifdef __cplusplus
}
#endif

#endif
