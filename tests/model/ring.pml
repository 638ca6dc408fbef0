/*
 * The message path on one recipient, as docs/message-path.md lays it out: a
 * ring per recipient entry in which producers take a ticket with one
 * compare-and-swap on the entry's tail word and then publish their slot,
 * and consumers read the slot at the head and claim it with one
 * compare-and-swap on the head word. The shard's lock is taken only to add
 * or retire an entry, to grow its ring, to link a sleeper, and by a post
 * that finds a sleeper linked (it wakes one).
 *
 * Every read or write of a shared word is one step here (sequential
 * consistency: the code gives the ticket, the announcement and the claim
 * sequentially consistent read-modify-writes). A section "under the lock"
 * is a series of steps like any other, which lock-free posts and takes
 * interleave with; only other lock holders are kept out.
 *
 * The words of an entry, as the code packs them:
 *  tail (producers' line): generation, closed, sleepers, ticket. Closed:
 *    the entry is being retired or its ring grown, posts go to the lock.
 *    Sleepers: a sleeper is linked, posts go to the lock and wake one.
 *    The generation changes whenever the entry is reopened, so a producer
 *    that read the word before cannot take a ticket after.
 *  head (consumers' line): generation, retired, ticket. A consumer reads
 *    the word, then the ring, then the slot, and claims with a
 *    compare-and-swap of the whole word. The generation changes whenever
 *    the ring is replaced or the entry retired, so a claim made on what a
 *    ring held before it was replaced fails. A ring that leaves use is not
 *    freed but kept for reuse, by any entry: a consumer may still read it,
 *    and reads whatever it holds then (here: anything at all).
 *  A slot holds the ticket it was published for (plus one; 0: never) and
 *  the value; the sender to release, for a synchronous post, beside it.
 *
 * The threads: two posters that between them post every message (the
 * first SYNC of them synchronously, parking until their message was
 * taken, or with -DJUMPS leaving that wait as by a jump out of a signal
 * handler and taking their token back); WAITERS waiters taking ROUNDS messages each with
 * WaitThreadMessage; a getter that polls with GetThreadMessage until it
 * has GETS messages; a sweeper that retires the entry when it finds it
 * idle, SWEEPS times, after which the next post or wait makes a fresh one.
 * Rings start with CAP0 slots, so a backlog grows them.
 *
 * Checked, each check named in its failure report ("violated: NAME"):
 *  twice, order, lost: every message is taken once, in the order of the
 *    tickets its posts took, and none is left behind;
 *  empty: a take answers "nothing queued" only when every message
 *    published so far has been claimed (a post still between its ticket
 *    and its slot does not hide the published ones behind it);
 *  freed: no post writes a ring, and nobody trusts a read of one without
 *    a claim after it, once the ring left use;
 *  stale: no claim succeeds on what a consumer read from a ring that had
 *    left use;
 *  claimed: whenever the lock is free and a sleeper is linked, no more
 *    tickets are unclaimed than sleepers woken and not yet back;
 *  release: a synchronous sender returns only after its message was taken;
 *  double-wake: no Unpark finds the permit already set;
 *  end: every thread ends (spin's end-state check finds one asleep for
 *    good), nothing is queued or linked, no permit is left set.
 * ("model bound" and "closed under the lock" guard the model itself.)
 *
 * Mutants, each of which must fail:
 *  -DFLAG_BEFORE_TICKET: a post decides from the sleepers flag it read
 *    before taking its ticket, not from the word its ticket replaced (claimed).
 *  -DNO_RECHECK: a waiter parks after announcing its sleep without
 *    comparing the ticket its announcement replaced with the head (claimed).
 *  -DEMPTY_ON_UNPUBLISHED: a take that finds the head slot unpublished
 *    answers "nothing queued" without looking at the tail, though a post
 *    behind it has published (empty).
 *  -DSKIP_UNPUBLISHED: a take that finds the head slot unpublished while
 *    its ticket was taken claims past it (the ticket is skipped); a later
 *    take finds the skipped message's slot behind the head (empty).
 *  -DRETIRE_WITH_TICKET: retirement closes the tail with a store after
 *    seeing it equal to the head, so a producer that took a ticket in
 *    between writes into the retired ring (freed).
 *  -DNO_GENERATION: reopening an entry leaves the tail word as it was
 *    before it closed, so a producer that read it then takes a ticket
 *    after, with the ring it read then (freed).
 *  -DGROW_WITHOUT_WAIT: a grown ring is copied without waiting for the
 *    tickets taken before the close to be published, whose posts then
 *    write into the outgrown ring (freed).
 *  -DGROW_WITHOUT_GENERATION: a grown ring replaces the old one without a
 *    new generation in the head word; a consumer that read the old ring
 *    claims what the old ring holds once reused (stale).
 *  -DRETIRE_WITHOUT_GENERATION: retirement marks the head retired without
 *    a new generation, so a consumer that read the head before claims once
 *    the entry is back in use, with what its old ring holds (stale).
 *  -DREPLY_AFTER_CLAIM: a taker reads the sender to release after its
 *    claim, when the slot may have been reused or the ring freed (freed).
 *  -DWAKE_WITHOUT_TOKEN: a taker wakes a synchronous sender without taking
 *    its token with a compare-and-swap, also one that took it back when
 *    it left its wait by a jump (end).
 *  -DCLEAR_FLAG_ON_WAKE: a post that wakes a sleeper clears the sleepers
 *    flag though another is still linked; the next post takes no lock and
 *    wakes nobody (claimed).
 */

