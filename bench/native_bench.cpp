// Native costs against the queues and locks a C++ user would pick instead,
// each used as its own documentation recommends for speed, measured turn
// about in one run; bench/report.py makes the report of the samples. The
// library is reached only through its public header and shared library.
//   native_bench [--quick] [--only TEXT]
#include <linux/futex.h>
#include <linux/membarrier.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <type_traits>

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

// ---- Queues. A peer's queue per key, each on cache lines of its own:
// Queue(producers, consumers), push(from, value), pop(by, value) waiting and
// try_pop(by, value).
template <class Queue>
struct PerKey {
  static constexpr bool kShared = true;
  PerKey(int keys, int producers, int consumers) {
    for (int k = 0; k < keys; ++k) key.push_back(std::make_unique<Queue>(producers, consumers));
  }
  void Post(int from, int to, int32_t value) { key[to]->push(from, value); }
  int32_t Take(int by, int to) {
    int32_t value = 0;
    key[to]->pop(by, value);
    return value;
  }
  int32_t TryTake(int by, int to) {
    int32_t value = 0;
    return key[to]->try_pop(by, value) ? value : 0;
  }
  std::vector<std::unique_ptr<Queue>> key;
};

// What a user writes by hand: a deque under a mutex.
template <class Mutex>
struct alignas(64) Locked {
  Locked(int, int) {}
  bool try_pop(int, int32_t& value) {
    const std::lock_guard<Mutex> hold(mutex);
    if (values.empty()) return false;
    value = PopFront(values);
    return true;
  }
  Mutex mutex;
  std::deque<int32_t> values;
};

// std: takers wait on a condition variable, notified under the mutex (in
// most rows here faster than after the unlock).
struct StdQueue : Locked<std::mutex> {
  using Locked::Locked;
  void push(int, int32_t value) {
    const std::lock_guard<std::mutex> hold(mutex);
    values.push_back(value);
    posted.notify_one();
  }
  void pop(int, int32_t& value) {
    std::unique_lock<std::mutex> hold(mutex);
    posted.wait(hold, [this] { return !values.empty(); });
    value = PopFront(values);
  }
  std::condition_variable posted;
};

#if defined(QUENTHALOY_BENCH_ABSL)
struct AbslMutex : absl::Mutex {
  void lock() { Lock(); }
  void unlock() { Unlock(); }
};
// abseil: takers wait in LockWhen for a condition that the mutex's unlock
// evaluates (in most rows here faster than a CondVar signalled per post).
struct AbslQueue : Locked<AbslMutex> {
  using Locked::Locked;
  void push(int, int32_t value) {
    const absl::MutexLock hold(&mutex);
    values.push_back(value);
  }
  void pop(int, int32_t& value) {
    const absl::MutexLock hold(&mutex, absl::Condition(this, &AbslQueue::Ready));
    value = PopFront(values);
  }
  bool Ready() const { return !values.empty(); }
};
#endif

#if defined(QUENTHALOY_BENCH_TBB)
struct alignas(64) TbbQueue : tbb::concurrent_bounded_queue<int32_t> {
  TbbQueue(int, int) {}
  void push(int, int32_t value) { concurrent_bounded_queue::push(value); }
  void pop(int, int32_t& value) { concurrent_bounded_queue::pop(value); }
  bool try_pop(int, int32_t& value) { return concurrent_bounded_queue::try_pop(value); }
};
#endif

#if defined(QUENTHALOY_BENCH_MOODYCAMEL)
// moodycamel: a ProducerToken per producing and a ConsumerToken per
// consuming thread, the fast path its documentation recommends.
struct alignas(64) Moodycamel {
  Moodycamel(int producers, int consumers) {
    for (int p = 0; p < producers; ++p) producer.emplace_back(queue);
    for (int c = 0; c < consumers; ++c) consumer.emplace_back(queue);
  }
  void push(int from, int32_t value) { Check(queue.enqueue(producer[from], value)); }
  void pop(int by, int32_t& value) { queue.wait_dequeue(consumer[by], value); }
  bool try_pop(int by, int32_t& value) { return queue.try_dequeue(consumer[by], value); }
  moodycamel::BlockingConcurrentQueue<int32_t> queue;
  std::deque<moodycamel::ProducerToken> producer;
  std::deque<moodycamel::ConsumerToken> consumer;
};
#endif

