// Each export's cost under Wine against the least sequence of kernel calls
// that its work needs, measured turn about in one run with workloads.h's
// workloads; bench/report.py makes the report of the samples. Every kernel
// call here is a round trip to the Wine server, so the counts stay small.
//   wine_bench [--quick] [--only TEXT]
#include <stdlib.h>
#include <windows.h>

#include <memory>

#include "workloads.h"

namespace {

using namespace bench;  // NOLINT(google-build-using-namespace): this program is the benchmark

// The baselines' lock: a named mutex of their own, as the library takes its
// named queue lock around every queue operation.
HANDLE kernel_lock = nullptr;

HANDLE NewEvent() {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  Check(event != nullptr);
  return event;
}

// A queue of kernel calls alone: per key a queue, an asleep flag and an
// auto-reset event, all under the one lock. A take finding nothing marks
// its key asleep and waits on the key's event; a post to a sleeping key
// hands the value over and sets that event only, after the release, so no
// post wakes anyone else. A synchronous send then waits on the key's second
// event, which its taker sets.
struct KernelQueue {
  struct Key {
    std::deque<int32_t> values;
    bool asleep = false;
    int32_t handed = 0;
    HANDLE posted = NewEvent();
    HANDLE taken = NewEvent();
    ~Key() {
      CloseHandle(posted);
      CloseHandle(taken);
    }
  };
  KernelQueue(int keys, int, int) : key(new Key[keys]) {}
  void Post(int, int to, int32_t value) {
    Key& k = key[to];
    WaitForSingleObject(kernel_lock, INFINITE);
    const bool hand_over = k.asleep;
    k.asleep = false;
    if (hand_over) {
      k.handed = value;
    } else {
      k.values.push_back(value);
    }
    ReleaseMutex(kernel_lock);
    if (hand_over) SetEvent(k.posted);
  }
  int32_t Take(int, int to) {
    Key& k = key[to];
    WaitForSingleObject(kernel_lock, INFINITE);
    if (!k.values.empty()) {
      const int32_t value = PopFront(k.values);
      ReleaseMutex(kernel_lock);
      return value;
    }
    k.asleep = true;
    ReleaseMutex(kernel_lock);
    WaitForSingleObject(k.posted, INFINITE);
    return k.handed;
  }
  int32_t TryTake(int, int to) {
    WaitForSingleObject(kernel_lock, INFINITE);
    const int32_t value = key[to].values.empty() ? 0 : PopFront(key[to].values);
    ReleaseMutex(kernel_lock);
    return value;
  }
  void SendAndWait(int to, int32_t value) {
    Post(0, to, value);
    WaitForSingleObject(key[to].taken, INFINITE);
  }
  void Taken(int to) { SetEvent(key[to].taken); }
  std::unique_ptr<Key[]> key;
};

struct KernelMutex {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
  KernelMutex() { Check(mutex != nullptr); }
  ~KernelMutex() { CloseHandle(mutex); }
  void lock() { WaitForSingleObject(mutex, INFINITE); }
  void unlock() { ReleaseMutex(mutex); }
};

// Ours against the kernel calls, with the goal for our cost over theirs.
template <class... Arguments>
void Against(const std::string& what, double (*ours)(Arguments...), const std::string& kernel_name,
             double (*kernel)(Arguments...), Arguments... arguments) {
  Compare(
      what, "ns",
      {{"Quenthaloy", [=] { return ours(arguments...); }}, {kernel_name, [=] { return kernel(arguments...); }, 1.1}});
}

}  // namespace

int main(int argc, char** argv) {
  // Every figure here is a handful of server round trips, and one sample
  // differs from the next by up to a fifth: fifteen samples a side keep the
  // median steady enough to compare within a tenth.
  repetitions = 15;
  Arguments(argc, argv);
  kernel_lock = CreateMutexA(nullptr, FALSE, "QuenthaloyBench_lock");
  if (kernel_lock == nullptr) {
    Fail("wine_bench: cannot make the baselines' lock");
    return 1;
  }
  // Nobody waits, so a post wakes nobody: the lock for the post, the lock for the take.
  Against("SendThreadMessage+GetThreadMessage", PostTake<Ours>, "wait+release, wait+release", PostTake<KernelQueue>,
          Scaled(2000, 2));
  Against("GetThreadMessage, nothing queued", PostTake<Ours, false>, "wait+release", PostTake<KernelQueue, false>,
          Scaled(2000, 2));
  Against("hand-off SendAndWait/Wait per message", RoundTrip<Ours, true>, "two auto-reset events and the lock",
          RoundTrip<KernelQueue, true>, Scaled(300, 2));
  // Kernel calls per job must not grow with the number of workers: each pool
  // size against the kernel-call pool of the same size. Where Wine's 32-bit
  // side runs under qemu (scripts/wine-run says so), Wine crashes with more
  // than one helper thread blocked in a Wine wait.
  const char* under_qemu = getenv("QUENTHALOY_WINE_UNDER_QEMU");
  const bool limited = sizeof(void*) == 4 && under_qemu != nullptr && under_qemu[0] == '1';
  for (int workers : {1, 8}) {
    if (workers > 1 && limited) {
      Section("note: worker pool with " + std::to_string(workers) +
              " workers left out: Wine's 32-bit side runs under qemu here, where Wine crashes with more than one "
              "helper thread blocked in a Wine wait");
      continue;
    }
    Against("worker pool, " + std::to_string(workers) + " workers, per job", WorkerPool<Ours>,
            "per-worker events and queues, the lock", WorkerPool<KernelQueue>, workers, Scaled(1000, 2));
  }
  Against("OpenThreadResource+CloseThreadResource", Uncontended<OurResource>, "WaitForSingleObject+ReleaseMutex",
          Uncontended<KernelMutex>, Scaled(2000, 2));
  Against("AddThreadResource+DeleteThreadResource", MakeDestroy<OurResource>, "CreateMutexA+CloseHandle",
          MakeDestroy<KernelMutex>, Scaled(2000, 2));
  CloseHandle(kernel_lock);
  return failed ? 1 : 0;
}
