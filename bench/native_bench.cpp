// Native costs against the queues and locks a C++ user would pick instead,
// measured turn about in one run: medians of several runs. The library is
// reached only through its public header and shared library, as a host
// reaches it; the workloads are workloads.h's, over the adaptors below.
//   native_bench [--csv DIR]  full run; with DIR, also writes native_results.csv
//                             and the plotted series (native_*.csv) there
//   native_bench --quick      one tiny iteration of each, so the code cannot rot
//   native_bench --only TEXT  only the rows whose names contain TEXT
#include <linux/futex.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "workloads.h"

#if defined(QUENTHALOY_BENCH_ABSL)
#include <absl/synchronization/mutex.h>
#endif
#if defined(QUENTHALOY_BENCH_TBB)
#include <oneapi/tbb/concurrent_queue.h>
#include <oneapi/tbb/mutex.h>
#endif
#if defined(QUENTHALOY_BENCH_MOODYCAMEL)
#include <concurrentqueue/blockingconcurrentqueue.h>
#endif

namespace {

using namespace bench;  // NOLINT(google-build-using-namespace): this program is the benchmark

long Scaled(long n) { return quick ? std::max(1L, n / 10000) : n; }

long FutexCall(std::atomic<uint32_t>* word, int op, uint32_t value) {
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op | FUTEX_PRIVATE_FLAG, value, nullptr, nullptr, 0);
}

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

// ---- Queues (the interface: workloads.h). A peer's queue of one key is
// reached as oneTBB's is: push(value), pop(value) waiting, try_pop(value).

void Signal(std::condition_variable& posted) { posted.notify_one(); }
void Wait(std::condition_variable& posted, std::unique_lock<std::mutex>& hold) { posted.wait(hold); }
#if defined(QUENTHALOY_BENCH_ABSL)
// absl::Mutex as the standard's lockables are, for std::unique_lock.
struct AbslMutex : absl::Mutex {
  void lock() { Lock(); }
  void unlock() { Unlock(); }
};
void Signal(absl::CondVar& posted) { posted.Signal(); }
void Wait(absl::CondVar& posted, std::unique_lock<AbslMutex>& hold) { posted.Wait(hold.mutex()); }
#endif

// What a user writes by hand: per recipient a std::deque under a mutex and a
// condition variable its takers wait on.
template <class Mutex, class CondVar>
struct Locked {
  void push(int32_t value) {
    {
      std::lock_guard<Mutex> hold(mutex);
      values.push_back(value);
    }
    Signal(posted);
  }
  void pop(int32_t& value) {
    std::unique_lock<Mutex> hold(mutex);
    while (values.empty()) Wait(posted, hold);
    value = PopFront(values);
  }
  bool try_pop(int32_t& value) {
    std::lock_guard<Mutex> hold(mutex);
    if (values.empty()) return false;
    value = PopFront(values);
    return true;
  }
  Mutex mutex;
  CondVar posted;
  std::deque<int32_t> values;
};

#if defined(QUENTHALOY_BENCH_MOODYCAMEL)
// Without producer or consumer tokens, as a caller that cannot keep one per
// thread and queue uses it. ConcurrentQueue has no blocking take: only the
// one-thread post+take runs it.
template <class Queue>
struct Moodycamel : Queue {
  void push(int32_t value) { this->enqueue(value); }
  void pop(int32_t& value) { this->wait_dequeue(value); }
  bool try_pop(int32_t& value) { return this->try_dequeue(value); }
};
#endif

// A peer: one queue per key, each on cache lines of its own.
template <class Queue>
struct PerKey {
  static constexpr bool kShared = true;
  struct alignas(64) Key {
    Queue queue;
  };
  PerKey(int keys, int) : key(new Key[keys]) {}
  void Post(int, int to, int32_t value) { key[to].queue.push(value); }
  int32_t Take(int to) {
    int32_t value = 0;
    key[to].queue.pop(value);
    return value;
  }
  int32_t TryTake(int to) {
    int32_t value = 0;
    return key[to].queue.try_pop(value) ? value : 0;
  }
  std::unique_ptr<Key[]> key;
};