long Futex(std::atomic<uint32_t>* word, int op, uint32_t value) {
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op | FUTEX_PRIVATE_FLAG, value, nullptr, nullptr, 0);
}

// A Dekker pair whose one side is rare pays for both: its barrier
// (membarrier) makes every running thread of the process pass a full one,
// so that the frequent side needs only the compiler's. Without membarrier,
// both sides write the rare side's word.
const bool asymmetric = syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
void FrequentBarrier(std::atomic<uint32_t>& rare_word) {
  asymmetric ? std::atomic_signal_fence(std::memory_order_seq_cst) : static_cast<void>(rare_word.fetch_add(0));
}
void RareBarrier() {
  if (asymmetric) syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);
}

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

// Pauses in about 50 us, what a sleep and a wake-up cost, counted once: a
// pause costs from a few ns to 70 (this virtual machine), and a clock read
// per message would cost more than the floor's message.
int SpinPauses() {
  static const int pauses = [] {
    const Stopwatch time;
    for (int i = 0; i < 1000; ++i) CpuRelax();
    return static_cast<int>(50e3 * 1000 / std::max(time.Nanoseconds(), 1000.0));
  }();
  return pauses;
}

// The floor: per key a single-producer single-consumer ring per producer,
// each side keeping its last sight of the other's index and reading the
// other's line only when the ring looks full (or empty): nothing shared is
// written per message. A consumer that finds nothing spins, then announces
// its sleep, looks again and sleeps on a futex word that a producer wakes
// only when a sleep was announced. kOrdered: one order across a key's
// producers at the least it costs, a shared counter taken per post, each
// message carrying its number for the consumer to take them in turn. A ring
// has one consumer: a shared key's messages are dealt to the consumers' own.
template <bool kOrdered>
struct Floor {
  static constexpr bool kShared = false;
  static constexpr uint32_t kSlots = 8192;
  struct Numbered {
    uint32_t number;
    int32_t value;
  };
  using Slot = std::conditional_t<kOrdered, Numbered, int32_t>;
  struct Ring {
    alignas(64) std::atomic<uint32_t> tail{0};  // the producer's line
    uint32_t head_seen = 0;
    alignas(64) std::atomic<uint32_t> head{0};  // the consumer's line
    uint32_t tail_seen = 0;
    alignas(64) Slot slots[kSlots];
  };
  struct Key {
    explicit Key(int producers) : ring(new Ring[producers]) {}
    std::unique_ptr<Ring[]> ring;
    alignas(64) int next = 0;  // the consumer's: the ring it drains first
    uint32_t expected = 1;     // the consumer's, kOrdered: the next number
    alignas(64) std::atomic<uint32_t> sleeping{0};
    alignas(64) std::atomic<uint32_t> counter{0};  // kOrdered: the producers' shared count
  };
  Floor(int keys, int producer_count, int) : producers(producer_count) {
    for (int k = 0; k < keys; ++k) key.push_back(std::make_unique<Key>(producers));
  }
  void Post(int from, int to, int32_t value) {
    Key& k = *key[to];
    Ring& ring = k.ring[from];
    const uint32_t tail = ring.tail.load(std::memory_order_relaxed);
    while (tail - ring.head_seen == kSlots) {
      ring.head_seen = ring.head.load(std::memory_order_acquire);
      if (tail - ring.head_seen == kSlots) std::this_thread::yield();
    }
    if constexpr (kOrdered) {
      ring.slots[tail % kSlots] = {k.counter.fetch_add(1, std::memory_order_relaxed) + 1, value};
    } else {
      ring.slots[tail % kSlots] = value;
    }
    ring.tail.store(tail + 1, std::memory_order_release);
    FrequentBarrier(k.sleeping);  // the tail stored before the announcement is read
    if (k.sleeping.load(std::memory_order_relaxed) != 0 && k.sleeping.exchange(0) != 0) {
      Futex(&k.sleeping, FUTEX_WAKE, 1);
    }
  }
  int32_t TryTake(int, int to) {
    Key& k = *key[to];
    for (int n = 0, r = k.next; n < producers; ++n, r = r + 1 == producers ? 0 : r + 1) {
      Ring& ring = k.ring[r];
      const uint32_t head = ring.head.load(std::memory_order_relaxed);
      if (head == ring.tail_seen && head == (ring.tail_seen = ring.tail.load(std::memory_order_acquire))) continue;
      const Slot slot = ring.slots[head % kSlots];
      if constexpr (kOrdered) {
        if (slot.number != k.expected) continue;
        ++k.expected;
      }
      ring.head.store(head + 1, std::memory_order_release);
      k.next = r;
      if constexpr (kOrdered) {
        return slot.value;
      } else {
        return slot;
      }
    }
    return 0;
  }
  int32_t Take(int by, int to) {
    std::atomic<uint32_t>& sleeping = key[to]->sleeping;
    for (;;) {
      for (int spin = 0, spins = SpinPauses(); spin < spins; ++spin, CpuRelax()) {
        if (const int32_t value = TryTake(by, to)) return value;
      }
      sleeping.exchange(1);
      RareBarrier();  // the announcement stored before the rings are read again
      if (const int32_t value = TryTake(by, to)) {
        sleeping.store(0, std::memory_order_relaxed);
        return value;
      }
      Futex(&sleeping, FUTEX_WAIT, 1);
    }
  }
  int producers;
  std::vector<std::unique_ptr<Key>> key;
};