#ifndef WAITERS
#define WAITERS 1
#endif
#ifndef ROUNDS
#define ROUNDS 2
#endif
#ifndef GETS
#define GETS 1
#endif
#ifndef SYNC
#define SYNC 0
#endif
#ifndef SWEEPS
#define SWEEPS 1
#endif
#ifndef CAP0
#define CAP0 1
#endif

#define POSTERS 2
#define GETTER WAITERS
#define FIRST_POSTER (WAITERS + 1)
#define SWEEPER (FIRST_POSTER + POSTERS)
#define THREADS (SWEEPER + 1)
#define MESSAGES (WAITERS * ROUNDS + GETS) /* ids 1 .. MESSAGES */
#define ENTRIES 2
#define RINGS 6
#define MAXCAP 4
#define NONE 255
#if WAITERS > 0
#define LINE WAITERS
#else
#define LINE 1
#endif
#define FREE 255
#define AWAKE 0
#define LINKED 1
#define WOKEN 2
/* What a take comes back with. */
#define GOT 1
#define EMPTY 2
#define GONE 3 /* the entry was retired: look the recipient up again */

#define CHECK(cond, name) \
  if \
  :: (cond) -> skip \
  :: else -> atomic { printf("violated: "); printf(name); printf("\n"); assert(false) } \
  fi

#define SLOT(r, ticket) ((r) * MAXCAP + (ticket) % cap[r])

/* The index: the entry of the recipient, or NONE; changed under the lock. */
byte current = NONE;
byte last_made = 0;
byte lock = FREE;

/* Per entry: the tail word, the head word, the ring as each side's line
   holds it, the producers' last sight of the head, and the line of
   sleepers (under the lock). */
byte t_gen[ENTRIES];
bool t_closed[ENTRIES];
bool t_sleepers[ENTRIES];
byte t_ticket[ENTRIES];
bool h_retired[ENTRIES];
byte h_gen[ENTRIES];
byte h_ticket[ENTRIES];
byte p_ring[ENTRIES];
byte c_ring[ENTRIES];
byte seen_head[ENTRIES];
chan line[ENTRIES] = [LINE] of { byte };

/* Per ring: its size, whose it is, whether it left use (kept for reuse,
   its slots anybody's to write). */
byte cap[RINGS];
byte owner[RINGS];
bool freed[RINGS];
byte rings_made;
byte seq[RINGS * MAXCAP];
byte val[RINGS * MAXCAP];
byte reply[RINGS * MAXCAP];

byte state[THREADS];
byte woken; /* threads in state WOKEN */
bool permit[THREADS];
byte unparks_due[THREADS];
byte send_token[THREADS]; /* a synchronous sender's message, while pending */

byte posted;             /* tickets taken, over every entry */
byte taken_out;          /* messages claimed */
byte published_unclaimed; /* messages published and not claimed */
bool taken[MESSAGES + 1];
byte order_of[MESSAGES + 1];
byte done;

active proctype Monitor() {
end_watch:
  atomic {
    (lock == FREE && current != NONE && nempty(line[current % ENTRIES]) &&
     t_ticket[current % ENTRIES] - h_ticket[current % ENTRIES] > woken) ->
      printf("violated: claimed\n");
      assert(false)
  }
}

inline acquire(me) {
  atomic { lock == FREE -> lock = me }
}

inline release(me) {
  lock = FREE
}

