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
is called.

The calls that never block (post, poll, a non-blocking acquire, release) keep
the interpreter lock across the library call: a post that wakes a worker does
not hand the interpreter to it and wait to get it back. The calls that may
block (send, wait, a blocking acquire) release it, so other Python threads run
while one waits. A thread blocked in them is not interrupted by signals: a
KeyboardInterrupt reaches the main thread only once its call returns.

The library is looked for, in this order: beside this module (a wheel carries
it there), then at the path in the environment variable QUENTHALOY_LIBRARY,
then where the system finds libraries (libquenthaloy.so.0.1 on Linux;
QuenthaloyC.dll on Windows). On 32-bit Windows only the cdecl build,
QuenthaloyC.dll, can be called with the interpreter lock kept; 64-bit Windows
has one calling convention, and either DLL serves. A package may carry the
DLLs in x86/ and x64/ folders beside this module, or beside it directly.
`library_path` says which file was loaded.
"""
import ctypes
import ctypes.util
import math
import operator
import os
import struct
import sys
import threading
import time
import weakref

__all__ = ["post", "send", "poll", "wait", "Resource", "library_path", "INT32_MIN", "INT32_MAX"]
__version__ = "0.1.0"

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1

_LINUX_LIBRARY = "libquenthaloy.so.0.1"
_CDECL_DLL = "QuenthaloyC.dll"
_STDCALL_DLL = "Quenthaloy.dll"


def _candidates(platform, pointer_size, here):
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


def _refuse_stdcall(path):
    if sys.platform == "win32" and struct.calcsize("P") == 4 and os.path.basename(path).lower() == _STDCALL_DLL.lower():
        raise OSError("quenthaloy: %s is the stdcall build; a 32-bit Python needs the cdecl build %s"
                      % (path, _CDECL_DLL))


def _open(path):
    _refuse_stdcall(path)
    return ctypes.CDLL(path), ctypes.PyDLL(path), path


def _load():
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


def _bind(library, name, arguments):
    function = getattr(library, name)
    function.argtypes = [ctypes.c_int32] * arguments
    function.restype = ctypes.c_int32
    return function


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


def _int32(number, what):
    number = operator.index(number)  # TypeError for anything not an integer
    if not INT32_MIN <= number <= INT32_MAX:
        raise OverflowError("%s %d is outside the 32-bit signed range" % (what, number))
    return number


def post(recipient, value):
    """Queues `value` for `recipient` and returns at once. A receiver that
    polls cannot tell a value of 0 from "nothing queued": send 0 only to
    receivers that wait()."""
    if type(recipient) is not int or type(value) is not int or not (
            INT32_MIN <= recipient <= INT32_MAX and INT32_MIN <= value <= INT32_MAX):
        recipient, value = _int32(recipient, "recipient"), _int32(value, "value")
    _post(recipient, value)


def send(recipient, value):
    """Queues `value` for `recipient` and returns once another thread has
    taken it (other Python threads run meanwhile). Never send to a recipient
    only the calling thread serves: the call would wait for ever."""
    _send(_int32(recipient, "recipient"), _int32(value, "value"))


def poll(recipient):
    """Takes the oldest message for `recipient` without waiting: its value,
    or 0 when none is queued (a message whose value is 0 is taken and also
    gives 0)."""
    if type(recipient) is not int or not INT32_MIN <= recipient <= INT32_MAX:
        recipient = _int32(recipient, "recipient")
    return _poll(recipient)


def wait(recipient):
    """Sleeps until a message for `recipient` is queued, takes it and returns
    its value (0 here is a real value). Other Python threads run meanwhile."""
    if type(recipient) is not int or not INT32_MIN <= recipient <= INT32_MAX:
        recipient = _int32(recipient, "recipient")
    return _wait(recipient)


# The longest single wait the library takes: a longer timeout is waited out
# in steps of this many milliseconds.
_LONGEST_WAIT_MS = INT32_MAX


class Resource:
    """A plain lock with the interface of threading.Lock: acquire(blocking,
    timeout) -> bool, release(), `with`. Unlike threading.Lock, and like
    threading.RLock, it belongs to the thread that acquired it: that thread
    may acquire it again without blocking (it is free again after as many
    releases), and only that thread may release it.

    A thread that ends while holding it abandons it. The next acquire takes
    it and returns True, as after any take, and sets `abandoned` to True: the
    data the lock guards may be half updated. Every successful acquire sets
    `abandoned`; read it only while holding the lock.

    close() destroys the lock (also done when the object is collected);
    afterwards every call but close() raises ValueError. `handle` is the
    library's handle, for code that uses the C calls on the same lock."""

    __slots__ = ("_handle", "_finalizer", "abandoned", "_abandoned_unseen", "__weakref__")

    def __init__(self):
        handle = _add()
        if handle == 0:
            raise OSError("quenthaloy: the system would make no more resources")
        self._handle = handle
        self.abandoned = False
        # Set when a thread found the lock abandoned but lost it again in
        # the instant it gave it back to tell: the next taker learns it.
        self._abandoned_unseen = False
        self._finalizer = weakref.finalize(self, _delete, handle)
        # At exit, threads may still be using it: leave it to the process's end.
        self._finalizer.atexit = False

    @property
    def handle(self):
        return self._handle

    def _open_handle(self):
        if self._handle == 0:
            raise ValueError("quenthaloy: the resource is closed")
        return self._handle

    def _taken(self, abandoned):
        self.abandoned = abandoned or self._abandoned_unseen
        self._abandoned_unseen = False
        return True

    def _after_refused_take(self, handle):
        """After a take gave 0: time-out, not a resource, or abandoned (and
        then the caller holds it). A give-back tells: it succeeds only for a
        holder, and a time-out never leaves the caller holding it, since a
        holder's own take always succeeds. Then the lock is taken again at
        once. True if the caller now holds it; None if it lost it to another
        thread in between (that thread is told it was abandoned)."""
        if _give_back(handle) == 0:
            return False
        self._abandoned_unseen = True
        if _try_take(handle, 0) == 1:
            return self._taken(True)
        return None

    def acquire(self, blocking=True, timeout=-1):
        """Takes the lock. blocking=False: one try, never waits. Otherwise
        waits at most `timeout` seconds, or as long as it takes when timeout
        is -1 (the default). True if the caller now holds it (see `abandoned`),
        False if the time ran out."""
        handle = self._open_handle()
        if not blocking:
            if timeout != -1:
                raise ValueError("can't specify a timeout for a non-blocking call")
            if _try_take(handle, 0) == 1:
                return self._taken(False)
            return bool(self._after_refused_take(handle))
        if timeout == -1:
            while True:
                if _take(handle) == 1:
                    return self._taken(False)
                held = self._after_refused_take(handle)
                if held:
                    return True
                if held is False:
                    # OpenThreadResource waits for ever: a 0 that is not an
                    # abandoned take means the handle was destroyed.
                    raise ValueError("quenthaloy: the resource's handle is no longer open")
        if timeout < 0:
            raise ValueError("timeout value must be a non-negative number")
        if timeout > threading.TIMEOUT_MAX:
            raise OverflowError("timeout value is too large")
        deadline = time.monotonic() + timeout
        while True:
            remaining_ms = min(math.ceil((deadline - time.monotonic()) * 1000), _LONGEST_WAIT_MS)
            # A zero wait is one try, made with the interpreter lock kept.
            take = _take_within if remaining_ms > 0 else _try_take
            if take(handle, max(remaining_ms, 0)) == 1:
                return self._taken(False)
            if self._after_refused_take(handle):
                return True
            if remaining_ms <= 0 or time.monotonic() >= deadline:
                return False

    __enter__ = acquire

    def release(self):
        """Gives the lock back once. RuntimeError if the calling thread does
        not hold it."""
        if _give_back(self._open_handle()) == 0:
            raise RuntimeError("cannot release un-acquired lock")

    def __exit__(self, *exception):
        self.release()

    def close(self):
        """Destroys the lock, held or not; the handle stops working at once.
        A second close does nothing."""
        if self._handle != 0:
            self._handle = 0
            self._finalizer()

    def __repr__(self):
        return "<quenthaloy.Resource %s>" % (self._handle if self._handle else "closed")