// ---- Locks.
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

// ---- Every queue and lock as the rows see it: the workloads it runs.
struct Entry {
  std::string name;
  double (*worker_pool)(int, long) = nullptr;
  double (*many_to_many)(int, int, long) = nullptr;
  double (*dealt)(int, int, long) = nullptr;  // many_to_many with a key per consumer
  double (*post_take)(long) = nullptr;
  double (*round_trip)(long) = nullptr;
  double (*uncontended)(long) = nullptr;
  double (*contended)(int, long) = nullptr;
};

template <class Queue>
Entry QueueOf(const char* name) {
  return {name, WorkerPool<Queue>, ManyToMany<Queue>, ManyToMany<Dealt<Queue>>, PostTake<Queue>, RoundTrip<Queue>};
}
template <class Lock>
Entry LockOf(const char* name) {
  return {name, nullptr, nullptr, nullptr, nullptr, nullptr, Uncontended<Lock>, Contended<Lock>};
}

std::vector<Entry> Entries() {
  std::vector<Entry> entries = {QueueOf<Ours>("Quenthaloy"), QueueOf<PerKey<StdQueue>>("std")};
#if defined(QUENTHALOY_BENCH_ABSL)
  entries.push_back(QueueOf<PerKey<AbslQueue>>("abseil"));
#endif
#if defined(QUENTHALOY_BENCH_TBB)
  entries.push_back(QueueOf<PerKey<TbbQueue>>("oneTBB"));
#endif
#if defined(QUENTHALOY_BENCH_MOODYCAMEL)
  entries.push_back(QueueOf<PerKey<Moodycamel>>("moodycamel"));
#endif
  entries.push_back(QueueOf<Floor<false>>("floor"));
  entries.push_back({"floor-ordered", nullptr, ManyToMany<Floor<true>>, ManyToMany<Floor<true>>});
  entries.push_back(LockOf<OurResource>("Quenthaloy"));
  entries.push_back(LockOf<std::mutex>("std::mutex"));
  entries.push_back(LockOf<RecursivePthread>("pthread-recursive"));
#if defined(QUENTHALOY_BENCH_ABSL)
  entries.push_back(LockOf<AbslMutex>("absl::Mutex"));
#endif
#if defined(QUENTHALOY_BENCH_TBB)
  entries.push_back(LockOf<tbb::mutex>("tbb::mutex"));
#endif
  return entries;
}

