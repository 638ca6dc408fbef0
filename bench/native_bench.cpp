// Native costs against the queues and locks a C++ user would pick instead,
// measured turn about in one run: medians of several runs. The library is
// reached only through its public header and shared library, as a host
// reaches it. One driver runs every workload over every queue through the
// adaptors below, so a new peer (or a new core) is one adaptor.
//   native_bench [--csv DIR]  full run; with DIR, also writes native_results.csv
//                             and the plotted series (native_*.csv) there
//   native_bench --quick      one tiny iteration of each, so the code cannot rot
#include <linux/futex.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_table.h"
#include "quenthaloy.h"

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

using bench::Figure;
using bench::Peer;

bool quick = false;
long Scaled(long n) { return quick ? std::max(1L, n / 10000) : n; }

// Set when a workload's own check fails (a job lost, taken twice or out of
// order): the figures of such a run mean nothing, and the exit status says so.
std::atomic<bool> workload_failed{false};

void CheckWorkload(bool correct, const std::string& what) {
  if (correct) return;
  fprintf(stderr, "native_bench: %s: the workload's check failed\n", what.c_str());
  workload_failed = true;
}

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

// ---- Queues. Each adaptor holds `keys` independent queues (recipients):
// Post(from, to, value) by producer thread `from` of `producers` (only the
// floor looks at them), Take(to) blocks, TryTake(to) returns 0 when nothing is queued (no
// workload posts 0). kShared: consumers can share one queue.

// Recipient keys of their own for every adaptor made, so that no workload
// sees another's leftovers.
std::atomic<int32_t> next_key{10000};

struct Ours {
  static constexpr const char* kName = "Quenthaloy";
  static constexpr bool kShared = true;
  explicit Ours(int keys, int = 1) : base(next_key.fetch_add(keys)) {}
  void Post(int, int to, int32_t value) { SendThreadMessage(base + to, value); }
  int32_t Take(int to) { return WaitThreadMessage(base + to); }
  int32_t TryTake(int to) { return GetThreadMessage(base + to); }
  int32_t base;
};

template <class Key>
int32_t PopFront(Key& key) {
  const int32_t value = key.values.front();
  key.values.pop_front();
  return value;
}

// What a user writes by hand: per recipient a std::deque under a std::mutex
// and a condition variable its takers wait on.
struct Std {
  static constexpr const char* kName = "std";
  static constexpr bool kShared = true;
  struct alignas(64) Key {
    std::mutex mutex;
    std::condition_variable posted;
    std::deque<int32_t> values;
  };
  explicit Std(int keys, int = 1) : key(new Key[keys]) {}
  void Post(int, int to, int32_t value) {
    {
      std::lock_guard<std::mutex> hold(key[to].mutex);
      key[to].values.push_back(value);
    }
    key[to].posted.notify_one();
  }
  int32_t Take(int to) {
    std::unique_lock<std::mutex> hold(key[to].mutex);
    key[to].posted.wait(hold, [&] { return !key[to].values.empty(); });
    return PopFront(key[to]);
  }
  int32_t TryTake(int to) {
    std::lock_guard<std::mutex> hold(key[to].mutex);
    return key[to].values.empty() ? 0 : PopFront(key[to]);
  }
  std::unique_ptr<Key[]> key;
};

#if defined(QUENTHALOY_BENCH_ABSL)
struct Abseil {
  static constexpr const char* kName = "abseil";
  static constexpr bool kShared = true;
  struct alignas(64) Key {
    absl::Mutex mutex;
    absl::CondVar posted;
    std::deque<int32_t> values;
  };
  explicit Abseil(int keys, int = 1) : key(new Key[keys]) {}
  void Post(int, int to, int32_t value) {
    {
      absl::MutexLock hold(&key[to].mutex);
      key[to].values.push_back(value);
    }
    key[to].posted.Signal();
  }
  int32_t Take(int to) {
    absl::MutexLock hold(&key[to].mutex);
    while (key[to].values.empty()) key[to].posted.Wait(&key[to].mutex);
    return PopFront(key[to]);
  }
  int32_t TryTake(int to) {
    absl::MutexLock hold(&key[to].mutex);
    return key[to].values.empty() ? 0 : PopFront(key[to]);
  }
  std::unique_ptr<Key[]> key;
};
#endif