// The floor: the cheapest sound design. One single-writer ring per producer
// and consumer; a consumer spins briefly, then announces its sleep on a futex
// word, which a producer wakes only when a sleep was announced. A ring holds
// one producer's messages to one consumer, so consumers cannot share one:
// workloads deal a shared queue's messages round-robin to the consumers.
struct Floor {
  static constexpr bool kShared = false;
  static constexpr int kProducers = 5;  // four producers and a ring for the end
  static constexpr uint32_t kSlots = 8192;
  // About 50 us of pauses here: what a sleep and a wake-up cost, so that
  // spinning first never costs more than twice what sleeping at once would.
  static constexpr int kSpins = 2000;
  // Each side keeps its last sight of the other's index, so that it reads
  // the other's cache line only when the ring looks full (or empty).
  struct Ring {
    alignas(64) std::atomic<uint32_t> head{0};
    uint32_t tail_seen = 0;
    alignas(64) std::atomic<uint32_t> tail{0};
    uint32_t head_seen = 0;
    alignas(64) int32_t slots[kSlots];
  };
  struct Key {
    Ring ring[kProducers];
    alignas(64) std::atomic<uint32_t> sleeping{0};
    alignas(64) int next_ring = 0;  // the consumer's: it drains one ring before it looks at the next
  };
  Floor(int keys, int producer_count) : key(new Key[keys]), producers(producer_count) {
    Check(producers <= kProducers);
  }
  void Post(int from, int to, int32_t value) {
    Ring& ring = key[to].ring[from];
    const uint32_t tail = ring.tail.load(std::memory_order_relaxed);
    while (tail - ring.head_seen == kSlots) {
      ring.head_seen = ring.head.load(std::memory_order_acquire);
      if (tail - ring.head_seen == kSlots) std::this_thread::yield();
    }
    ring.slots[tail % kSlots] = value;
    // Sequentially consistent against the consumer's announcement: either it
    // sees this message after announcing, or this sees the announcement.
    ring.tail.store(tail + 1, std::memory_order_seq_cst);
    if (key[to].sleeping.load(std::memory_order_seq_cst) != 0 && key[to].sleeping.exchange(0) != 0) {
      FutexCall(&key[to].sleeping, FUTEX_WAKE, 1);
    }
  }
  int32_t TryTake(int to) {
    Key& k = key[to];
    for (int n = 0; n < producers; ++n) {
      const int r = (k.next_ring + n) % producers;
      Ring& ring = k.ring[r];
      const uint32_t head = ring.head.load(std::memory_order_relaxed);
      if (head == ring.tail_seen) {
        ring.tail_seen = ring.tail.load(std::memory_order_seq_cst);
        if (head == ring.tail_seen) continue;
      }
      const int32_t value = ring.slots[head % kSlots];
      ring.head.store(head + 1, std::memory_order_release);
      k.next_ring = r;
      return value;
    }
    return 0;
  }
  int32_t Take(int to) {
    for (;;) {
      for (int spin = 0; spin < kSpins; ++spin) {
        if (const int32_t value = TryTake(to)) return value;
        CpuRelax();
      }
      key[to].sleeping.store(1, std::memory_order_seq_cst);
      if (const int32_t value = TryTake(to)) {
        key[to].sleeping.store(0, std::memory_order_relaxed);
        return value;
      }
      FutexCall(&key[to].sleeping, FUTEX_WAIT, 1);
    }
  }
  std::unique_ptr<Key[]> key;
  int producers;
};

// Every queue and lock as the rows see it: its workloads, those it cannot run null.
struct Entry {
  const char* name;
  double (*worker_pool)(int, long);
  double (*many_to_many)(int, int, long);
  double (*post_take)(long);
  double (*ping_pong)(long);
  double (*uncontended)(long);
  double (*contended)(int, long);
};

template <class Queue>
Entry QueueOf(const char* name) {
  return {name, WorkerPool<Queue>, ManyToMany<Queue>, PostTake<Queue>, PingPong<Queue>, nullptr, nullptr};
}

