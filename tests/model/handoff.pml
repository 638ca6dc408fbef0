/*
 * The message queue's sleep and wake protocol: direct hand-off to the oldest
 * sleeper, one wake per message, one parker per thread reused for every
 * sleep, and synchronous senders released by whoever takes their message.
 *
 * The queue, per recipient: a FIFO of records (value, reply parker or none)
 * and a FIFO of sleeping threads, never both non-empty.
 *   Post, synchronous or not: under the lock, if the recipient has a sleeper,
 *     unlink the oldest, hand it the value and (synchronous) the poster's own
 *     parker to release, and note the sleeper's parker; otherwise append the
 *     record and note nothing. After unlocking, Unpark what was noted. A
 *     synchronous poster then Parks on its own parker.
 *   Get: under the lock pop the oldest record; after unlocking, Unpark its
 *     reply parker if it has one.
 *   Wait: Get if a record is queued; otherwise link itself as the newest
 *     sleeper, unlock, Park, read what was handed to it and Unpark the sender
 *     it was told to release, if any.
 * A parker is one permit: Unpark sets it, Park waits for it and clears it.
 * Every Park is given exactly one Unpark, by the one thread that took its
 * sleeper off a list or its message off a queue, so no permit is ever left
 * over from an earlier sleep: that is why reusing a thread's parker for all
 * its sleeps cannot end a later sleep early.
 *
 * A step "under the lock" is one atomic step here: the queue lock guards the
 * record and sleeper FIFOs and what is handed to a sleeper, and nothing reads
 * those outside the lock except a sleeper reading its own hand-off after its
 * Park, which the Unpark orders. So every state the checker sees is one where
 * the lock is free.
 *
 * The threads: WAITERS waiters on one recipient shared by all of them
 * (-DSAME=1) or each on its own (-DSAME=0), each taking ROUNDS messages one
 * after the other, so parking more than once on the same parker. Two
 * posters between them post exactly the messages the waiters take, each to
 * every recipient in turn; the first SYNC of them post synchronously, parking
 * on their own parker once per message. A Get is the first branch of a Wait,
 * and a Get that finds nothing changes nothing, so the Waits cover it.
 *
 * Checked, each check named in its failure report ("violated: NAME"):
 *  twice, recipient, order, lost: every message is taken exactly once, by a
 *    waiter of its recipient, and leaves its recipient (popped or handed
 *    over) in the order its post got the lock; none is left untaken;
 *  asleep: after every step that changes the queue or a parker (so at every
 *    state, all of them having the lock free):
 *    - no recipient has both records and sleepers;
 *    - a waiter asleep on an unset permit is either linked as a sleeper with
 *      nothing handed to it (so nothing is queued for it), or has been
 *      handed a value by a poster that is between its unlock and its Unpark;
 *    - a synchronous sender asleep on an unset permit either has its message
 *      not yet taken (queued, or handed to a sleeper not yet awake), or the
 *      taker is between its take and the Unpark releasing it;
 *  early: a Park returns only for the sleep it was given: a waiter has a
 *    value handed to it, a synchronous sender's message has been taken and
 *    its release given, and no Unpark is still owed to the thread (so the
 *    permit it consumed was the one meant for this sleep);
 *  release: a synchronous sender is released by the taker of its message,
 *    once, after the take; every one is released by the end;
 *  double-wake: no Unpark finds the permit already set (two wakes merged);
 *  end: every run ends with every thread done (spin's end-state check),
 *    nothing queued or linked, no Unpark owed and no permit left set.
 *
 * Mutants, each of which must fail:
 *  -DPARK_KEEPS_PERMIT: Park does not clear the permit, so a reused parker
 *    ends a later sleep of its thread before it was given anything (early).
 *  -DWAKE_NEWEST: a post hands the value to the oldest sleeper but unparks
 *    the newest one of the same recipient (asleep).
 *  -DWAKE_OTHER_RECIPIENT: a post hands the value to the oldest sleeper but
 *    unparks a sleeper of another recipient when there is one (asleep).
 */

#ifndef WAITERS
#define WAITERS 2
#endif
#ifndef SAME
#define SAME 0
#endif
#ifndef SYNC
#define SYNC 0
#endif
#ifndef ROUNDS
#define ROUNDS 2
#endif