#if defined(QUENTHALOY_BENCH_TBB)
struct OneTbb {
  static constexpr const char* kName = "oneTBB";
  static constexpr bool kShared = true;
  struct alignas(64) Key {
    tbb::concurrent_bounded_queue<int32_t> values;
  };
  explicit OneTbb(int keys, int = 1) : key(new Key[keys]) {}
  void Post(int, int to, int32_t value) { key[to].values.push(value); }
  int32_t Take(int to) {
    int32_t value = 0;
    key[to].values.pop(value);
    return value;
  }
  int32_t TryTake(int to) {
    int32_t value = 0;
    return key[to].values.try_pop(value) ? value : 0;
  }
  std::unique_ptr<Key[]> key;
};
#endif

#if defined(QUENTHALOY_BENCH_MOODYCAMEL)
// Without producer or consumer tokens, as a caller that cannot keep one per
// thread and queue uses it.
template <class Queue, const char* const* Name>
struct Moodycamel {
  static constexpr const char* kName = *Name;
  static constexpr bool kShared = true;
  explicit Moodycamel(int keys, int = 1) : key(new Queue[keys]) {}
  void Post(int, int to, int32_t value) { key[to].enqueue(value); }
  int32_t Take(int to) {
    int32_t value = 0;
    key[to].wait_dequeue(value);
    return value;
  }
  int32_t TryTake(int to) {
    int32_t value = 0;
    return key[to].try_dequeue(value) ? value : 0;
  }
  std::unique_ptr<Queue[]> key;
};
constexpr const char* kBlockingName = "moodycamel";
constexpr const char* kPlainName = "moodycamel-plain";
using MoodycamelBlocking = Moodycamel<moodycamel::BlockingConcurrentQueue<int32_t>, &kBlockingName>;
// No blocking take: only the one-thread post+take runs it.
using MoodycamelPlain = Moodycamel<moodycamel::ConcurrentQueue<int32_t>, &kPlainName>;
#endif

// The floor: the cheapest sound design. One single-writer ring per producer
// and consumer; a consumer spins briefly, then announces its sleep on a futex
// word, which a producer wakes only when a sleep was announced. A ring holds
// one producer's messages to one consumer, so consumers cannot share one:
// workloads deal a shared queue's messages round-robin to the consumers.
struct Floor {
  static constexpr const char* kName = "floor";
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
    alignas(64) int next_ring = 0;  // the consumer's, so that no ring starves the others
  };
  Floor(int keys, int producer_count) : key(new Key[keys]), producers(producer_count) {
    CheckWorkload(producers <= kProducers, "floor: more producers than rings");
  }
  explicit Floor(int keys) : Floor(keys, 1) {}
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

// ---- The queue workloads, one driver for every adaptor.
constexpr int32_t kStop = -1;

template <class Queue>
std::string Named(const char* what) {
  return std::string(Queue::kName) + ": " + what;
}

// One dispatcher hands jobs 1..jobs round-robin to `workers` workers, each on
// its own key, then a stop value to each; every worker checks that it got
// exactly its jobs, in order. Nanoseconds per job, the workers' start
// excluded and their finishing included.
template <class Queue>
double WorkerPool(int workers, long jobs) {
  Queue queue(workers);
  std::atomic<long> wrong{0};
  std::atomic<int> ready{0};
  std::vector<std::thread> pool;
  for (int w = 0; w < workers; ++w) {
    pool.emplace_back([&, w] {
      ready.fetch_add(1);
      long expected = w + 1;
      for (int32_t job = queue.Take(w); job != kStop; job = queue.Take(w)) {
        if (job != expected) wrong.fetch_add(1);
        expected += workers;
      }
      if (expected <= jobs) wrong.fetch_add(1);
    });
  }
  while (ready.load() < workers) std::this_thread::yield();
  const auto start = std::chrono::steady_clock::now();
  for (long job = 1; job <= jobs; ++job)
    queue.Post(0, static_cast<int>((job - 1) % workers), static_cast<int32_t>(job));
  for (int w = 0; w < workers; ++w) queue.Post(0, w, kStop);
  for (auto& worker : pool) worker.join();
  CheckWorkload(wrong.load() == 0, Named<Queue>("worker pool"));
  return bench::NanosecondsSince(start) / static_cast<double>(jobs);
}