std::vector<Entry> Queues() {
  std::vector<Entry> queues = {QueueOf<Ours>("Quenthaloy"),
                               QueueOf<PerKey<Locked<std::mutex, std::condition_variable>>>("std")};
#if defined(QUENTHALOY_BENCH_ABSL)
  queues.push_back(QueueOf<PerKey<Locked<AbslMutex, absl::CondVar>>>("abseil"));
#endif
#if defined(QUENTHALOY_BENCH_TBB)
  queues.push_back(QueueOf<PerKey<tbb::concurrent_bounded_queue<int32_t>>>("oneTBB"));
#endif
#if defined(QUENTHALOY_BENCH_MOODYCAMEL)
  queues.push_back(QueueOf<PerKey<Moodycamel<moodycamel::BlockingConcurrentQueue<int32_t>>>>("moodycamel"));
  queues.push_back({"moodycamel-plain", nullptr, nullptr,
                    PostTake<PerKey<Moodycamel<moodycamel::ConcurrentQueue<int32_t>>>>, nullptr, nullptr, nullptr});
#endif
  queues.push_back(QueueOf<Floor>("floor"));
  return queues;
}

// ---- Locks (the interface: workloads.h).
struct RecursivePthread {
  RecursivePthread() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  ~RecursivePthread() { pthread_mutex_destroy(&mutex); }
  void lock() { pthread_mutex_lock(&mutex); }
  void unlock() { pthread_mutex_unlock(&mutex); }
  pthread_mutex_t mutex;
};

// The floor of locks: one futex word, 0 free, 1 held, 2 held with sleepers;
// one atomic read-modify-write each way when nobody waits.
struct FloorMutex {
  void lock() {
    uint32_t state = 0;
    if (word.compare_exchange_strong(state, 1, std::memory_order_acquire)) return;
    if (state != 2) state = word.exchange(2, std::memory_order_acquire);
    while (state != 0) {
      FutexCall(&word, FUTEX_WAIT, 2);
      state = word.exchange(2, std::memory_order_acquire);
    }
  }
  void unlock() {
    if (word.exchange(0, std::memory_order_release) == 2) FutexCall(&word, FUTEX_WAKE, 1);
  }
  std::atomic<uint32_t> word{0};
};

template <class Lock>
Entry LockOf(const char* name) {
  return {name, nullptr, nullptr, nullptr, nullptr, Uncontended<Lock>, Contended<Lock>};
}

std::vector<Entry> Locks() {
  std::vector<Entry> locks = {LockOf<OurResource>("Quenthaloy"), LockOf<std::mutex>("std::mutex"),
                              LockOf<RecursivePthread>("pthread-recursive")};
#if defined(QUENTHALOY_BENCH_ABSL)
  locks.push_back(LockOf<AbslMutex>("absl::Mutex"));
#endif
#if defined(QUENTHALOY_BENCH_TBB)
  locks.push_back(LockOf<tbb::mutex>("tbb::mutex"));
#endif
  locks.push_back(LockOf<FloorMutex>("floor"));
  return locks;
}

// ---- The rows. Goals for our cost over a peer's, by the peer's name ("": any other).
using Goals = std::map<std::string, double>;

// A side for each entry that runs `member` (with `arguments`); the first is ours.
template <class Member, class... Arguments>
std::vector<Side> SidesOf(const std::vector<Entry>& entries, const Goals& goals, Member member,
                          Arguments... arguments) {
  std::vector<Side> sides;
  for (const Entry& entry : entries) {
    const auto goal = goals.count(entry.name) != 0 ? goals.find(entry.name) : goals.find("");
    if (entry.*member == nullptr) continue;
    sides.push_back({entry.name, [&entry, member, arguments...] { return (entry.*member)(arguments...); },
                     goal == goals.end() ? 0 : goal->second});
  }
  return sides;
}

