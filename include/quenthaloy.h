/* Quenthaloy: a message queue and plain locks for the threads of one
 * process. Every argument and result is a 32-bit signed integer; 0 stands for
 * no object, no message or failure as each function says.
 *
 * Windows: link Quenthaloy.dll (stdcall) or, with QUENTHALOY_CDECL defined,
 * QuenthaloyC.dll (cdecl). Linux: libquenthaloy.so.
 *
 * A message value of 0 cannot be told from "nothing queued" by
 * GetThreadMessage: hosts that poll should not send 0.
 *
 * Why a call failed: one that failed for want of memory says so besides its
 * result, in errno (ENOMEM) on Linux and in the thread's last error
 * (GetLastError: ERROR_NOT_ENOUGH_MEMORY) on Windows. That is -1 from
 * SendThreadMessage or SendThreadMessageAndWait; 0 from AddThreadResource;
 * 0 from OpenThreadResource or OpenThreadResourceWithin in a thread the
 * library cannot keep a record of (Linux; the lock is then not held); 0 from
 * GetThreadMessage or WaitThreadMessage on a queue that could not be made at
 * load. A resource call given a bad handle says EBADF
 * (ERROR_INVALID_HANDLE) instead; a time-out, an abandoned take or a
 * give-back by a thread that does not hold the lock never says ENOMEM
 * (ERROR_NOT_ENOUGH_MEMORY). Clear errno (SetLastError(0)) before the call
 * to read it after a failing result; a call that succeeds may change it. */
#ifndef QUENTHALOY_H
#define QUENTHALOY_H

#include <stdint.h>

/* This header's release. CMakeLists.txt's project() holds the one version
 * number; configuring fails while these say otherwise. */
#define QUENTHALOY_VERSION_MAJOR 0
#define QUENTHALOY_VERSION_MINOR 1
#define QUENTHALOY_VERSION_PATCH 0

#if defined(QUENTHALOY_CDECL) && defined(QUENTHALOY_STDCALL)
#error "define QUENTHALOY_CDECL (QuenthaloyC.dll) or QUENTHALOY_STDCALL (Quenthaloy.dll), not both"
#endif
#if defined(QUENTHALOY_BUILDING) && defined(QUENTHALOY_RUNTIME_LOADING)
#error "QUENTHALOY_BUILDING is for the library itself, QUENTHALOY_RUNTIME_LOADING for hosts: not both"
#endif

/* The calling convention of the build being linked: stdcall unless
 * QUENTHALOY_CDECL is defined; nothing special on Linux. */
#if defined(_WIN32)
#if defined(QUENTHALOY_CDECL)
#define QUENTHALOY_CALL __cdecl
#else
#define QUENTHALOY_CALL __stdcall
#endif
#else
#define QUENTHALOY_CALL
#endif

/* Import or export decoration. Hosts import; the library builds with
 * QUENTHALOY_BUILDING (the DLLs export through their .def files); hosts that
 * load the library at run time define QUENTHALOY_RUNTIME_LOADING and use the
 * function-pointer types below only. */
#if defined(QUENTHALOY_BUILDING)
#if defined(_WIN32)
#define QUENTHALOY_API
#else
#define QUENTHALOY_API __attribute__((visibility("default")))
#endif
#elif defined(_WIN32)
#define QUENTHALOY_API __declspec(dllimport)
#else
#define QUENTHALOY_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Function-pointer types, for hosts that load the library at run time
 * (GetProcAddress, dlsym) by the undecorated names. */
typedef int32_t(QUENTHALOY_CALL* QuenthaloyAddThreadResourceFn)(void);
typedef int32_t(QUENTHALOY_CALL* QuenthaloyCloseThreadResourceFn)(int32_t resource);
typedef int32_t(QUENTHALOY_CALL* QuenthaloyDeleteThreadResourceFn)(int32_t resource);
typedef int32_t(QUENTHALOY_CALL* QuenthaloyGetThreadMessageFn)(int32_t recipient);
typedef int32_t(QUENTHALOY_CALL* QuenthaloyOpenThreadResourceFn)(int32_t resource);
typedef int32_t(QUENTHALOY_CALL* QuenthaloyOpenThreadResourceWithinFn)(int32_t resource, int32_t milliseconds);
typedef int32_t(QUENTHALOY_CALL* QuenthaloySendThreadMessageFn)(int32_t recipient, int32_t value);
typedef int32_t(QUENTHALOY_CALL* QuenthaloySendThreadMessageAndWaitFn)(int32_t recipient, int32_t value);
typedef int32_t(QUENTHALOY_CALL* QuenthaloyWaitThreadMessageFn)(int32_t recipient);

#if !defined(QUENTHALOY_RUNTIME_LOADING)
/* Thread resources: plain recursive locks the host makes, takes, gives back
 * and destroys. A resource whose holder thread ended without giving it back
 * is "abandoned": the next take gets it, holds it, and returns 0 to say the
 * work it guarded may be half done. So after a 0 from OpenThreadResource, or
 * from OpenThreadResourceWithin (where 0 also means the time ran out), the
 * caller may hold the resource: a CloseThreadResource that returns non-zero
 * tells. No negative value is ever a resource (-1 and -2 among them, which
 * Windows reads as the current process and thread): every call returns 0 for
 * them at once, as for 0 and any closed handle. */
/* Makes a new lock, free, that only this process can use: its handle, or 0. */
QUENTHALOY_API int32_t QUENTHALOY_CALL AddThreadResource(void);
/* Gives the lock back once: non-zero when the caller held it. A lock taken n
 * times is free after n give-backs. */
QUENTHALOY_API int32_t QUENTHALOY_CALL CloseThreadResource(int32_t resource);
/* Destroys the lock, held or not: non-zero when the handle was open. The
 * handle stops working at once, for its holder too. */
QUENTHALOY_API int32_t QUENTHALOY_CALL DeleteThreadResource(int32_t resource);
/* Takes the oldest message for `recipient` without waiting: its value, or 0. */
QUENTHALOY_API int32_t QUENTHALOY_CALL GetThreadMessage(int32_t recipient);
/* Takes the lock, waiting as long as it takes: 1 if taken cleanly, 0 if
 * taken abandoned (the caller holds it) or not a resource. */
QUENTHALOY_API int32_t QUENTHALOY_CALL OpenThreadResource(int32_t resource);
/* Takes the lock within `milliseconds` (0: try once): 1 if taken cleanly;
 * 0 if the time ran out, if taken abandoned (the caller holds it), or if not
 * a resource. */
QUENTHALOY_API int32_t QUENTHALOY_CALL OpenThreadResourceWithin(int32_t resource, int32_t milliseconds);
/* Queues `value` for `recipient` and returns 0 at once; -1 when the message
 * could not be queued (no memory for it), and then nothing was posted. */
QUENTHALOY_API int32_t QUENTHALOY_CALL SendThreadMessage(int32_t recipient, int32_t value);
/* Queues `value` for `recipient` and returns 0 once a receiver took it; -1 at
 * once when the message could not be queued (no memory for it). Never send
 * so to a recipient only the calling thread serves: it would wait for ever. */
QUENTHALOY_API int32_t QUENTHALOY_CALL SendThreadMessageAndWait(int32_t recipient, int32_t value);
/* Sleeps until a message for `recipient` is queued, takes it, returns it.
 * It never returns without a message, but for 0 at once from a queue that
 * could not be made at load (see "Why a call failed" above). */
QUENTHALOY_API int32_t QUENTHALOY_CALL WaitThreadMessage(int32_t recipient);
#endif

#ifdef __cplusplus
}
#endif

#endif