// `producers` threads post `messages` in all to `consumers` threads that
// share one key (the floor: each producer deals its messages round-robin
// to the consumers' own rings). Each consumer checks that it sees every
// producer's messages in the order posted; all are taken once. Messages per
// second, the producers' start included.
//
// Some peers keep only each producer's order, so the end is told in every
// producer's own stream: each posts one end marker per consumer after its
// messages (the floor: one into each consumer's ring). When all markers are
// taken nothing else is left, and the consumer that took the last one
// releases the others with stop values (the floor: through a ring of its own).
constexpr int32_t kEnd = -2;

template <class Queue>
double ManyToMany(int producers, int consumers, long messages) {
  const long per_producer = std::max(1L, messages / producers);
  Queue queue(Queue::kShared ? 1 : consumers, producers + 1);
  std::atomic<long> wrong{0}, taken{0};
  std::atomic<int> ready{0}, ends{0};
  std::vector<std::thread> takers, posters;
  for (int c = 0; c < consumers; ++c) {
    takers.emplace_back([&, c] {
      const int key = Queue::kShared ? 0 : c;
      std::vector<int32_t> last(producers, 0);
      long count = 0;
      ready.fetch_add(1);
      for (int32_t value = queue.Take(key); value != kStop; value = queue.Take(key)) {
        if (value == kEnd) {
          if (ends.fetch_add(1) + 1 < producers * consumers) continue;
          for (int other = 0; other < consumers; ++other) {
            if (other != c) queue.Post(producers, Queue::kShared ? 0 : other, kStop);
          }
          break;
        }
        int32_t& previous = last[value >> 24];
        if ((value & 0xffffff) <= previous) wrong.fetch_add(1);
        previous = value & 0xffffff;
        ++count;
      }
      taken.fetch_add(count);
    });
  }
  while (ready.load() < consumers) std::this_thread::yield();
  const auto start = std::chrono::steady_clock::now();
  for (int p = 0; p < producers; ++p) {
    posters.emplace_back([&, p] {
      for (long i = 1; i <= per_producer; ++i) {
        queue.Post(p, Queue::kShared ? 0 : static_cast<int>(i % consumers), static_cast<int32_t>(p << 24 | i));
      }
      for (int c = 0; c < consumers; ++c) queue.Post(p, Queue::kShared ? 0 : c, kEnd);
    });
  }
  for (auto& poster : posters) poster.join();
  for (auto& taker : takers) taker.join();
  CheckWorkload(wrong.load() == 0 && taken.load() == per_producer * producers, Named<Queue>("producers to consumers"));
  return static_cast<double>(per_producer * producers) / (bench::NanosecondsSince(start) / 1e9);
}

// One thread posts and takes back its own message: nanoseconds per pair.
template <class Queue>
double PostTake(long pairs) {
  Queue queue(1);
  long wrong = 0;
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < pairs; ++i) {
    queue.Post(0, 0, static_cast<int32_t>(i | 1));
    if (queue.TryTake(0) != static_cast<int32_t>(i | 1)) ++wrong;
  }
  const double ns = bench::NanosecondsSince(start) / static_cast<double>(pairs);
  CheckWorkload(wrong == 0, Named<Queue>("post+take"));
  return ns;
}

// Two threads, two keys: a message there, its echo back. Nanoseconds per
// round trip; for the peers also what a synchronous send costs them.
template <class Queue>
double PingPong(long rounds) {
  Queue queue(2);
  long wrong = 0;
  const auto start = std::chrono::steady_clock::now();
  std::thread echo([&] {
    for (long i = 0; i < rounds; ++i) queue.Post(0, 1, queue.Take(0));
  });
  for (long i = 0; i < rounds; ++i) {
    queue.Post(0, 0, static_cast<int32_t>(i | 1));
    if (queue.Take(1) != static_cast<int32_t>(i | 1)) ++wrong;
  }
  echo.join();
  CheckWorkload(wrong == 0, Named<Queue>("ping-pong"));
  return bench::NanosecondsSince(start) / static_cast<double>(rounds);
}

