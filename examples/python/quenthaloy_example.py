#!/usr/bin/env python3
"""Drives the Linux library from Python with ctypes.

usage: quenthaloy_example.py [path/to/libquenthaloy.so]

On Windows the same script works with the DLLs: ctypes.WinDLL loads the
stdcall build (Quenthaloy.dll), ctypes.CDLL the cdecl one (QuenthaloyC.dll);
on Linux there is one library, loaded with ctypes.CDLL.
"""
import ctypes
import sys
import threading

path = sys.argv[1] if len(sys.argv) > 1 else "libquenthaloy.so"
q = ctypes.CDLL(path)
for name, arguments in [
    ("SendThreadMessage", 2), ("GetThreadMessage", 1), ("SendThreadMessageAndWait", 2),
    ("WaitThreadMessage", 1), ("AddThreadResource", 0), ("OpenThreadResource", 1),
    ("OpenThreadResourceWithin", 2), ("CloseThreadResource", 1), ("DeleteThreadResource", 1),
]:
    function = getattr(q, name)
    function.argtypes = [ctypes.c_int32] * arguments
    function.restype = ctypes.c_int32

# Per-recipient order, and 0 for "nothing queued".
q.SendThreadMessage(1, 10)
q.SendThreadMessage(2, 20)
q.SendThreadMessage(1, 11)
taken = [q.GetThreadMessage(1), q.GetThreadMessage(1), q.GetThreadMessage(1)]
assert taken == [10, 11, 0], taken
assert q.GetThreadMessage(2) == 20

# A thread blocked in WaitThreadMessage; ctypes releases the GIL during the call.
received = []
waiter = threading.Thread(target=lambda: received.append(q.WaitThreadMessage(5)))
waiter.start()
q.SendThreadMessageAndWait(5, 55)  # returns once the waiter has taken it
waiter.join(timeout=20)
assert received == [55], received

resource = q.AddThreadResource()
assert resource != 0 and q.OpenThreadResource(resource) == 1
assert q.CloseThreadResource(resource) != 0 and q.DeleteThreadResource(resource) != 0
print("python: ordered takes %s, hand-off %s, resource %d taken and given back" % (taken[:2], received, resource))