#define POSTERS 2
#define THREADS (WAITERS + POSTERS) /* numbered waiters first, then posters */
#define MESSAGES (WAITERS * ROUNDS) /* ids 1 .. MESSAGES */
#if SAME
#define RECIPIENTS 1
#else
#define RECIPIENTS WAITERS
#endif
#define RECIPIENT_OF_WAITER(t) (SAME -> 0 : (t))
#define NONE 255

/* Names the failed check in pan's report (built with -DPRINTF). */
#define CHECK(cond, name) \
  if \
  :: (cond) -> skip \
  :: else -> atomic { printf("violated: "); printf(name); printf("\n"); assert(false) } \
  fi

/* The queue, under the lock. */
chan records[RECIPIENTS] = [MESSAGES] of { byte, byte }; /* id, reply parker */
chan sleepers[RECIPIENTS] = [WAITERS] of { byte };         /* thread */
byte handed[THREADS];     /* the value handed to a sleeper, or NONE */
byte to_release[THREADS]; /* the synchronous sender a sleeper must release */

/* The parkers, one per thread. */
bool permit[THREADS];
bool asleep[THREADS];      /* inside Park */
byte unparks_due[THREADS]; /* threads that have decided to Unpark it */

/* Bookkeeping for the checks. */
byte recipient_of[MESSAGES + 1];
byte poster_of[MESSAGES + 1];
byte posts_in[RECIPIENTS];  /* posts that got the lock, per recipient */
byte posts_out[RECIPIENTS]; /* messages that left the recipient */
byte order_of[MESSAGES + 1];
bool taken[MESSAGES + 1];
bool released[MESSAGES + 1];
byte sending[THREADS]; /* the message a synchronous sender waits on, or NONE */
byte done;
byte scan; /* loop index of invariant(), 0 between steps */

inline invariant() {
  for (scan : 0 .. RECIPIENTS - 1) {
    CHECK(len(records[scan]) == 0 || len(sleepers[scan]) == 0, "asleep")
  }
  for (scan : 0 .. WAITERS - 1) {
    CHECK(!asleep[scan] || permit[scan] ||
          (handed[scan] == NONE && sleepers[RECIPIENT_OF_WAITER(scan)] ?? [eval(scan)]) ||
          (handed[scan] != NONE && unparks_due[scan] > 0), "asleep")
  }
  for (scan : WAITERS .. THREADS - 1) {
    CHECK(!asleep[scan] || permit[scan] || sending[scan] == NONE ||
          !taken[sending[scan]] || unparks_due[scan] > 0, "asleep")
  }
  scan = 0
}

inline unpark(p) {
  d_step {
    CHECK(!permit[p], "double-wake");
    permit[p] = true;
    unparks_due[p]--;
    invariant()
  }
}

inline park(me) {
  d_step {
    asleep[me] = true;
    invariant()
  }
  atomic {
    permit[me] ->
#ifndef PARK_KEEPS_PERMIT
    permit[me] = false;
#endif
    asleep[me] = false;
    invariant()
  }
}

/* Under the lock: a message leaves its recipient, popped or handed over. */
inline leaves(id) {
  CHECK(order_of[id] == posts_out[recipient_of[id]], "order");
  order_of[id] = 0;
  posts_out[recipient_of[id]]++
}

inline take(me, id) {
  CHECK(recipient_of[id] == RECIPIENT_OF_WAITER(me), "recipient");
  CHECK(!taken[id], "twice");
  taken[id] = true
}

/* After a take: the taker owes the synchronous sender, if any, its release. */
inline will_release(id, sender) {
  if
  :: sender != NONE ->
    CHECK(taken[id] && !released[id] && sending[sender] == id, "release");
    released[id] = true;
    unparks_due[sender]++
  :: else -> skip
  fi
}

/* Under the lock: pops the oldest record into id, reply if there is one. */
inline pop(me, r, id, reply) {
  records[r] ? id, reply;
  leaves(id);
  take(me, id);
  will_release(id, reply)
}

inline release_sender(reply) {
  if
  :: reply != NONE -> unpark(reply)
  :: else -> skip
  fi
}