// Ours only: SendThreadMessageAndWait returns when the taker has the message.
double HandOff(long rounds) {
  const int32_t key = next_key.fetch_add(1);
  const auto start = std::chrono::steady_clock::now();
  std::thread taker([&] {
    for (long i = 0; i < rounds; ++i) WaitThreadMessage(key);
  });
  for (long i = 0; i < rounds; ++i) SendThreadMessageAndWait(key, static_cast<int32_t>(i | 1));
  taker.join();
  return bench::NanosecondsSince(start) / static_cast<double>(rounds);
}

// Every queue as the driver sees it: its workloads, those it cannot run null.
struct QueueEntry {
  const char* name;
  double (*worker_pool)(int, long);
  double (*many_to_many)(int, int, long);
  double (*post_take)(long);
  double (*ping_pong)(long);
};

template <class Queue>
QueueEntry Blocking() {
  return {Queue::kName, WorkerPool<Queue>, ManyToMany<Queue>, PostTake<Queue>, PingPong<Queue>};
}

std::vector<QueueEntry> Queues() {
  std::vector<QueueEntry> queues = {Blocking<Ours>(), Blocking<Std>()};
#if defined(QUENTHALOY_BENCH_ABSL)
  queues.push_back(Blocking<Abseil>());
#endif
#if defined(QUENTHALOY_BENCH_TBB)
  queues.push_back(Blocking<OneTbb>());
#endif
#if defined(QUENTHALOY_BENCH_MOODYCAMEL)
  queues.push_back(Blocking<MoodycamelBlocking>());
  queues.push_back({MoodycamelPlain::kName, nullptr, nullptr, PostTake<MoodycamelPlain>, nullptr});
#endif
  queues.push_back(Blocking<Floor>());
  return queues;
}

// Goals for our cost over a queue peer's: none slower than any peer but the
// floor, the floor within 2x.
double QueueGoal(const std::string& peer) { return peer == "floor" ? 2.0 : 1.0; }

// Measures `run` for each queue that has it, turn about; the first is ours.
// The row's goals: `goal(peer)`.
template <class Member, class... Arguments>
void QueueRow(bench::Table& table, const std::vector<QueueEntry>& queues, Member member, const std::string& what,
              const std::string& unit, const std::string& series, const std::string& x,
              double (*goal)(const std::string&), Arguments... arguments) {
  bench::Progress(what);
  std::vector<std::function<double()>> sides;
  std::vector<const QueueEntry*> ran;
  for (const QueueEntry& queue : queues) {
    if (queue.*member == nullptr) continue;
    sides.push_back([&queue, member, arguments...] { return (queue.*member)(arguments...); });
    ran.push_back(&queue);
  }
  const std::vector<Figure> figures = bench::MeasureTurns(sides);
  std::vector<Peer> peers;
  for (size_t i = 1; i < ran.size(); ++i) peers.push_back({ran[i]->name, figures[i], goal(ran[i]->name)});
  table.Row(what, unit, figures[0], peers, series, x);
}

double PostTakeGoal(const std::string& peer) { return peer == "std" ? 1.5 : peer == "moodycamel" ? 1.0 : 0; }
double HandOffGoal(const std::string& peer) { return peer == "moodycamel" ? 1.0 : 0; }

