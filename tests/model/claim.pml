/*
 * The message queue's sleep and wake protocol on one recipient, as the
 * sharded index runs it: a post queues its message and wakes the oldest
 * sleeper; the woken thread comes back under the lock and takes the oldest
 * message itself, or, finding nothing (a thread that was not asleep took
 * it first), goes back to the head of the line. The recipient's entry
 * leaves the index whenever it has nothing queued and nobody linked, and a
 * later post or wait makes a fresh one, so a woken thread must look its
 * recipient up again rather than trust the entry it slept on.
 *
 * A step "under the lock" (the recipient's shard lock) is one atomic step
 * here. The entry is one of ENTRIES slots: a new entry takes the next slot,
 * emptied, as the index reuses freed memory for a new entry.
 *
 * The threads: WAITERS waiters on the recipient, each taking ROUNDS messages
 * with WaitThreadMessage; a taker that polls with GetThreadMessage until it
 * has taken GETS messages (the thread that barges in ahead of a woken one);
 * two posters that between them post every message, the first SYNC of them
 * synchronously (parking until their message was taken, in a loop on their
 * pending flag, as a parker's permit may be left over).
 *
 * Checked, each check named in its failure report ("violated: NAME"):
 *  twice, order, lost: every message is taken once, in the order its post
 *    got the lock; none is left;
 *  claimed: after every step, while a sleeper is linked there are no more
 *    messages queued than sleepers woken and not yet back (so none lies
 *    queued with every waiter asleep);
 *  release: a synchronous sender returns only after its message was taken;
 *  double-wake: no Unpark finds the permit already set;
 *  end: every thread ends (spin's end-state check finds a thread asleep for
 *    good), nothing is queued or linked, no permit is left set.
 *
 * Mutants, each of which must fail:
 *  -DSTALE_ENTRY: a woken waiter looks at the entry it slept on, not the one
 *    the index holds now; once that entry left the index it links itself
 *    where no post will find it, and sleeps for good (end).
 *  -DWAKE_ONLY_FIRST: a post wakes a sleeper only when it finds nothing
 *    queued; after a barging take there are more messages than sleepers
 *    woken (claimed).
 */

#ifndef WAITERS
#define WAITERS 2
#endif
#ifndef ROUNDS
#define ROUNDS 1
#endif
#ifndef GETS
#define GETS 1
#endif
#ifndef SYNC
#define SYNC 0
#endif

#define POSTERS 2
#define GETTER WAITERS
#define FIRST_POSTER (WAITERS + 1)
#define THREADS (WAITERS + 1 + POSTERS)
#define MESSAGES (WAITERS * ROUNDS + GETS) /* ids 1 .. MESSAGES */
#define ENTRIES 2
#define NONE 255
#define AWAKE 0
#define LINKED 1
#define WOKEN 2

#define CHECK(cond, name) \
  if \
  :: (cond) -> skip \
  :: else -> atomic { printf("violated: "); printf(name); printf("\n"); assert(false) } \
  fi

/* The index: the slot of the recipient's entry, or NONE. */
byte current = NONE;
byte last_made = 0;
/* Per entry: the queued messages (id, synchronous sender or NONE), and the
   line of sleepers, oldest first. */
chan queued[ENTRIES] = [MESSAGES] of { byte, byte };
chan line[ENTRIES] = [WAITERS] of { byte };

byte state[THREADS];
byte slept_on[THREADS]; /* the entry a waiter linked itself into */
bool permit[THREADS];
byte unparks_due[THREADS];
bool pending[THREADS]; /* a synchronous sender's message is queued */

byte posted;     /* posts that got the lock */
byte taken_out;  /* messages taken */
bool taken[MESSAGES + 1];
byte order_of[MESSAGES + 1];
byte done;
byte scan;

byte woken_count; /* scratch of invariant(), 0 between steps */

inline invariant() {
  for (scan : 0 .. THREADS - 1) {
    if
    :: state[scan] == WOKEN -> woken_count++
    :: else -> skip
    fi
  }
  for (scan : 0 .. ENTRIES - 1) {
    CHECK(len(line[scan]) == 0 || len(queued[scan]) <= woken_count, "claimed")
  }
  scan = 0;
  woken_count = 0
}

/* Only the mutant looks at it later: kept out of the state otherwise. */
inline remember(me, slot) {
#ifdef STALE_ENTRY
  slept_on[me] = slot
#else
  skip
#endif
}

inline unpark(p) {
  d_step {
    CHECK(!permit[p], "double-wake");
    permit[p] = true;
    unparks_due[p]--
  }
}

inline park(me) {
  atomic {
    permit[me] -> permit[me] = false
  }
}

/* Under the lock: a fresh entry for the recipient, in the next slot. */
inline make_entry(slot) {
  last_made = (last_made + 1) % ENTRIES;
  slot = last_made;
  do
  :: queued[slot] ? _, _
  :: line[slot] ? _
  :: empty(queued[slot]) && empty(line[slot]) -> break
  od;
  current = slot
}