// A side for each entry that runs `member` (with `arguments`), ours first,
// each peer with its goal by name ("": any other).
using Goals = std::map<std::string, double>;
template <class Member, class... Arguments>
std::vector<Side> SidesOf(const Goals& goals, Member member, Arguments... arguments) {
  static const std::vector<Entry> entries = Entries();
  std::vector<Side> sides;
  for (const Entry& entry : entries) {
    if (entry.*member == nullptr) continue;
    const auto goal = goals.count(entry.name) != 0 || sides.empty() ? goals.find(entry.name) : goals.find("");
    sides.push_back({entry.name, [&entry, member, arguments...] { return (entry.*member)(arguments...); },
                     goal == goals.end() ? 0 : goal->second});
  }
  return sides;
}

void QueueWorkloads() {
  Section("one dispatcher, workers each on its own key, ns per job");
  for (int workers : {1, 2, 4, 8, 16}) {
    Compare("worker pool, " + std::to_string(workers) + " workers", "ns",
            SidesOf({{"", 1.0}, {"floor", 2.0}}, &Entry::worker_pool, workers, Scaled(300000, 30)), "worker_pool",
            std::to_string(workers));
  }
  Section("P producers to C consumers on one key (floors: a key per consumer), messages per s");
  for (int producers : {1, 2, 4}) {
    for (int consumers : {1, 2, 4}) {
      const std::string x = std::to_string(producers) + "x" + std::to_string(consumers);
      Goals goals = {{"floor", 2.0}};
      if (consumers == 1) goals.insert({{"moodycamel", 1.0}, {"floor-ordered", producers > 1 ? 1.2 : 0}});
      Compare(x + " producers x consumers", "/s",
              SidesOf(goals, &Entry::many_to_many, producers, consumers, Scaled(1000000, 100)), "many_to_many", x);
    }
  }
  Section("P producers to C consumers, a key per consumer (each producer deals round-robin), messages per s");
  for (int producers : {1, 2, 4}) {
    for (int consumers : {2, 4}) {
      const std::string x = std::to_string(producers) + "x" + std::to_string(consumers);
      Goals goals = {{"moodycamel", 1.0}, {"floor", 2.0}, {"floor-ordered", producers > 1 ? 1.2 : 0}};
      Compare(x + " producers x consumers, dealt", "/s",
              SidesOf(goals, &Entry::dealt, producers, consumers, Scaled(1000000, 100)), "dealt", x);
    }
  }
  Section("two threads, ns per round trip (peers: a message there and one back)");
  if (!Selected("hand-off and ping-pong")) return;
  // Ours twice (a hand-off, then a ping-pong), each against the peers' ping-pong.
  std::vector<Side> sides = SidesOf({{"moodycamel", 1.0}}, &Entry::round_trip, Scaled(20000));
  sides.insert(sides.begin(), {"Quenthaloy", [] { return RoundTrip<Ours, true>(Scaled(20000)); }});
  const std::vector<Side> measured = Measure("hand-off and ping-pong", sides);
  std::vector<Side> hand_off = measured;
  hand_off.erase(hand_off.begin() + 1);
  Report("hand-off SendThreadMessageAndWait/Wait", "ns", hand_off, "round_trip", "hand-off");
  Report("ping-pong between two keys", "ns", {measured.begin() + 1, measured.end()}, "round_trip", "ping-pong");
}

// One thread's tight loops through the exports: first while the process has
// no other thread (glibc's locks then skip their atomic operations), and
// again once threads were made.
void OneThread(const std::string& when) {
  Section("one thread, ns; " + when);
  Compare("post+take, " + when, "ns", SidesOf({{"std", 1.0}, {"moodycamel", 1.0}}, &Entry::post_take, Scaled(2000000)),
          "post_take", when);
  Compare("resource take+give back, " + when, "ns",
          SidesOf({{"std::mutex", 1.1}, {"pthread-recursive", 1.0}}, &Entry::uncontended, Scaled(4000000)),
          "resource_uncontended", when);
}