void QueueWorkloads(bench::Table& table, const std::vector<QueueEntry>& queues) {
  table.Section("one dispatcher, workers each on its own key, ns per job");
  for (int workers : {1, 2, 4, 8, 16}) {
    QueueRow(table, queues, &QueueEntry::worker_pool, "worker pool, " + std::to_string(workers) + " workers", "ns",
             "worker_pool", std::to_string(workers), QueueGoal, workers, Scaled(300000));
  }
  table.Section("P producers to C consumers on one shared key (floor: P x C rings), messages per second");
  // The slowest peers take seconds a run here: three runs a figure.
  const int repetitions = bench::repetitions;
  bench::repetitions = std::min(repetitions, 3);
  for (int producers : {1, 2, 4}) {
    for (int consumers : {1, 2, 4}) {
      const std::string x = std::to_string(producers) + "x" + std::to_string(consumers);
      QueueRow(table, queues, &QueueEntry::many_to_many, x + " producers x consumers", "/s", "many_to_many", x,
               QueueGoal, producers, consumers, Scaled(1000000));
    }
  }
  bench::repetitions = repetitions;
  table.Section("one thread, tight loop through the exports, ns");
  QueueRow(table, queues, &QueueEntry::post_take, "post+take (SendThreadMessage+GetThreadMessage)", "ns", "post_take",
           "post+take", PostTakeGoal, Scaled(2000000));
  table.Section("two threads, ns per round trip (peers: a message there and one back)");
  bench::Progress("hand-off and ping-pong");
  std::vector<std::function<double()>> sides = {[] { return HandOff(Scaled(20000)); }};
  for (const QueueEntry& queue : queues) {
    if (queue.ping_pong != nullptr) sides.push_back([&queue] { return queue.ping_pong(Scaled(20000)); });
  }
  const std::vector<Figure> figures = bench::MeasureTurns(sides);
  std::vector<Peer> peers;
  for (size_t i = 2, q = 1; i < figures.size(); ++q) {
    if (queues[q].ping_pong != nullptr) peers.push_back({queues[q].name, figures[i++], HandOffGoal(queues[q].name)});
  }
  table.Row("hand-off SendThreadMessageAndWait/Wait", "ns", figures[0], peers, "round_trip", "hand-off");
  table.Row("ping-pong between two keys", "ns", figures[1], peers, "round_trip", "ping-pong");
}

// ---- Locks: Lock() and Unlock() on one lock made by the constructor.
struct OurResource {
  static constexpr const char* kName = "Quenthaloy";
  OurResource() : handle(AddThreadResource()) { CheckWorkload(handle != 0, "AddThreadResource"); }
  ~OurResource() { DeleteThreadResource(handle); }
  void Lock() { OpenThreadResource(handle); }
  void Unlock() { CloseThreadResource(handle); }
  int32_t handle;
};

template <class Mutex, const char* const* Name>
struct Plain {
  static constexpr const char* kName = *Name;
  void Lock() { mutex.lock(); }
  void Unlock() { mutex.unlock(); }
  Mutex mutex;
};
constexpr const char* kStdMutexName = "std::mutex";
using StdMutex = Plain<std::mutex, &kStdMutexName>;
#if defined(QUENTHALOY_BENCH_ABSL)
struct AbslMutex {
  static constexpr const char* kName = "absl::Mutex";
  void Lock() { mutex.Lock(); }
  void Unlock() { mutex.Unlock(); }
  absl::Mutex mutex;
};
#endif
#if defined(QUENTHALOY_BENCH_TBB)
constexpr const char* kTbbMutexName = "tbb::mutex";
using TbbMutex = Plain<tbb::mutex, &kTbbMutexName>;
#endif

struct RecursivePthread {
  static constexpr const char* kName = "pthread-recursive";
  RecursivePthread() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  ~RecursivePthread() { pthread_mutex_destroy(&mutex); }
  void Lock() { pthread_mutex_lock(&mutex); }
  void Unlock() { pthread_mutex_unlock(&mutex); }
  pthread_mutex_t mutex;
};

// The floor of locks: one futex word, 0 free, 1 held, 2 held with sleepers;
// one atomic read-modify-write each way when nobody waits.
struct FloorMutex {
  static constexpr const char* kName = "floor";
  void Lock() {
    uint32_t state = 0;
    if (word.compare_exchange_strong(state, 1, std::memory_order_acquire)) return;
    if (state != 2) state = word.exchange(2, std::memory_order_acquire);
    while (state != 0) {
      FutexCall(&word, FUTEX_WAIT, 2);
      state = word.exchange(2, std::memory_order_acquire);
    }
  }
  void Unlock() {
    if (word.exchange(0, std::memory_order_release) == 2) FutexCall(&word, FUTEX_WAKE, 1);
  }
  std::atomic<uint32_t> word{0};
};

// Take and give back on one thread: nanoseconds per pair.
template <class Lock>
double Uncontended(long pairs) {
  Lock lock;
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < pairs; ++i) {
    lock.Lock();
    lock.Unlock();
  }
  return bench::NanosecondsSince(start) / static_cast<double>(pairs);
}