inline unpark(p) {
  d_step {
    CHECK(!permit[p], "double-wake");
    permit[p] = true;
    unparks_due[p]--
  }
}

inline park(me) {
  atomic { permit[me] -> permit[me] = false }
}

/* A ring of `size` empty slots for entry `e`. */
inline new_ring(e, size, r) {
  CHECK(rings_made < RINGS, "model bound");
  r = rings_made;
  rings_made++;
  cap[r] = size;
  owner[r] = e
}

/* Every ring of entry `e` leaves use. */
inline free_rings(e, k) {
  for (k : 0 .. RINGS - 1) {
    if
    :: k < rings_made && owner[k] == e -> freed[k] = true
    :: else -> skip
    fi
  }
  k = 0
}

/* Under the lock: a retired entry reopened for the recipient, with a new
   ring; its tickets go on from where they stopped. The entry retired last
   comes first, as the shard's spares are kept. */
inline make_entry(e, r) {
  atomic {
    e = last_made;
    if
    :: !h_retired[e] -> e = (e + 1) % ENTRIES
    :: else -> skip
    fi;
    CHECK(h_retired[e], "model bound");
    last_made = e;
    new_ring(e, CAP0, r);
    p_ring[e] = r;
    c_ring[e] = r;
    seen_head[e] = h_ticket[e];
    h_retired[e] = false;
#ifndef NO_GENERATION
    t_gen[e]++;
#endif
    t_closed[e] = false;
    current = e;
    r = 0
  }
}

/*
 * A take on entry `e`: result GOT (id, sender), EMPTY or GONE.
 * Locals of the caller: h, r, s, v, rep, t.
 */
/* A take's look at the head word again: retired, it looks the recipient
   up again. */
inline reload_head(e) {
  if
  :: h_retired[e] -> result = GONE
  :: else -> h = h_ticket[e]; hg = h_gen[e]
  fi
}

/*
 * A take on entry `e`: result GOT (id, sender), EMPTY or GONE.
 * Locals of the caller: h, hg, r, s, v, rep, t, stale.
 */
inline try_take(e) {
  /* One load of the head word, then of the ring. */
  atomic {
    if
    :: h_retired[e] -> result = GONE
    :: else -> h = h_ticket[e]; hg = h_gen[e]; result = 0
    fi
  }
  if
  :: result == GONE -> skip
  :: else ->
    r = c_ring[e];
    do
    :: atomic {
         if
         :: freed[r] -> stale = true; v = 0;
           if
           :: s = h + 1
           :: s = 0
           fi
         :: else -> stale = false; s = seq[SLOT(r, h)]; v = val[SLOT(r, h)]
         fi
       }
       if
       :: s == h + 1 ->
#ifndef REPLY_AFTER_CLAIM
         atomic {
           if
           :: freed[r] -> stale = true; rep = NONE
           :: else -> rep = reply[SLOT(r, h)]
           fi
         }
#endif
         /* The claim: a compare-and-swap of the whole head word. */
         atomic {
           if
           :: h_ticket[e] == h && h_gen[e] == hg && !h_retired[e] ->
             CHECK(!stale, "stale");
             h_ticket[e]++;
             result = GOT;
             id = v;
             CHECK(!taken[id], "twice");
             CHECK(order_of[id] == taken_out, "order");
             taken[id] = true;
             taken_out++;
             published_unclaimed--
           :: else -> reload_head(e)
           fi
         }
         if
         :: result == GOT || result == GONE -> break
         :: else -> r = c_ring[e]
         fi
       :: else ->
#ifdef EMPTY_ON_UNPUBLISHED
         atomic {
           result = EMPTY;
           CHECK(t_closed[e] || published_unclaimed == 0, "empty")
         }
         break
#else
         atomic {
           t = t_ticket[e];
           if
           :: t == h ->
             result = EMPTY;
             CHECK(t_closed[e] || published_unclaimed == 0, "empty")
           :: else -> skip
           fi
         }
         if
         :: result == EMPTY -> break
         :: else ->
#ifdef SKIP_UNPUBLISHED
           atomic {
             if
             :: h_ticket[e] == h -> h_ticket[e]++; taken_out++
             :: else -> skip
             fi;
             h = h_ticket[e]
           }
#else
           /* A post between its ticket and its slot, or a ring grown:
              the head again, then the ring. */
           atomic { reload_head(e) };
           if
           :: result == GONE -> break
           :: else -> r = c_ring[e]
           fi
#endif
         fi
#endif
       fi
    od;
#ifdef REPLY_AFTER_CLAIM
    if
    :: result == GOT -> atomic { CHECK(!freed[r], "freed"); rep = reply[SLOT(r, h)] }
    :: else -> skip
    fi;
#endif
    s = 0;
    v = 0;
    t = 0;
    hg = 0;
    stale = false
  fi
}

