"""The quenthaloy package against the library: python3 -m unittest, with the
package importable and the library beside it or named by QUENTHALOY_LIBRARY.

A watchdog that needs no interpreter lock ends the run if anything hangs, so
a call that kept the lock while it waited fails the run instead of stalling it.
"""
import ctypes
import faulthandler
import os
import threading
import time
import unittest

import quenthaloy

HANG_SECONDS = 20
# Recipients of this test run only; the queue is the process's.
KEY = 0x51000000


def setUpModule():
    faulthandler.dump_traceback_later(120, exit=True)


def tearDownModule():
    faulthandler.cancel_dump_traceback_later()


def keeps_interpreter_lock(function):
    return bool(function._flags_ & ctypes._FUNCFLAG_PYTHONAPI)


class Holder:
    """Another thread that takes `resource` and keeps it until released."""

    def __init__(self, resource, give_back=True):
        self.taken, self.done = threading.Event(), threading.Event()
        self.thread = threading.Thread(target=self._run, args=(resource, give_back))
        self.thread.start()
        assert self.taken.wait(HANG_SECONDS)

    def _run(self, resource, give_back):
        resource.acquire()
        self.taken.set()
        self.done.wait(HANG_SECONDS)
        if give_back:
            resource.release()

    def end(self):
        self.done.set()
        self.thread.join(HANG_SECONDS)
        assert not self.thread.is_alive()


class Messages(unittest.TestCase):
    def test_order_per_recipient_and_zero_when_none(self):
        quenthaloy.post(KEY + 1, 10)
        quenthaloy.post(KEY + 2, 20)
        quenthaloy.post(KEY + 1, 0)
        quenthaloy.post(KEY + 1, quenthaloy.INT32_MIN)
        quenthaloy.post(KEY + 1, quenthaloy.INT32_MAX)
        self.assertEqual([quenthaloy.poll(KEY + 1) for _ in range(5)],
                         [10, 0, quenthaloy.INT32_MIN, quenthaloy.INT32_MAX, 0])
        self.assertEqual(quenthaloy.poll(KEY + 2), 20)
        self.assertEqual(quenthaloy.poll(KEY + 2), 0)

    def test_bad_arguments_raise_before_the_call(self):
        for call, arguments in [(quenthaloy.post, 2), (quenthaloy.send, 2), (quenthaloy.poll, 1),
                                (quenthaloy.wait, 1)]:
            for bad, error in [(2**31, OverflowError), (-(2**31) - 1, OverflowError), (1.0, TypeError),
                               ("1", TypeError), (None, TypeError)]:
                with self.assertRaises(error, msg="%s(%r)" % (call.__name__, bad)):
                    call(*([bad] + [KEY + 3] * (arguments - 1)))
                if arguments == 2:
                    with self.assertRaises(error):
                        call(KEY + 3, bad)
        self.assertEqual(quenthaloy.poll(KEY + 3), 0, "a refused post queued something")

    def test_send_returns_only_once_taken(self):
        sent = threading.Event()
        sender = threading.Thread(target=lambda: (quenthaloy.send(KEY + 4, 44), sent.set()))
        sender.start()
        # While the sender waits, this thread runs (the interpreter lock is free).
        self.assertFalse(sent.wait(0.2), "send returned before anyone took the message")
        deadline = time.monotonic() + HANG_SECONDS
        value = 0
        while value == 0 and time.monotonic() < deadline:
            value = quenthaloy.poll(KEY + 4)
        self.assertEqual(value, 44)
        self.assertTrue(sent.wait(HANG_SECONDS), "send did not return after the take")
        sender.join(HANG_SECONDS)

    def test_other_threads_run_while_one_waits(self):
        received = []
        entered = threading.Event()
        waiter = threading.Thread(target=lambda: (entered.set(), received.append(quenthaloy.wait(KEY + 5))))
        waiter.start()
        self.assertTrue(entered.wait(HANG_SECONDS))
        # Had wait() kept the interpreter lock, this thread would never run
        # again, and the watchdog would end the run.
        ticks = 0
        for _ in range(20):
            time.sleep(0.01)
            ticks += 1
        quenthaloy.post(KEY + 5, 0)
        waiter.join(HANG_SECONDS)
        self.assertEqual((ticks, received), (20, [0]))

    def test_only_the_waiting_calls_release_the_interpreter_lock(self):
        for function in [quenthaloy._post, quenthaloy._poll, quenthaloy._try_take, quenthaloy._give_back]:
            self.assertTrue(keeps_interpreter_lock(function), function.__name__)
        for function in [quenthaloy._send, quenthaloy._wait, quenthaloy._take, quenthaloy._take_within]:
            self.assertFalse(keeps_interpreter_lock(function), function.__name__)