/* Under the lock, after a take: an idle entry may leave the index. */
inline maybe_remove(slot) {
  if
  :: current == slot && empty(queued[slot]) && empty(line[slot]) -> current = NONE
  :: true -> skip
  fi
}

/* Under the lock: takes the oldest message of `slot`; `sender` is the
   synchronous sender to wake after the unlock. */
inline take(slot, id, sender) {
  queued[slot] ? id, sender;
  CHECK(!taken[id], "twice");
  CHECK(order_of[id] == taken_out, "order");
  taken[id] = true;
  taken_out++;
  if
  :: sender != NONE -> pending[sender] = false; unparks_due[sender]++
  :: else -> skip
  fi;
  maybe_remove(slot)
}

inline release(sender) {
  if
  :: sender != NONE -> unpark(sender); sender = NONE
  :: else -> skip
  fi
}

proctype Waiter(byte me) {
  byte round, slot, id, sender = NONE, k, sleeper;
  bool got;
  for (round : 1 .. ROUNDS) {
    got = false;
    atomic {
      slot = current;
      if
      :: slot != NONE && nempty(queued[slot]) -> take(slot, id, sender); got = true
      :: else ->
        if
        :: slot == NONE -> make_entry(slot)
        :: else -> skip
        fi;
        line[slot] ! me;
        state[me] = LINKED;
        remember(me, slot)
      fi;
      invariant()
    }
    do
    :: got -> break
    :: else ->
      park(me);
      atomic {
#ifdef STALE_ENTRY
        slot = slept_on[me];
#else
        slot = current;
#endif
        CHECK(state[me] == WOKEN, "double-wake");
        state[me] = AWAKE;
        if
        :: slot != NONE && nempty(queued[slot]) -> take(slot, id, sender); got = true
        :: else ->
          if
          :: slot == NONE -> make_entry(slot)
          :: else -> skip
          fi;
          /* At the head: in at the tail, then one turn of the others. */
          line[slot] ! me;
          for (k : 1 .. len(line[slot]) - 1) {
            line[slot] ? sleeper;
            line[slot] ! sleeper
          }
          k = 0;
          sleeper = 0;
          state[me] = LINKED;
          remember(me, slot)
        fi;
        invariant()
      }
    od;
    release(sender);
    slot = 0;
    id = 0
  }
  done++
}

proctype Getter(byte me) {
  byte got = 0, slot, id, sender = NONE;
  do
  :: got == GETS -> break
  :: else ->
    atomic {
      slot = current;
      if
      :: slot != NONE && nempty(queued[slot]) -> take(slot, id, sender); got++
      :: else -> skip
      fi;
      invariant()
    }
    release(sender);
    slot = 0;
    id = 0
  od;
  done++
}

proctype Poster(byte me) {
  bool synchronous = (me - FIRST_POSTER < SYNC);
  byte id = me - FIRST_POSTER + 1, slot, wake = NONE, sleeper;
  bool was_empty;
  do
  :: id > MESSAGES -> break
  :: else ->
    atomic {
      order_of[id] = posted;
      posted++;
      slot = current;
      if
      :: slot == NONE -> make_entry(slot)
      :: else -> skip
      fi;
#ifdef WAKE_ONLY_FIRST
      was_empty = empty(queued[slot]);
#endif
      queued[slot] ! id, (synchronous -> me : NONE);
      pending[me] = synchronous;
      if
#ifdef WAKE_ONLY_FIRST
      :: nempty(line[slot]) && was_empty ->
#else
      :: nempty(line[slot]) ->
#endif
        line[slot] ? sleeper;
        state[sleeper] = WOKEN;
        unparks_due[sleeper]++;
        wake = sleeper;
        sleeper = 0
      :: else -> skip
      fi;
      slot = 0;
      invariant()
    }
    if
    :: wake != NONE -> unpark(wake); wake = NONE
    :: else -> skip
    fi;
    if
    :: synchronous ->
      do
      :: park(me);
         if
         :: !pending[me] -> break
         :: else -> skip
         fi
      od;
      CHECK(taken[id], "release")
    :: else -> skip
    fi;
    id = id + POSTERS
  od;
  done++
}

init {
  byte t;
  atomic {
    for (t : 0 .. THREADS - 1) {
      slept_on[t] = NONE
    }
    for (t : FIRST_POSTER .. THREADS - 1) {
      run Poster(t)
    }
    run Getter(GETTER);
    for (t : 0 .. WAITERS - 1) {
      run Waiter(t)
    }
    t = 0
  }
  done == THREADS;
  for (t : 1 .. MESSAGES) {
    CHECK(taken[t], "lost")
  }
  for (t : 0 .. THREADS - 1) {
    CHECK(!permit[t] && unparks_due[t] == 0 && state[t] == AWAKE, "end")
  }
  for (t : 0 .. ENTRIES - 1) {
    CHECK(empty(queued[t]) && empty(line[t]), "end")
  }
}