/* After a claim: a synchronous sender whose message it was is released
   by whoever clears its token. */
inline hand_back(id, rep, wake) {
  if
  :: rep != NONE ->
    atomic {
#ifdef WAKE_WITHOUT_TOKEN
      send_token[rep] = 0; unparks_due[rep]++; wake = rep
#else
      if
      :: send_token[rep] == id -> send_token[rep] = 0; unparks_due[rep]++; wake = rep
      :: else -> skip
      fi
#endif
    }
  :: else -> skip
  fi;
  rep = NONE
}

inline wake_after(wake) {
  if
  :: wake != NONE -> unpark(wake); wake = NONE
  :: else -> skip
  fi
}

/* Under the lock: the tail closed, every ticket taken before published,
   the backlog copied into a ring twice the size and put in place, the
   head's generation moved on, the entry reopened; the outgrown ring leaves
   use. */
inline grow(e, r, r2, k, last) {
  atomic { t_closed[e] = true; last = t_ticket[e] };
  r = p_ring[e];
  k = h_ticket[e];
#ifndef GROW_WITHOUT_WAIT
  do
  :: k == last -> break
  :: else -> seq[SLOT(r, k)] == k + 1; k++
  od;
#endif
  atomic {
    CHECK(cap[r] * 2 <= MAXCAP, "model bound");
    new_ring(e, cap[r] * 2, r2);
    for (k : h_ticket[e] .. last - 1) {
      if
      :: seq[SLOT(r, k)] == k + 1 ->
        seq[SLOT(r2, k)] = seq[SLOT(r, k)];
        val[SLOT(r2, k)] = val[SLOT(r, k)];
        reply[SLOT(r2, k)] = reply[SLOT(r, k)]
      :: else -> skip
      fi
    }
    k = 0
  }
  p_ring[e] = r2;
  c_ring[e] = r2;
#ifndef GROW_WITHOUT_GENERATION
  h_gen[e]++;
#endif
  atomic { t_gen[e]++; t_closed[e] = false };
  freed[r] = true;
  r = 0;
  r2 = 0;
  last = 0
}

/* Removes `me` from the line of `e`; the flag goes with the last sleeper. */
inline unlink(e, me, k, sleeper) {
  atomic {
    for (k : 1 .. len(line[e])) {
      line[e] ? sleeper;
      if
      :: sleeper != me -> line[e] ! sleeper
      :: else -> skip
      fi
    }
    if
    :: empty(line[e]) -> t_sleepers[e] = false
    :: nempty(line[e]) -> skip
    fi;
    state[me] = AWAKE;
    k = 0;
    sleeper = 0
  }
}

proctype Waiter(byte me) {
  byte round, e, id, rep = NONE, wake = NONE, result, h, hg, r, s, v, t, k, sleeper, old;
  bool stale;
  for (round : 1 .. ROUNDS) {
    result = 0;
    e = current;
    if
    :: e != NONE -> try_take(e)
    :: else -> skip
    fi;
    do
    :: result == GOT -> break
    :: else ->
      acquire(me);
      if
      :: current == NONE -> make_entry(e, r)
      :: else -> e = current
      fi;
      try_take(e);
      if
      :: result == GOT ->
        atomic {
          if
          :: state[me] == WOKEN -> woken--; state[me] = AWAKE
          :: else -> skip
          fi
        }
      :: else ->
        /* Into the line: at the tail, or back at the head once woken. */
        atomic {
          line[e] ! me;
          if
          :: state[me] == WOKEN ->
            woken--;
            for (k : 1 .. len(line[e]) - 1) {
              line[e] ? sleeper;
              line[e] ! sleeper
            }
          :: else -> skip
          fi;
          state[me] = LINKED;
          k = 0;
          sleeper = 0
        }
        /* The announcement: the sleepers flag set in the tail word, whose
           ticket says what was posted before it. */
        atomic { old = t_ticket[e]; t_sleepers[e] = true };
#ifndef NO_RECHECK
        if
        :: h_ticket[e] != old -> unlink(e, me, k, sleeper); result = EMPTY
        :: else -> skip
        fi;
#endif
        if
        :: state[me] == LINKED ->
          release(me);
          park(me);
          CHECK(state[me] == WOKEN, "double-wake");
          e = current;
          result = 0;
          if
          :: e != NONE -> try_take(e)
          :: else -> skip
          fi;
          if
          :: result == GOT -> atomic { woken--; state[me] = AWAKE }
          :: else -> skip
          fi
        :: else -> release(me)
        fi;
        old = 0
      fi;
      if
      :: lock == me -> release(me)
      :: else -> skip
      fi
    od;
    hand_back(id, rep, wake);
    wake_after(wake);
    id = 0;
    h = 0;
    r = 0;
    e = 0
  }
  done++
}