// Post+take for one key while messages for another wait, against the same
// on an empty queue: a take costs the same whatever other recipients hold.
// About 30 ms a sample, whatever a pair costs: a fixed count would never end
// where a bad queue is a thousandfold slower behind 10^6 messages.
void Depth() {
  const long n = Scaled(static_cast<long>(30e6 / std::max(PostTake<Ours>(10000), 1.0)));
  const auto pairs = [n] { return PostTake<Ours>(n); };
  const Side empty = Measure("post+take on an empty queue", {{"the same on an empty queue", pairs, 2.0}})[0];
  const int32_t other = next_key.fetch_add(1);
  long queued = 0;
  Section("post+take behind messages queued for another key, ns");
  for (long depth : {100L, 10000L, 1000000L}) {
    for (depth = Scaled(depth, 100); queued < depth; ++queued) SendThreadMessage(other, 1);
    const std::string what = "post+take behind " + std::to_string(depth);
    Report(what, "ns", {Measure(what, {{"Quenthaloy", pairs}})[0], empty}, "depth", std::to_string(depth));
  }
  while (GetThreadMessage(other) != 0) --queued;
  if (queued != 0) Fail("post+take behind a deep queue: messages lost");
}

// Resident memory, from /proc/self/statm, in KiB.
long ResidentKiB() {
  FILE* file = fopen("/proc/self/statm", "r");
  long size = 0, resident = -1;
  if (file != nullptr && fscanf(file, "%ld %ld", &size, &resident) != 2) resident = -1;
  if (file != nullptr) fclose(file);
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// 10^6 recipients, one message each, posted and drained, round after round:
// the first round grows the index to its working size, the others must not.
void Memory() {
  const long keys = Scaled(1000000, 1000), rounds = Scaled(4, 2);
  const int32_t first = next_key.fetch_add(static_cast<int32_t>(keys));
  std::vector<double> resident;
  for (long round = 0; round < rounds; ++round) {
    resident.push_back(static_cast<double>(ResidentKiB()));
    for (long k = 0; k < keys; ++k) SendThreadMessage(first + static_cast<int32_t>(k), 1);
    for (long k = 0; k < keys; ++k) Check(GetThreadMessage(first + static_cast<int32_t>(k)) == 1);
  }
  resident.push_back(static_cast<double>(ResidentKiB()));
  if (check_failed.exchange(false)) Fail("memory: messages lost");
  Section("memory, KiB (our goal: a limit)");
  Report("RSS growth, " + std::to_string(keys) + " recipients x" + std::to_string(rounds - 1), "KiB",
         {{"Quenthaloy", nullptr, 1024, {resident.back() - resident[1]}},
          {"the first round", nullptr, 0, {resident[1] - resident[0]}}});
}

}  // namespace

int main(int argc, char** argv) {
  Arguments(argc, argv);
#if !defined(QUENTHALOY_BENCH_ABSL) || !defined(QUENTHALOY_BENCH_TBB) || !defined(QUENTHALOY_BENCH_MOODYCAMEL)
  Section("note: some peers left out, built without them (scripts/ensure-deps bench)");
#endif
  OneThread("the process's only thread");  // first: before any thread is made
  QueueWorkloads();
  Section("resources: take+give back (OpenThreadResource+CloseThreadResource), sections per s");
  for (int threads : {2, 4, 8}) {
    Compare(std::to_string(threads) + " threads contending", "/s",
            SidesOf({{"absl::Mutex", 1.0}}, &Entry::contended, threads, Scaled(1000000, 100) / threads),
            "resource_contended", std::to_string(threads));
  }
  OneThread("other threads made");
  if (Selected("post+take behind")) Depth();
  if (Selected("memory")) Memory();
  return failed ? 1 : 0;
}