// `threads` threads each take the lock `per_thread` times around a shared
// count: sections per second. The count checks the exclusion.
template <class Lock>
double Contended(int threads, long per_thread) {
  Lock lock;
  long count = 0;
  std::vector<std::thread> workers;
  const auto start = std::chrono::steady_clock::now();
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (long i = 0; i < per_thread; ++i) {
        lock.Lock();
        count = count + 1;
        lock.Unlock();
      }
    });
  }
  for (auto& worker : workers) worker.join();
  CheckWorkload(count == threads * per_thread, std::string(Lock::kName) + ": contended sections");
  return static_cast<double>(threads * per_thread) / (bench::NanosecondsSince(start) / 1e9);
}

struct LockEntry {
  const char* name;
  double (*uncontended)(long);
  double (*contended)(int, long);
};

template <class Lock>
LockEntry LockOf() {
  return {Lock::kName, Uncontended<Lock>, Contended<Lock>};
}

double LockGoal(const std::string& peer) { return peer == "std::mutex" ? 1.1 : peer == "pthread-recursive" ? 1.3 : 0; }
double ContendedGoal(const std::string& peer) { return peer == "absl::Mutex" ? 1.0 : 0; }

void LockWorkloads(bench::Table& table) {
  const std::vector<LockEntry> locks = {
    LockOf<OurResource>(),
    LockOf<StdMutex>(),
    LockOf<RecursivePthread>(),
#if defined(QUENTHALOY_BENCH_ABSL)
    LockOf<AbslMutex>(),
#endif
#if defined(QUENTHALOY_BENCH_TBB)
    LockOf<TbbMutex>(),
#endif
    LockOf<FloorMutex>()
  };
  auto row = [&](const std::string& what, const std::string& unit, const std::string& series, const std::string& x,
                 double (*goal)(const std::string&), const std::function<double(const LockEntry&)>& run) {
    bench::Progress(what);
    std::vector<std::function<double()>> sides;
    for (const LockEntry& lock : locks) sides.push_back([&run, &lock] { return run(lock); });
    const std::vector<Figure> figures = bench::MeasureTurns(sides);
    std::vector<Peer> peers;
    for (size_t i = 1; i < locks.size(); ++i) peers.push_back({locks[i].name, figures[i], goal(locks[i].name)});
    table.Row(what, unit, figures[0], peers, series, x);
  };
  table.Section("resources: take+give back (OpenThreadResource+CloseThreadResource)");
  row("uncontended, ns per pair", "ns", "resource_uncontended", "uncontended", LockGoal,
      [](const LockEntry& lock) { return lock.uncontended(Scaled(4000000)); });
  for (int threads : {2, 4, 8}) {
    row(std::to_string(threads) + " threads contending, sections per s", "/s", "resource_contended",
        std::to_string(threads), ContendedGoal,
        [threads](const LockEntry& lock) { return lock.contended(threads, Scaled(1000000) / threads); });
  }
}

// ---- Our own figures with no peer: depth of the queue, memory.