proctype Getter(byte me) {
  byte got = 0, e, id, rep = NONE, wake = NONE, result, h, hg, r, s, v, t;
  bool stale;
  do
  :: got == GETS -> break
  :: else ->
    atomic {
      e = current;
      if
      :: e == NONE -> CHECK(published_unclaimed == 0, "empty")
      :: else -> skip
      fi
    }
    if
    :: e != NONE ->
      try_take(e);
      if
      :: result == GOT -> got++; hand_back(id, rep, wake); wake_after(wake)
      :: else -> skip
      fi
    :: else -> skip
    fi;
    result = 0;
    id = 0;
    h = 0;
    r = 0;
    e = 0
  od;
  done++
}

proctype Poster(byte me) {
  bool synchronous = (me - FIRST_POSTER < SYNC);
  byte id = me - FIRST_POSTER + 1, e, r, r2, k, last, mine, wake = NONE, sleeper;
  byte tg, tt;
  bool tc, ts, locked, ok, revoked;
  do
  :: id > MESSAGES -> break
  :: else ->
    locked = false;
    ok = false;
    if
    :: synchronous -> send_token[me] = id
    :: else -> skip
    fi;
    /* Without the lock while the tail is open and nobody sleeps. */
    do
    :: e = current;
       if
       :: e == NONE -> break
       :: else -> skip
       fi;
       atomic { tg = t_gen[e]; tc = t_closed[e]; ts = t_sleepers[e]; tt = t_ticket[e] };
#ifdef FLAG_BEFORE_TICKET
       if
       :: tc -> break
       :: else -> skip
       fi;
#else
       if
       :: tc || ts -> break
       :: else -> skip
       fi;
#endif
       r = p_ring[e];
       if
       :: tt - seen_head[e] >= cap[r] ->
         seen_head[e] = h_ticket[e];
         if
         :: tt - seen_head[e] >= cap[r] -> break /* full: grow under the lock */
         :: else -> skip
         fi
       :: else -> skip
       fi;
       /* The ticket: a compare-and-swap of the whole tail word. */
       atomic {
#ifdef FLAG_BEFORE_TICKET
         if
         :: t_gen[e] == tg && !t_closed[e] && t_ticket[e] == tt ->
#else
         if
         :: t_gen[e] == tg && !t_closed[e] && t_sleepers[e] == ts && t_ticket[e] == tt ->
#endif
           t_ticket[e]++;
           mine = tt;
           order_of[id] = posted;
           posted++;
           ok = true
         :: else -> skip
         fi
       }
       if
       :: ok -> break
       :: else -> skip
       fi
    od;
    if
    :: !ok ->
      /* Under the lock: a new entry, a ring grown, a sleeper to wake. */
      acquire(me);
      locked = true;
      if
      :: current == NONE -> make_entry(e, r)
      :: else -> e = current
      fi;
      do
      :: atomic { tg = t_gen[e]; tc = t_closed[e]; ts = t_sleepers[e]; tt = t_ticket[e] };
         CHECK(!tc, "closed under the lock");
         r = p_ring[e];
         if
         :: tt - h_ticket[e] >= cap[r] -> grow(e, r, r2, k, last)
         :: else ->
           atomic {
             if
             :: t_gen[e] == tg && !t_closed[e] && t_sleepers[e] == ts && t_ticket[e] == tt ->
               t_ticket[e]++;
               mine = tt;
               order_of[id] = posted;
               posted++;
               ok = true
             :: else -> skip
             fi
           }
           if
           :: ok -> break
           :: else -> skip
           fi
         fi
      od
    :: else -> skip
    fi;
    /* The slot's publish: one store of ticket and value (the sender
       beside it first). */
    atomic {
      CHECK(!freed[r], "freed");
      reply[SLOT(r, mine)] = (synchronous -> me : NONE);
      seq[SLOT(r, mine)] = mine + 1;
      val[SLOT(r, mine)] = id;
      published_unclaimed++
    }
    if
    :: locked ->
      /* The ticket's word had a sleeper linked: wake the oldest. */
      if
      :: ts ->
        atomic {
          if
          :: nempty(line[e]) ->
            line[e] ? sleeper;
            state[sleeper] = WOKEN;
            woken++;
            unparks_due[sleeper]++;
            wake = sleeper;
#ifdef CLEAR_FLAG_ON_WAKE
            t_sleepers[e] = false
#else
            if
            :: empty(line[e]) -> t_sleepers[e] = false
            :: nempty(line[e]) -> skip
            fi
#endif
          :: empty(line[e]) -> skip
          fi;
          sleeper = 0
        }
      :: else -> skip
      fi;
      release(me)
    :: else -> skip
    fi;
    wake_after(wake);
    if
    :: synchronous ->
      if
      :: do
         :: park(me);
            if
            :: send_token[me] == 0 -> break
            :: else -> skip
            fi
         od;
         CHECK(taken[id], "release")
#ifdef JUMPS
      :: /* Out of the wait by a jump: the token taken back, so that no take
            wakes it for this message, which stays queued as a plain one. A
            take that cleared the token first gives its wake-up to a later
            park. */
         atomic {
           if
           :: send_token[me] == id -> send_token[me] = 0; revoked = true
           :: else -> skip
           fi
         }
         if
         :: !revoked -> park(me)
         :: else -> skip
         fi;
         revoked = false
#endif
      fi
    :: else -> skip
    fi;
    e = 0;
    r = 0;
    mine = 0;
    tg = 0;
    tt = 0;
    tc = false;
    ts = false;
    id = id + POSTERS
  od;
  done++
}