void QueueWorkloads(Table& table) {
  const std::vector<Entry> queues = Queues();
  const Goals goals = {{"", 1.0}, {"floor", 2.0}};  // none slower than any peer but the floor, the floor within 2x
  table.Section("one dispatcher, workers each on its own key, ns per job");
  for (int workers : {1, 2, 4, 8, 16}) {
    table.Compare("worker pool, " + std::to_string(workers) + " workers", "ns",
                  SidesOf(queues, goals, &Entry::worker_pool, workers, Scaled(300000)), "worker_pool",
                  std::to_string(workers));
  }
  table.Section("P producers to C consumers on one shared key (floor: P x C rings), messages per second");
  // The slowest peers take seconds a run here: three runs a figure.
  const int full_repetitions = repetitions;
  repetitions = std::min(repetitions, 3);
  for (int producers : {1, 2, 4}) {
    for (int consumers : {1, 2, 4}) {
      const std::string x = std::to_string(producers) + "x" + std::to_string(consumers);
      table.Compare(x + " producers x consumers", "/s",
                    SidesOf(queues, goals, &Entry::many_to_many, producers, consumers, Scaled(1000000)), "many_to_many",
                    x);
    }
  }
  repetitions = full_repetitions;
  table.Section("two threads, ns per round trip (peers: a message there and one back)");
  if (!Selected("hand-off and ping-pong")) return;
  // Ours twice (a hand-off, then a ping-pong), each against the peers' ping-pong.
  std::vector<Side> sides = SidesOf(queues, {{"moodycamel", 1.0}}, &Entry::ping_pong, Scaled(20000));
  sides.insert(sides.begin(), {"hand-off", [] { return HandOff<Ours>(Scaled(20000)); }});
  const std::vector<Side> measured = MeasureTurns("hand-off and ping-pong", sides);
  const std::vector<Side> peers(measured.begin() + 2, measured.end());
  table.Row("hand-off SendThreadMessageAndWait/Wait", "ns", measured[0].figure, peers, "round_trip", "hand-off");
  table.Row("ping-pong between two keys", "ns", measured[1].figure, peers, "round_trip", "ping-pong");
}

void LockWorkloads(Table& table) {
  const std::vector<Entry> locks = Locks();
  table.Section("resources: take+give back (OpenThreadResource+CloseThreadResource)");
  for (int threads : {2, 4, 8}) {
    table.Compare(std::to_string(threads) + " threads contending, sections per s", "/s",
                  SidesOf(locks, {{"absl::Mutex", 1.0}}, &Entry::contended, threads, Scaled(1000000) / threads),
                  "resource_contended", std::to_string(threads));
  }
}

// One thread's tight loops through the exports: run first while the process
// has no other thread (the C library's mutexes then skip their atomic
// operations, and so do the library's locks), and again once threads were
// made.
void OneThread(Table& table, const std::string& when) {
  const std::vector<Entry> queues = Queues();
  const std::vector<Entry> locks = Locks();
  table.Section("one thread, tight loop through the exports, ns; " + when);
  table.Compare("post+take, " + when, "ns",
                SidesOf(queues, {{"std", 1.5}, {"moodycamel", 1.0}}, &Entry::post_take, Scaled(2000000)), "post_take",
                when);
  table.Compare("resource take+give back, " + when, "ns",
                SidesOf(locks, {{"std::mutex", 1.1}, {"pthread-recursive", 1.3}}, &Entry::uncontended, Scaled(4000000)),
                "resource_uncontended", when);
}

// ---- Our own figures with no peer: depth of the queue, memory.

// Post+take for one recipient while `depth` messages for another wait in
// the queue, against the same pair on an empty queue.
void Depth(Table& table) {
  table.Section("post+take behind messages queued for another key, ns");
  // About 30 ms a sample, from what 10^4 pairs cost: any fixed count would be
  // too short to time or too long to wait for where a bad queue is a
  // thousandfold slower behind 10^6 messages than in front of them.
  const long n = quick ? 1 : std::max(1L, static_cast<long>(30e6 / std::max(PostTake<Ours>(10000), 1.0)));
  const std::function<double()> pairs = [n] { return PostTake<Ours>(n); };
  const Side empty = MeasureTurns("post+take on an empty queue", {{"the same on an empty queue", pairs, 2.0}})[0];
  const int32_t other = next_key.fetch_add(1);
  long queued = 0;
  for (long depth : quick ? std::vector<long>{100} : std::vector<long>{100, 10000, 1000000}) {
    const std::string what = "post+take behind " + std::to_string(depth);
    for (; queued < depth; ++queued) SendThreadMessage(other, 1);
    table.Row(what, "ns", MeasureTurns(what, {{what, pairs}})[0].figure, {empty}, "depth", std::to_string(depth));
  }
  while (GetThreadMessage(other) != 0) --queued;
  if (queued != 0) Fail("post+take behind a deep queue: messages lost");
}