// Post+take for one recipient while `depth` messages for another wait in
// the queue, against the same pair on an empty queue.
void Depth(bench::Table& table) {
  table.Section("post+take behind messages queued for another key, ns");
  std::vector<long> depths = {100, 10000, 1000000};
  if (quick) depths = {100};
  const int32_t key = next_key.fetch_add(1), other = next_key.fetch_add(1);
  auto pairs = [key](long count) {
    for (long i = 0; i < count; ++i) {
      SendThreadMessage(key, 1);
      GetThreadMessage(key);
    }
  };
  const long n = quick ? 1 : bench::IterationsFor(30, pairs);
  bench::Progress("post+take on an empty queue");
  const Figure empty = bench::Measure(n, pairs);
  long queued = 0;
  for (long depth : depths) {
    bench::Progress("post+take behind " + std::to_string(depth) + " messages for another recipient");
    for (; queued < depth; ++queued) SendThreadMessage(other, 1);
    table.Row("post+take behind " + std::to_string(depth), "ns", bench::Measure(n, pairs),
              {Peer{"the same on an empty queue", empty, 2.0}}, "depth", std::to_string(depth));
  }
  long drained = 0;
  while (GetThreadMessage(other) != 0) ++drained;
  CheckWorkload(drained == queued, "post+take behind a deep queue");
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

// Resident memory over `rounds` calls of `round`. The first `settle` rounds
// let whatever is set up once (tables grown to their working size, the
// allocator's arenas) settle; growth counts from there, so that even a few
// bytes kept per round show as megabytes.
struct Growth {
  long settling_kib;
  long growth_kib;
};

Growth ResidentGrowth(long rounds, long settle, const std::function<void()>& round) {
  ResidentKiB();  // stdio's first use of its buffers is not the library's
  const long start = ResidentKiB();
  long settled = start;
  for (long i = 0; i < rounds; ++i) {
    if (i == settle) settled = ResidentKiB();
    round();
  }
  return {settled - start, ResidentKiB() - settled};
}

void Memory(bench::Table& table) {
  constexpr long kLimitKiB = 1024;
  table.Section("memory");
  // 10^6 recipients, one message each, posted and drained, round after round.
  const long keys = quick ? 1000 : 1000000, key_rounds = quick ? 2 : 4;
  bench::Progress("memory: " + std::to_string(keys) + " recipients posted and drained");
  long lost = 0;
  const int32_t first = next_key.fetch_add(static_cast<int32_t>(keys));
  const Growth recipients = ResidentGrowth(key_rounds, 1, [&] {
    for (long k = 0; k < keys; ++k) SendThreadMessage(first + static_cast<int32_t>(k), 1);
    for (long k = 0; k < keys; ++k) lost += GetThreadMessage(first + static_cast<int32_t>(k)) != 1;
  });
  table.LimitRow(
      "RSS growth, " + std::to_string(keys) + " recipients x" + std::to_string(key_rounds - 1),
      static_cast<double>(recipients.growth_kib), "first round", static_cast<double>(recipients.settling_kib), "KiB",
      "no growth after the first round (< 1024 KiB), none lost", recipients.growth_kib < kLimitKiB && lost == 0);

  // Resources added, taken and deleted while held: a call that fails is
  // counted, not fatal (a library whose table runs out keeps failing fast).
  // Quick: few enough that a library which keeps deleted resources held stays
  // within what ThreadSanitizer tracks per thread (64 locks).
  const long rounds = quick ? 20 : 10000000;
  bench::Progress("memory: " + std::to_string(rounds) + " add/take/delete-while-held rounds");
  long failed = 0;
  const Growth ours = ResidentGrowth(rounds, rounds / 50, [&failed] {
    const int32_t resource = AddThreadResource();
    failed += resource == 0 || OpenThreadResource(resource) != 1 || DeleteThreadResource(resource) == 0;
  });
  const Growth baseline = ResidentGrowth(rounds, rounds / 50, [] {
    auto mutex = std::make_unique<RecursivePthread>();
    mutex->Lock();
    mutex->Unlock();
  });
  table.LimitRow("RSS growth, " + std::to_string(rounds) + " add/open/delete-held",
                 static_cast<double>(ours.growth_kib), "pthread mutex init/lock/destroy",
                 static_cast<double>(baseline.growth_kib), "KiB", "no growth (< 1024 KiB), no failed call",
                 ours.growth_kib < kLimitKiB && failed == 0);
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options options = bench::ParseOptions(argc, argv);
  quick = options.quick;
  bench::repetitions = quick ? 1 : 5;
  bench::Table table("native");
#if !defined(QUENTHALOY_BENCH_ABSL)
  table.Note("abseil left out: built without libabsl-dev");
#endif
#if !defined(QUENTHALOY_BENCH_TBB)
  table.Note("oneTBB left out: built without libtbb-dev");
#endif
#if !defined(QUENTHALOY_BENCH_MOODYCAMEL)
  table.Note("moodycamel left out: built without libconcurrentqueue-dev");
#endif
  const std::vector<QueueEntry> queues = Queues();
  QueueWorkloads(table, queues);
  LockWorkloads(table);
  Depth(table);
  Memory(table);  // last: a library that runs its handle table out here may fail other calls from then on
  if (!options.csv_directory.empty() && !table.WriteCsv(options.csv_directory)) return 1;
  return workload_failed ? 1 : 0;
}
