/*
 * The waiter/poster protocol of the message queue, reduced to what decides
 * whether a waiter can sleep past a message of its own.
 *
 * WAITERS threads each wait for one message to their own recipient; one
 * poster per recipient queues it (the poster for recipient 0 sends
 * synchronously and waits for its reply), and one more poster queues a
 * message that nobody waits for, so waiters are also woken for nothing.
 *
 * Built as is, the model is the library's scheme: every waiter has its own
 * wake event, reset and linked into the sleeper list under the lock; a post
 * unlinks every linked sleeper under the lock and sets their events once it
 * has released the lock.
 *
 * Built with -DLITERAL_RESETS it is the shared manual-reset event reset at
 * the start of every pass and again after a take, which loses wake-ups as
 * soon as two threads wait.
 *
 * Checked: at every state where the lock is free, no waiter is asleep on an
 * unset event while a message for it is queued, unless a poster has taken it
 * off the sleeper list and is about to set its event (the monitor's
 * assertion);
 * and every run ends with every message taken once and every thread done
 * (spin's end-state check).
 */

#ifndef WAITERS
#define WAITERS 2
#endif
#define STRAY WAITERS /* a recipient nobody waits for */

bool locked;
byte queued[WAITERS + 1];
bool asleep[WAITERS];
byte taken[WAITERS];
bool reply_set;
byte finished;

#ifdef LITERAL_RESETS
bool posted;
#else
bool linked[WAITERS];
bool wake[WAITERS];
byte waking[WAITERS]; /* posters about to set the waiter's event */
#endif

inline lock() { atomic { !locked -> locked = true } }
inline unlock() { locked = false }

#ifdef LITERAL_RESETS
#define EVENT(me) posted
#define WAKING(me) false
#else
#define EVENT(me) wake[me]
#define WAKING(me) (waking[me] > 0)
#endif

/* Both work on the poster's own `woken` and `i`. */
inline detach_sleepers() {
#ifdef LITERAL_RESETS
  posted = true
#else
  /* One step: all of it is under the lock. */
  atomic {
    for (i : 0 .. WAITERS - 1) {
      if
      :: linked[i] -> linked[i] = false; woken = woken | (1 << i); waking[i]++
      :: else -> skip
      fi
    }
    i = 0
  }
#endif
}

inline wake_detached() {
#ifdef LITERAL_RESETS
  skip
#else
  for (i : 0 .. WAITERS - 1) {
    if
    :: woken & (1 << i) -> atomic { wake[i] = true; waking[i]--; woken = woken & ~(1 << i) }
    :: else -> skip
    fi
  }
  i = 0
#endif
}

proctype Waiter(byte me) {
  do
  ::
#ifdef LITERAL_RESETS
    posted = false;
#endif
    lock();
#ifndef LITERAL_RESETS
    linked[me] = false;
#endif
    if
    :: queued[me] > 0 ->
      queued[me]--;
      if
      :: me == 0 -> reply_set = true
      :: else -> skip
      fi;
#ifdef LITERAL_RESETS
      posted = false;
#endif
      unlock();
      break
    :: else ->
#ifndef LITERAL_RESETS
      wake[me] = false;
      linked[me] = true;
#endif
      unlock();
      asleep[me] = true;
      atomic { EVENT(me) -> asleep[me] = false }
    fi
  od;
  taken[me]++;
  finished++
}

proctype Poster(byte recipient) {
  byte woken; /* bit i: waiter i to wake */
  byte i;
  lock();
  queued[recipient]++;
  detach_sleepers();
  unlock();
  wake_detached();
  if
  :: recipient == 0 -> reply_set /* synchronous: wait for the take */
  :: else -> skip
  fi;
  finished++
}

active proctype Monitor() {
  byte w;
  atomic {
    for (w : 0 .. WAITERS - 1) {
      assert(locked || !asleep[w] || EVENT(w) || queued[w] == 0 || WAKING(w))
    }
  }
}

init {
  byte r;
  atomic {
    for (r : 0 .. WAITERS - 1) {
      run Waiter(r)
    }
    for (r : 0 .. WAITERS) {
      run Poster(r)
    }
  }
  finished == 2 * WAITERS + 1;
  for (r : 0 .. WAITERS - 1) {
    assert(taken[r] == 1 && queued[r] == 0)
  }
  assert(reply_set)
}