// Resident memory, from /proc/self/statm, in KiB.
long ResidentKiB() {
  FILE* file = fopen("/proc/self/statm", "r");
  if (file == nullptr) return -1;
  long size = 0, resident = 0;
  const int read = fscanf(file, "%ld %ld", &size, &resident);
  fclose(file);
  return read == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

// Resident memory over `rounds` calls of `round`: what the first `settle`
// rounds added, and what the others did. The first `settle` rounds
// let whatever is set up once (tables grown to their working size, the
// allocator's arenas) settle; growth counts from there, so that even a few
// bytes kept per round show as megabytes.
std::pair<long, long> ResidentGrowth(long rounds, long settle, const std::function<void()>& round) {
  ResidentKiB();  // stdio's first use of its buffers is not the library's
  const long start = ResidentKiB();
  long settled = start;
  for (long i = 0; i < rounds; ++i) {
    if (i == settle) settled = ResidentKiB();
    round();
  }
  return {settled - start, ResidentKiB() - settled};
}

void Memory(Table& table) {
  constexpr long kLimitKiB = 1024;
  table.Section("memory");
  // 10^6 recipients, one message each, posted and drained, round after round.
  const long keys = quick ? 1000 : 1000000, key_rounds = quick ? 2 : 4;
  Progress("memory: " + std::to_string(keys) + " recipients posted and drained");
  long lost = 0;
  const int32_t first = next_key.fetch_add(static_cast<int32_t>(keys));
  const auto [settling, growth] = ResidentGrowth(key_rounds, 1, [&] {
    for (long k = 0; k < keys; ++k) SendThreadMessage(first + static_cast<int32_t>(k), 1);
    for (long k = 0; k < keys; ++k) lost += GetThreadMessage(first + static_cast<int32_t>(k)) != 1;
  });
  table.LimitRow("RSS growth, " + std::to_string(keys) + " recipients x" + std::to_string(key_rounds - 1),
                 static_cast<double>(growth), "first round", static_cast<double>(settling), "KiB",
                 "no growth after the first round (< 1024 KiB), none lost", growth < kLimitKiB && lost == 0);

  // Resources added, taken and deleted while held: a call that fails is
  // counted, not fatal (a library whose table runs out keeps failing fast).
  // Quick: few enough that a library which keeps deleted resources held stays
  // within what ThreadSanitizer tracks per thread (64 locks).
  const long rounds = quick ? 20 : 10000000;
  Progress("memory: " + std::to_string(rounds) + " add/take/delete-while-held rounds");
  long failed_calls = 0;
  const long ours = ResidentGrowth(rounds, rounds / 50, [&failed_calls] {
                      const int32_t resource = AddThreadResource();
                      failed_calls +=
                          resource == 0 || OpenThreadResource(resource) != 1 || DeleteThreadResource(resource) == 0;
                    }).second;
  const long baseline = ResidentGrowth(rounds, rounds / 50, [] {
                          auto mutex = std::make_unique<RecursivePthread>();
                          mutex->lock();
                          mutex->unlock();
                        }).second;
  table.LimitRow("RSS growth, " + std::to_string(rounds) + " add/open/delete-held", static_cast<double>(ours),
                 "pthread mutex init/lock/destroy", static_cast<double>(baseline), "KiB",
                 "no growth (< 1024 KiB), no failed call", ours < kLimitKiB && failed_calls == 0);
}

}  // namespace

int main(int argc, char** argv) {
  Table table("native", argc, argv);
  repetitions = quick ? 1 : 5;
#if !defined(QUENTHALOY_BENCH_ABSL)
  table.Note("abseil left out: built without libabsl-dev");
#endif
#if !defined(QUENTHALOY_BENCH_TBB)
  table.Note("oneTBB left out: built without libtbb-dev");
#endif
#if !defined(QUENTHALOY_BENCH_MOODYCAMEL)
  table.Note("moodycamel left out: built without libconcurrentqueue-dev");
#endif
  OneThread(table, "the process's only thread");  // first: before any thread is made
  QueueWorkloads(table);
  LockWorkloads(table);
  OneThread(table, "other threads made");
  if (Selected("post+take behind")) Depth(table);
  if (Selected("memory"))
    Memory(table);  // last: a library that runs its handle table out here may fail other calls from then on
  return table.Finish();
}
