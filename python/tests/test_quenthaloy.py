"""The quenthaloy package against the library: python3 -m unittest, with the
package importable and the library beside it or named by QUENTHALOY_LIBRARY.

A watchdog that needs no interpreter lock ends the run if anything hangs, so
a call that kept the lock while it waited fails the run instead of stalling it.
"""
import ctypes
import errno
import faulthandler
import os
import subprocess
import sys
import textwrap
import threading
import time
import unittest
from unittest import mock

import quenthaloy

HANG_SECONDS = 20
# Recipients of this test run only; the queue is the process's.
KEY = 0x51000000


def setUpModule():
    faulthandler.dump_traceback_later(120, exit=True)


def tearDownModule():
    faulthandler.cancel_dump_traceback_later()


def short_of_memory(result):
    """A stand-in for a library call that failed for want of memory: it says
    so as the library does, and returns `result`."""
    def call(*arguments):
        if sys.platform == "win32":
            ctypes.set_last_error(8)  # ERROR_NOT_ENOUGH_MEMORY
        else:
            ctypes.set_errno(errno.ENOMEM)
        return result
    return call


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

    def test_a_message_that_was_not_queued_raises_memory_error(self):
        refused = lambda recipient, value: -1  # what the library returns without memory
        with mock.patch.object(quenthaloy, "_post", refused), mock.patch.object(quenthaloy, "_send", refused):
            with self.assertRaises(MemoryError):
                quenthaloy.post(KEY + 6, 1)
            with self.assertRaises(MemoryError):
                quenthaloy.send(KEY + 6, 2)

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

    def test_an_abandonment_is_told_to_the_next_taker_even_if_its_finder_lost_the_lock(self):
        # The finder's take says "abandoned" (0, and it holds it); between
        # its give-back and its take again another thread gets the lock.
        answers = iter([0, 1])
        with mock.patch.object(quenthaloy, "_take", lambda handle: next(answers)), \
                mock.patch.object(quenthaloy, "_give_back", lambda handle: 1), \
                mock.patch.object(quenthaloy, "_try_take", lambda handle, ms: 0):
            taken = []
            finder = threading.Thread(target=lambda: taken.append(self.resource.acquire()))
            finder.start()
            finder.join(HANG_SECONDS)
        self.assertEqual(taken, [True])
        self.assertTrue(self.resource.abandoned, "the lock's next take was not told")

    def test_condition_waits_and_restores_every_take(self):
        r = self.resource
        condition = threading.Condition(r)
        ready, outcome = [], []

        def waiter():
            with condition:
                r.acquire()  # held twice: the wait gives both back, and takes both again
                ready.append(True)
                outcome.append(condition.wait_for(lambda: len(ready) == 2, HANG_SECONDS))
                r.release()
                outcome.append(r._is_owned())
            outcome.append(r._is_owned())

        thread = threading.Thread(target=waiter)
        thread.start()
        deadline = time.monotonic() + HANG_SECONDS
        while not ready and time.monotonic() < deadline:
            time.sleep(0.001)
        with condition:  # free while the other thread waits
            self.assertTrue(r._is_owned())
            ready.append(True)
            condition.notify()
        thread.join(HANG_SECONDS)
        self.assertEqual(outcome, [True, True, False])
        self.assertFalse(r._is_owned())
        with self.assertRaises(RuntimeError):
            r.release()

    def test_an_acquire_on_a_handle_deleted_under_it_raises_at_once(self):
        r = self.resource
        quenthaloy._delete(r.handle)  # through the C call: the object cannot know
        for acquire in [r.acquire, lambda: r.acquire(timeout=10 * HANG_SECONDS)]:
            with self.assertRaises(ValueError):
                acquire()  # the main thread's wait, in slices
            raised = []

            def taker():
                try:
                    acquire()
                except ValueError:
                    raised.append(True)

            thread = threading.Thread(target=taker)
            thread.start()
            thread.join(HANG_SECONDS)
            self.assertFalse(thread.is_alive(), "the take waits on for a deleted handle")
            self.assertEqual(raised, [True])

    def test_a_take_refused_for_want_of_memory_raises_memory_error(self):
        r = self.resource
        no_memory = short_of_memory(0)
        with mock.patch.object(quenthaloy, "_take", no_memory), \
                mock.patch.object(quenthaloy, "_take_within", no_memory), \
                mock.patch.object(quenthaloy, "_try_take", no_memory), \
                mock.patch.object(quenthaloy, "_give_back", no_memory):
            for call in [r.acquire, lambda: r.acquire(False), lambda: r.acquire(timeout=1), r.release]:
                with self.assertRaises(MemoryError):
                    call()
        # A 0 with no word of memory is what it was: no open resource, or a
        # release by a thread that does not hold it.
        refused = lambda *arguments: 0
        with mock.patch.object(quenthaloy, "_take", refused), mock.patch.object(quenthaloy, "_take_within", refused), \
                mock.patch.object(quenthaloy, "_try_take", refused):
            with self.assertRaises(ValueError):
                r.acquire()
        with self.assertRaises(RuntimeError):
            r.release()

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


@unittest.skipIf(sys.platform == "win32", "signals a process by POSIX means")
class Signals(unittest.TestCase):
    """A blocking call in the main thread lets a signal's handler run while
    it waits (Ctrl-C), in a child process that signals itself."""

    def run_child(self, body):
        script = textwrap.dedent("""
            import os, signal, threading, quenthaloy
            def signal_soon(number, seconds=0.2):
                threading.Timer(seconds, os.kill, (os.getpid(), number)).start()
            """) + textwrap.dedent(body)
        child = subprocess.run([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               universal_newlines=True, timeout=HANG_SECONDS)
        return child.stdout.split()

    def test_ctrl_c_interrupts_an_acquire_which_then_holds_nothing(self):
        outcome = self.run_child("""
            r = quenthaloy.Resource()
            held, done = threading.Event(), threading.Event()
            def hold():
                with r:
                    held.set()
                    done.wait()
            holder = threading.Thread(target=hold)
            holder.start()
            held.wait()
            for acquire in [r.acquire, lambda: r.acquire(timeout=1000)]:
                signal_soon(signal.SIGINT)
                try:
                    print("taken", acquire())
                except KeyboardInterrupt:
                    print("interrupted", r._is_owned())
            # A handler that raises nothing: the wait goes on, and takes it.
            signal.signal(signal.SIGUSR1, lambda number, frame: print("handled"))
            signal_soon(signal.SIGUSR1, 0.1)
            threading.Timer(0.3, done.set).start()
            print("taken", r.acquire())
            r.release()
            holder.join()
            print("free", r.acquire(False))
            """)
        self.assertEqual(outcome, ["interrupted", "False", "interrupted", "False", "handled", "taken", "True",
                                   "free", "True"])

    def test_ctrl_c_interrupts_a_send_whose_message_stays_queued(self):
        outcome = self.run_child("""
            key = 0x51000100
            signal_soon(signal.SIGINT)
            try:
                quenthaloy.send(key, 5)  # nobody takes it
            except KeyboardInterrupt:
                print("interrupted")
            print("queued", quenthaloy.poll(key), quenthaloy.poll(key))
            taker = threading.Thread(target=lambda: print("took", quenthaloy.wait(key)))
            taker.start()
            quenthaloy.send(key, 6)
            taker.join()
            print("sent")
            """)
        self.assertEqual(outcome, ["interrupted", "queued", "5", "0", "took", "6", "sent"])


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
