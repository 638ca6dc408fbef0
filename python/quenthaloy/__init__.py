"""Quenthaloy for Python: a message queue and plain recursive locks shared by
the threads of this process.

    import quenthaloy
    quenthaloy.post(7, 42)           # queue 42 for recipient 7, return at once
    quenthaloy.poll(7)               # 42 (0 when nothing is queued)
    value = quenthaloy.wait(7)       # sleep until a message for 7 comes
    quenthaloy.send(7, 42)           # queue 42, return once a thread took it
    lock = quenthaloy.Resource()
    with lock:
        ...

Recipients and values are 32-bit signed integers: anything else raises
TypeError (not an integer) or OverflowError (out of range) before the library
is called. A post or send that could not queue its message (no memory for
it) raises MemoryError: nothing was queued.

The calls that never block (post, poll, a non-blocking acquire, release) keep
the interpreter lock across the library call: a post that wakes a worker does
not hand the interpreter to it and wait to get it back. The calls that may
block (send, wait, a blocking acquire) release it, so other Python threads run
while one waits.

Signals (Ctrl-C): in the main thread, a blocking Resource.acquire() and
send() let the handlers of signals run while they wait (within a twentieth of
a second), and what a handler raises (KeyboardInterrupt) comes out of the
call: acquire() then does not hold the lock; send()'s message stays queued
and goes to a receiver as any. For that, the main thread's send() is made by
a helper thread, at the cost of two thread switches. wait() cannot be left
without a message, as any message taken for it would be lost to the other
takers: a handler runs, and its exception is raised, once it returns. A
main thread that must stay responsive waits with poll() and a sleep, or
leaves wait() to other threads.

The library is looked for, in this order: beside this module (a wheel carries
it there), then at the path in the environment variable QUENTHALOY_LIBRARY,
then where the system finds libraries (libquenthaloy.so.0.1 on Linux;
QuenthaloyC.dll on Windows). On 32-bit Windows only the cdecl build,
QuenthaloyC.dll, can be called with the interpreter lock kept; 64-bit Windows
has one calling convention, and either DLL serves. A package may carry the
DLLs in x86/ and x64/ folders beside this module, or beside it directly.
`library_path` says which file was loaded.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import errno
import math
import operator
import os
import struct
import sys
import threading
import time
import weakref
from typing import TYPE_CHECKING, Any, Callable, List, Optional, Tuple

if TYPE_CHECKING:
    # Python 3.8 and later; annotations are not evaluated at run time.
    from typing import SupportsIndex

__all__ = ["post", "send", "poll", "wait", "Resource", "library_path", "INT32_MIN", "INT32_MAX"]
__version__ = "0.1.0"

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1

_LINUX_LIBRARY = "libquenthaloy.so.0.1"
_CDECL_DLL = "QuenthaloyC.dll"
_STDCALL_DLL = "Quenthaloy.dll"


def _candidates(platform: str, pointer_size: int, here: str) -> Tuple[List[str], List[str]]:
    """The library files to try, best first, as (path, from_system) pairs:
    beside the module first, then QUENTHALOY_LIBRARY (added by the caller),
    then the system's. A pure function of its arguments, so that the Windows
    choice can be checked anywhere."""
    if platform == "win32":
        # 32-bit: cdecl only, for ctypes.PyDLL calls cdecl. 64-bit Windows has
        # one convention, so the stdcall build's file serves as well.
        names = [_CDECL_DLL] if pointer_size == 4 else [_CDECL_DLL, _STDCALL_DLL]
        folder = "x86" if pointer_size == 4 else "x64"
        beside = [os.path.join(here, folder, name) for name in names] + [os.path.join(here, name) for name in names]
        return beside, [name[: -len(".dll")] for name in names]
    return [os.path.join(here, _LINUX_LIBRARY)], [_LINUX_LIBRARY]


def _refuse_stdcall(path: str) -> None:
    if sys.platform == "win32" and struct.calcsize("P") == 4 and os.path.basename(path).lower() == _STDCALL_DLL.lower():
        raise OSError("quenthaloy: %s is the stdcall build; a 32-bit Python needs the cdecl build %s"
                      % (path, _CDECL_DLL))


def _open(path: str) -> Tuple[ctypes.CDLL, ctypes.PyDLL, str]:
    _refuse_stdcall(path)
    # The library tells why a call failed through errno (Linux) or the last
    # error (Windows); ctypes keeps a copy of it per thread for us to read.
    if sys.platform == "win32":
        return ctypes.CDLL(path, use_last_error=True), ctypes.PyDLL(path, use_last_error=True), path
    return ctypes.CDLL(path, use_errno=True), ctypes.PyDLL(path, use_errno=True), path


def _load() -> Tuple[ctypes.CDLL, ctypes.PyDLL, str]:
    beside, system = _candidates(sys.platform, struct.calcsize("P"), os.path.dirname(os.path.abspath(__file__)))
    for path in beside:
        if os.path.exists(path):
            return _open(path)
    # A path the user named is used or fails loudly: falling back to another
    # copy would hide the mistake.
    named = os.environ.get("QUENTHALOY_LIBRARY")
    if named:
        return _open(named)
    for name in system:
        if sys.platform == "win32":
            # Bare names are not searched on the PATH by ctypes since 3.8.
            found = ctypes.util.find_library(name)
            if found:
                return _open(found)
            continue
        try:
            return _open(name)
        except OSError:
            pass
    raise OSError("quenthaloy: no library found beside %s, in QUENTHALOY_LIBRARY or on the system (tried %s)"
                  % (os.path.dirname(os.path.abspath(__file__)), ", ".join(beside + system)))


_blocking, _quick, library_path = _load()

_LibraryCall = Callable[..., int]


def _bind(library: ctypes.CDLL, name: str, arguments: int) -> _LibraryCall:
    function: Any = getattr(library, name)
    function.argtypes = [ctypes.c_int32] * arguments
    function.restype = ctypes.c_int32
    bound: _LibraryCall = function
    return bound


# Through ctypes.PyDLL (the interpreter lock kept): the calls that never block.
_post = _bind(_quick, "SendThreadMessage", 2)
_poll = _bind(_quick, "GetThreadMessage", 1)
_try_take = _bind(_quick, "OpenThreadResourceWithin", 2)
_give_back = _bind(_quick, "CloseThreadResource", 1)
_add = _bind(_quick, "AddThreadResource", 0)
_delete = _bind(_quick, "DeleteThreadResource", 1)
# Through ctypes.CDLL (the interpreter lock released): the calls that wait.
_send = _bind(_blocking, "SendThreadMessageAndWait", 2)
_wait = _bind(_blocking, "WaitThreadMessage", 1)
_take = _bind(_blocking, "OpenThreadResource", 1)
_take_within = _bind(_blocking, "OpenThreadResourceWithin", 2)

# A resource call's 0 cannot say whether memory ran out; the library says so
# in errno (ENOMEM) or the last error (ERROR_NOT_ENOUGH_MEMORY), which are
# cleared before the call.
if sys.platform == "win32":
    _ERROR_NOT_ENOUGH_MEMORY = 8

    def _clear_failure() -> None:
        ctypes.set_last_error(0)

    def _short_of_memory() -> bool:
        return ctypes.get_last_error() == _ERROR_NOT_ENOUGH_MEMORY
else:
    def _clear_failure() -> None:
        ctypes.set_errno(0)

    def _short_of_memory() -> bool:
        return ctypes.get_errno() == errno.ENOMEM


def _int32(number: SupportsIndex, what: str) -> int:
    whole = operator.index(number)  # TypeError for anything not an integer
    if not INT32_MIN <= whole <= INT32_MAX:
        raise OverflowError("%s %d is outside the 32-bit signed range" % (what, whole))
    return whole


# The library refuses a message only when it has no memory for it.
_NOT_QUEUED = "quenthaloy: no memory to queue the message; nothing was queued"


def post(recipient: SupportsIndex, value: SupportsIndex) -> None:
    """Queues `value` for `recipient` and returns at once. MemoryError if
    there was no memory for it (nothing was queued). A receiver that polls
    cannot tell a value of 0 from "nothing queued": send 0 only to receivers
    that wait()."""
    if type(recipient) is not int or type(value) is not int or not (
            INT32_MIN <= recipient <= INT32_MAX and INT32_MIN <= value <= INT32_MAX):
        recipient, value = _int32(recipient, "recipient"), _int32(value, "value")
    if _post(recipient, value) != 0:
        raise MemoryError(_NOT_QUEUED)


# The main thread waits in slices of at most this many milliseconds, so that
# a signal's handler (Ctrl-C) runs soon after the signal came.
_MAIN_THREAD_SLICE_MS = 50


_get_ident = threading.get_ident


def _in_main_thread() -> bool:
    return _get_ident() == threading.main_thread().ident


def _check_timeout(blocking: bool, timeout: float) -> None:
    """Refuses what threading.Lock.acquire refuses."""
    if not blocking:
        raise ValueError("can't specify a timeout for a non-blocking call")
    if timeout < 0:
        raise ValueError("timeout value must be a non-negative number")
    if timeout > threading.TIMEOUT_MAX:
        raise OverflowError("timeout value is too large")


class _SendOnBehalf:
    """A thread that makes the main thread's synchronous sends, one at a
    time, so that the main thread can wait for the take in slices: the
    library's send has no time limit, and cannot be left without leaving the
    message queued. A proxy whose sender was interrupted goes on waiting for
    the take, as the sender would have, and then ends."""

    idle: List["_SendOnBehalf"] = []

    def __init__(self) -> None:
        # Each handed over by releasing it: a message to send, and its result.
        self._go, self._finished = threading.Lock(), threading.Lock()
        self._go.acquire()
        self._finished.acquire()
        self._state = threading.Lock()
        self._message = (0, 0)
        self._result = 0
        self._done = self._deserted = False
        threading.Thread(target=self._serve, name="quenthaloy send", daemon=True).start()

    def _serve(self) -> None:
        while True:
            self._go.acquire()
            result = _send(*self._message)
            with self._state:
                self._result, self._done = result, True
                deserted = self._deserted
            self._finished.release()
            if deserted:
                return

    def send(self, recipient: int, value: int) -> int:
        self._message, self._done = (recipient, value), False
        try:
            self._go.release()
            while not self._finished.acquire(timeout=_MAIN_THREAD_SLICE_MS / 1000):
                pass
        except BaseException:
            # A signal's handler raised: the message is queued all the same
            # (or is about to be), and goes to a receiver as any.
            with self._state:
                self._deserted = not self._done
            if not self._deserted:
                self._finished.acquire()
                _SendOnBehalf.idle.append(self)
            raise
        _SendOnBehalf.idle.append(self)
        return self._result


if hasattr(os, "register_at_fork"):
    # A child has none of its parent's threads.
    os.register_at_fork(after_in_child=_SendOnBehalf.idle.clear)


def send(recipient: SupportsIndex, value: SupportsIndex) -> None:
    """Queues `value` for `recipient` and returns once another thread has
    taken it (other Python threads run meanwhile). MemoryError at once if
    there was no memory for it (nothing was queued). Never send to a
    recipient only the calling thread serves: the call would wait for ever.

    In the main thread a signal's handler (Ctrl-C) runs while send() waits,
    and what it raises comes out of send(); the message stays queued and goes
    to a receiver as any (a post made after the interruption may be queued
    before it)."""
    recipient, value = _int32(recipient, "recipient"), _int32(value, "value")
    if not _in_main_thread():
        result = _send(recipient, value)
    else:
        proxy = _SendOnBehalf.idle.pop() if _SendOnBehalf.idle else _SendOnBehalf()
        result = proxy.send(recipient, value)
    if result != 0:
        raise MemoryError(_NOT_QUEUED)


def poll(recipient: SupportsIndex) -> int:
    """Takes the oldest message for `recipient` without waiting: its value,
    or 0 when none is queued (a message whose value is 0 is taken and also
    gives 0)."""
    if type(recipient) is not int or not INT32_MIN <= recipient <= INT32_MAX:
        recipient = _int32(recipient, "recipient")
    return _poll(recipient)


def wait(recipient: SupportsIndex) -> int:
    """Sleeps until a message for `recipient` is queued, takes it and returns
    its value (0 here is a real value). Other Python threads run meanwhile."""
    if type(recipient) is not int or not INT32_MIN <= recipient <= INT32_MAX:
        recipient = _int32(recipient, "recipient")
    return _wait(recipient)


# The longest single wait the library takes: a longer timeout is waited out
# in steps of this many milliseconds.
_LONGEST_WAIT_MS = INT32_MAX
# A refused wait of at least this many milliseconds that ended before half its
# time was no time-out: the handle is not open. Shorter ones are not judged,
# as a system's timer may end a wait up to a tick early.
_JUDGED_WAIT_MS = 40


def _after_refused_give_back(handle: int) -> None:
    """Raises why a give-back gave 0, unless asked again it gives the lock
    back."""
    if _short_of_memory():
        # Perhaps a word left from an earlier call: cleared, asked again.
        _clear_failure()
        if _give_back(handle) != 0:
            return
        if _short_of_memory():
            raise MemoryError("quenthaloy: no memory for this thread to give the lock back")
    raise RuntimeError("cannot release un-acquired lock")


class Resource:
    """A plain lock with the interface of threading.Lock: acquire(blocking,
    timeout) -> bool, release(), `with`. Unlike threading.Lock, and like
    threading.RLock, it belongs to the thread that acquired it: that thread
    may acquire it again without blocking (it is free again after as many
    releases), and only that thread may release it. threading.Condition
    takes it as it takes an RLock.

    A thread that ends while holding it abandons it. The next acquire takes
    it and returns True, as after any take, and sets `abandoned`, by the rule
    for "abandoned" in the README's "What a caller can rely on" (the C++
    header's resource::abandoned() follows it too): the data the lock guards
    may be half updated. Read it only while holding the lock.

    A blocking acquire in the main thread can be interrupted by a signal's
    handler (Ctrl-C): its exception comes out of acquire(), which then does
    not hold the lock. MemoryError from acquire() or release() when the
    library had no memory for the calling thread (a new thread's first call).

    close() destroys the lock (also done when the object is collected);
    afterwards every call but close() raises ValueError, timed or not, and
    so does an acquire that was waiting for it, once its wait ends (in the
    main thread at once). `handle` is the library's handle, for code that
    uses the C calls on the same lock."""

    __slots__ = ("_handle", "_finalizer", "abandoned", "_abandoned_unseen", "_owner", "_count", "__weakref__")

    def __init__(self) -> None:
        handle = _add()
        if handle == 0:
            raise OSError("quenthaloy: the system would make no more resources")
        self._handle: int = handle
        self.abandoned: bool = False
        # Set when a thread found the lock abandoned but did not keep it: the
        # next taker learns it.
        self._abandoned_unseen = False
        # The thread that holds it through this object, and how many times.
        self._owner: Optional[int] = None
        self._count = 0
        self._finalizer = weakref.finalize(self, _delete, handle)
        # At exit, threads may still be using it: leave it to the process's end.
        self._finalizer.atexit = False

    @property
    def handle(self) -> int:
        return self._handle

    def _open_handle(self) -> int:
        if self._handle == 0:
            raise ValueError("quenthaloy: the resource is closed")
        return self._handle

    def _taken(self, abandoned: bool) -> bool:
        self.abandoned = abandoned or self._abandoned_unseen
        self._abandoned_unseen = False
        self._owner = _get_ident()
        self._count += 1
        return True

    def _after_refused_take(self, handle: int) -> Optional[bool]:
        """After a take gave 0: time-out, not a resource, no memory, or
        abandoned (and then the caller holds it). A give-back tells: it
        succeeds only for a holder, and a time-out never leaves the caller
        holding it, since a holder's own take always succeeds. Then the lock
        is taken again at once. True if the caller now holds it; None if it
        lost it to another thread in between (that thread is told it was
        abandoned); False if it holds nothing. MemoryError if the library had
        no memory for the take."""
        short_of_memory = _short_of_memory()
        if _give_back(handle) == 0:
            if short_of_memory:
                raise MemoryError("quenthaloy: no memory for this thread to take the lock")
            return False
        self._abandoned_unseen = True
        if _try_take(handle, 0) == 1:
            return self._taken(True)
        return None

    def _try_once(self, handle: int) -> bool:
        if _try_take(handle, 0) == 1:
            return self._taken(False)
        return self._after_try(handle)

    def _after_try(self, handle: int) -> bool:
        """After a try gave 0: True if the caller now holds the lock."""
        # A refusal with no word of memory was none. The word may be left
        # from an earlier call: cleared, the try is made again to learn.
        if _short_of_memory():
            _clear_failure()
            if _try_take(handle, 0) == 1:
                return self._taken(False)
        return bool(self._after_refused_take(handle))

    def acquire(self, blocking: bool = True, timeout: float = -1) -> bool:
        """Takes the lock. blocking=False: one try, never waits. Otherwise
        waits at most `timeout` seconds, or as long as it takes when timeout
        is -1 (the default). True if the caller now holds it (see `abandoned`),
        False if the time ran out."""
        if timeout != -1:
            _check_timeout(blocking, timeout)
        handle = self._handle
        # One try first, with the interpreter lock kept: it succeeds at once
        # for a free lock and for its holder, so past it the caller holds
        # nothing. What _taken() does, written out: this is the hot path.
        if handle != 0 and _try_take(handle, 0) == 1:
            self.abandoned = unseen = self._abandoned_unseen
            if unseen:
                self._abandoned_unseen = False
            self._owner = _get_ident()
            self._count += 1
            return True
        handle = self._open_handle()
        if self._after_try(handle):
            return True
        if not blocking:
            return False
        deadline = None if timeout == -1 else time.monotonic() + timeout
        if not _in_main_thread():
            return self._take_until(handle, deadline, None)
        try:
            return self._take_until(handle, deadline, _MAIN_THREAD_SLICE_MS)
        except BaseException:
            # A signal's handler raised between two slices, or just after the
            # take that this call made: the caller held nothing before, so
            # whatever it holds now is this call's take, given back. Unless
            # that take was seen clean, the next taker is told it may have
            # been abandoned.
            if _give_back(handle) != 0:
                if self._count == 0 or self.abandoned:
                    self._abandoned_unseen = True
                self._owner, self._count = None, 0
            raise

    def _take_until(self, handle: int, deadline: Optional[float], slice_ms: Optional[int]) -> bool:
        """Waits until `deadline` (None: for ever) in one library call, or in
        calls of at most `slice_ms` milliseconds, between which the
        interpreter runs the handlers of signals that came."""
        while True:
            if deadline is None and slice_ms is None:
                wait_ms = -1  # one untimed wait
            else:
                left = _LONGEST_WAIT_MS if deadline is None else math.ceil((deadline - time.monotonic()) * 1000)
                wait_ms = max(0, min(left, slice_ms or _LONGEST_WAIT_MS, _LONGEST_WAIT_MS))
            started = time.monotonic()
            _clear_failure()
            if wait_ms < 0:
                result = _take(handle)
            elif wait_ms > 0:
                result = _take_within(handle, wait_ms)
            else:
                result = _try_take(handle, 0)  # one try, with the interpreter lock kept
            if result == 1:
                return self._taken(False)
            held = self._after_refused_take(handle)
            if held:
                return True
            if held is None:
                continue
            # Refused: a time-out, or no open resource. An untimed wait, or a
            # timed one refused well before its time, was no time-out.
            cut_short = wait_ms >= _JUDGED_WAIT_MS and (time.monotonic() - started) * 2000 < wait_ms
            if self._handle == 0 or wait_ms < 0 or cut_short:
                raise ValueError("quenthaloy: the resource's handle is no longer open")
            if deadline is not None and (wait_ms == 0 or time.monotonic() >= deadline):
                return False

    __enter__ = acquire

    def release(self) -> None:
        """Gives the lock back once. RuntimeError if the calling thread does
        not hold it."""
        handle = self._handle
        if handle == 0 or _give_back(handle) == 0:
            _after_refused_give_back(self._open_handle())
        if self._count and self._owner == _get_ident():
            self._count -= 1
            if not self._count:
                self._owner = None

    def __exit__(self, *exception: object) -> None:
        self.release()

    # What threading.Condition asks of a recursive lock, as threading.RLock
    # gives it: whether the caller holds it, and giving back every take of
    # the caller's (to wait) and taking them again (after the wait).
    def _is_owned(self) -> bool:
        return self._count > 0 and self._owner == _get_ident()

    def _release_save(self) -> int:
        if not self._is_owned():
            raise RuntimeError("cannot release un-acquired lock")
        count = self._count
        for _ in range(count):
            self.release()
        return count

    def _acquire_restore(self, count: int) -> None:
        # Not interrupted by a signal, as threading.RLock's is not: the
        # caller leaves the wait holding the lock as it entered it.
        handle = self._open_handle()
        self._take_until(handle, None, None)
        for _ in range(count - 1):
            # The holder's own takes: never refused, never wait.
            self._try_once(handle)

    def close(self) -> None:
        """Destroys the lock, held or not; the handle stops working at once.
        A second close does nothing."""
        if self._handle != 0:
            self._handle = 0
            self._owner, self._count = None, 0
            self._finalizer()

    def __repr__(self) -> str:
        return "<quenthaloy.Resource %s>" % (self._handle if self._handle else "closed")