class Resources(unittest.TestCase):
    def setUp(self):
        self.resource = quenthaloy.Resource()

    def tearDown(self):
        self.resource.close()

    def test_recursive_and_owned_by_its_thread(self):
        r = self.resource
        self.assertTrue(r.acquire())
        self.assertTrue(r.acquire(blocking=False))
        with r:
            pass
        r.release()
        outside = []
        probe = threading.Thread(target=lambda: outside.append(r.acquire(False)))
        probe.start()
        probe.join(HANG_SECONDS)
        self.assertEqual(outside, [False], "free after one release of two takes")
        r.release()
        with self.assertRaises(RuntimeError):
            r.release()

    def test_release_by_another_thread_raises(self):
        holder = Holder(self.resource)
        with self.assertRaises(RuntimeError):
            self.resource.release()
        holder.end()

    def test_times_out_while_another_thread_holds_it(self):
        holder = Holder(self.resource)
        self.assertFalse(self.resource.acquire(blocking=False))
        self.assertFalse(self.resource.acquire(timeout=0))
        self.assertFalse(self.resource.acquire(timeout=0.05))
        holder.end()
        self.assertTrue(self.resource.acquire(timeout=HANG_SECONDS))
        self.assertFalse(self.resource.abandoned)
        self.resource.release()

    def test_blocked_acquire_lets_other_threads_run(self):
        holder = Holder(self.resource)
        got = []
        entered = threading.Event()
        taker = threading.Thread(target=lambda: (entered.set(), got.append(self.resource.acquire())))
        taker.start()
        self.assertTrue(entered.wait(HANG_SECONDS))
        time.sleep(0.05)  # never returns if the taker kept the interpreter lock
        self.assertEqual(got, [])
        holder.end()
        taker.join(HANG_SECONDS)
        self.assertEqual(got, [True])

    def test_abandoned_take_holds_it_and_says_so(self):
        def try_until_taken(r):
            # join() may return a moment before the thread has really ended
            # and abandoned what it held: until then a try finds it held.
            deadline = time.monotonic() + HANG_SECONDS
            while not r.acquire(False):
                if time.monotonic() > deadline:
                    return False
                time.sleep(0.001)
            return True

        for take in [lambda r: r.acquire(), try_until_taken, lambda r: r.acquire(timeout=HANG_SECONDS)]:
            Holder(self.resource, give_back=False).end()  # ends holding it
            self.assertTrue(take(self.resource))
            self.assertTrue(self.resource.abandoned)
            self.resource.release()
            with self.assertRaises(RuntimeError, msg="held once, not twice"):
                self.resource.release()
            self.assertTrue(self.resource.acquire(False))
            self.assertFalse(self.resource.abandoned)
            self.resource.release()

    def test_bad_arguments_and_closed(self):
        r = self.resource
        with self.assertRaises(ValueError):
            r.acquire(False, 1)
        with self.assertRaises(ValueError):
            r.acquire(timeout=-2)
        with self.assertRaises(OverflowError):
            r.acquire(timeout=threading.TIMEOUT_MAX * 2)
        r.close()
        r.close()
        for call in [r.acquire, lambda: r.acquire(False), lambda: r.acquire(timeout=1), r.release]:
            with self.assertRaises(ValueError):
                call()


class Loading(unittest.TestCase):
    def test_windows_takes_the_cdecl_dll_for_a_32_bit_interpreter(self):
        beside, system = quenthaloy._candidates("win32", 4, "pkg")
        self.assertEqual(beside, [os.path.join("pkg", "x86", "QuenthaloyC.dll"), os.path.join("pkg", "QuenthaloyC.dll")])
        self.assertEqual(system, ["QuenthaloyC"])
        beside, system = quenthaloy._candidates("win32", 8, "pkg")
        self.assertEqual(beside[0], os.path.join("pkg", "x64", "QuenthaloyC.dll"))
        self.assertNotIn("x86", "".join(beside))
        self.assertEqual(system, ["QuenthaloyC", "Quenthaloy"])

    def test_linux_takes_the_soname(self):
        self.assertEqual(quenthaloy._candidates("linux", 8, "pkg"),
                         ([os.path.join("pkg", "libquenthaloy.so.0.1")], ["libquenthaloy.so.0.1"]))


if __name__ == "__main__":
    unittest.main()