/* Retires the entry when it finds it idle: the tail closed against the
   ticket it saw, the head marked retired with a new generation by a
   compare-and-swap against the head it saw (else the tail reopened as it
   was, for a later sweep), then the entry out of the index and its rings
   out of use. */
proctype Sweeper(byte me) {
  byte sweep, e, x, k, tg, tt, hg;
  bool tc, ts, closed;
#if SWEEPS > 0
  for (sweep : 1 .. SWEEPS) {
    acquire(me);
    e = current;
    if
    :: e == NONE -> skip
    :: e != NONE && nempty(line[e % ENTRIES]) -> skip
    :: e != NONE && empty(line[e % ENTRIES]) ->
      atomic { tg = t_gen[e]; tc = t_closed[e]; ts = t_sleepers[e]; tt = t_ticket[e] };
      hg = h_gen[e];
      if
      :: !tc && !ts && tt == h_ticket[e] ->
        atomic {
#ifdef RETIRE_WITH_TICKET
          t_closed[e] = true;
          closed = true
#else
          if
          :: t_gen[e] == tg && !t_closed[e] && t_sleepers[e] == ts && t_ticket[e] == tt ->
            t_closed[e] = true;
            closed = true
          :: else -> skip
          fi
#endif
        }
        /* Retired only if the head is still the one seen, else reopened
           as it was: nothing could change the tail while it was closed. */
        if
        :: closed ->
          atomic {
            if
            :: h_ticket[e] == tt && h_gen[e] == hg && !h_retired[e] ->
              h_retired[e] = true;
#ifndef RETIRE_WITHOUT_GENERATION
              h_gen[e]++
#else
              skip
#endif
            :: else -> t_closed[e] = false; closed = false
            fi
          };
          if
          :: closed ->
            current = NONE;
            atomic { free_rings(e, k) }
          :: else -> skip
          fi
        :: else -> skip
        fi
      :: else -> skip
      fi
    fi;
    x = 0;
    hg = 0;
    closed = false;
    tg = 0;
    tt = 0;
    tc = false;
    ts = false;
    release(me)
  }
#endif
  done++
}

init {
  byte t;
  atomic {
    for (t : 0 .. ENTRIES - 1) {
      h_retired[t] = true;
      t_closed[t] = true
    }
    for (t : 0 .. RINGS * MAXCAP - 1) {
      reply[t] = NONE
    }
    for (t : FIRST_POSTER .. SWEEPER - 1) {
      run Poster(t)
    }
    run Sweeper(SWEEPER);
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
    CHECK(len(line[t]) == 0, "end")
  }
  CHECK(published_unclaimed == 0 && woken == 0, "end")
}