proctype Waiter(byte me) {
  byte r = RECIPIENT_OF_WAITER(me);
  byte round, id = NONE, reply = NONE;
  for (round : 1 .. ROUNDS) {
    atomic { /* Wait */
      if
      :: len(records[r]) > 0 -> pop(me, r, id, reply)
      :: else -> sleepers[r] ! me
      fi;
      invariant()
    }
    if
    :: id != NONE -> skip
    :: else ->
      park(me);
      d_step {
        CHECK(handed[me] != NONE && unparks_due[me] == 0, "early");
        id = handed[me];
        reply = to_release[me];
        handed[me] = NONE;
        to_release[me] = NONE;
        take(me, id);
        will_release(id, reply);
        invariant()
      }
    fi;
    release_sender(reply);
    id = NONE;
    reply = NONE
  }
  done++
}

proctype Poster(byte me) {
  bool synchronous = (me - WAITERS < SYNC);
  byte id, r, sleeper, wake = NONE, k;
  for (id : 1 .. MESSAGES) {
    if
    :: poster_of[id] == me ->
      r = recipient_of[id];
      atomic {
        order_of[id] = posts_in[r];
        posts_in[r]++;
        if
        :: synchronous -> sending[me] = id
        :: else -> skip
        fi;
        if
        :: len(sleepers[r]) > 0 ->
          sleepers[r] ? sleeper;
          leaves(id);
          handed[sleeper] = id;
          to_release[sleeper] = (synchronous -> me : NONE);
          wake = sleeper;
#ifdef WAKE_NEWEST
          /* One turn round the FIFO leaves its newest entry in wake. */
          for (k : 1 .. len(sleepers[r])) {
            sleepers[r] ? wake;
            sleepers[r] ! wake
          }
          k = 0;
#endif
#ifdef WAKE_OTHER_RECIPIENT
          for (k : 0 .. RECIPIENTS - 1) {
            if
            :: k != r && len(sleepers[k]) > 0 -> sleepers[k] ? <wake>
            :: else -> skip
            fi
          }
          k = 0;
#endif
          unparks_due[wake]++;
          sleeper = NONE
        :: else -> records[r] ! id, (synchronous -> me : NONE)
        fi;
        invariant()
      }
      if
      :: wake != NONE -> unpark(wake); wake = NONE
      :: else -> skip
      fi;
      if
      :: synchronous ->
        park(me);
        CHECK(taken[id] && released[id] && unparks_due[me] == 0, "early");
        sending[me] = NONE
      :: else -> skip
      fi
    :: else -> skip
    fi
  }
  done++
}

init {
  byte t, id, round;
  atomic {
    /* Round by round one message per waiter; the posters take turns,
       swapped every other round when there is an even number of waiters,
       so that every recipient gets messages from both posters. */
    id = 0;
    for (round : 1 .. ROUNDS) {
      for (t : 0 .. WAITERS - 1) {
        id++;
        recipient_of[id] = RECIPIENT_OF_WAITER(t);
        poster_of[id] = WAITERS + (id - 1 + (WAITERS % 2 == 0 -> round - 1 : 0)) % POSTERS
      }
    }
    for (t : 0 .. THREADS - 1) {
      handed[t] = NONE;
      to_release[t] = NONE;
      sending[t] = NONE
    }
    /* The search tries the newest process first: started last, the waiters
       go to sleep before anything is posted, which is where a broken wake
       shows first, so a mutant's first violation is the one it is for. */
    for (t : WAITERS .. THREADS - 1) {
      run Poster(t)
    }
    for (t : 0 .. WAITERS - 1) {
      run Waiter(t)
    }
    t = 0;
    id = 0;
    round = 0
  }
  done == THREADS;
  for (id : 1 .. MESSAGES) {
    CHECK(taken[id], "lost");
    CHECK(released[id] == (poster_of[id] - WAITERS < SYNC), "release")
  }
  for (t : 0 .. THREADS - 1) {
    CHECK(!permit[t] && unparks_due[t] == 0, "end")
  }
  for (t : 0 .. RECIPIENTS - 1) {
    CHECK(len(records[t]) == 0 && len(sleepers[t]) == 0, "end")
  }
}
