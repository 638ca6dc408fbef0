// Native costs against what a user would write instead, measured side by
// side in one run: median of several repetitions, with the spread.
//   native_bench          full run
//   native_bench --quick  one tiny iteration of each, so the code cannot rot
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "messaging/queue.h"
#include "platform/platform.h"
#include "resources/resources.h"
#include "shell/runtime.h"

namespace {

int repetitions = 7;
long iterations = 2000000;

struct Figure {
  double median_ns;
  double low_ns;
  double high_ns;
};

Figure Measure(const std::function<void(long)>& body) {
  std::vector<double> samples;
  body(iterations / 10 + 1);  // warm-up
  for (int r = 0; r < repetitions; ++r) {
    auto start = std::chrono::steady_clock::now();
    body(iterations);
    auto elapsed = std::chrono::steady_clock::now() - start;
    samples.push_back(std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(iterations));
  }
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples.front(), samples.back()};
}

void Row(const char* what, const Figure& ours, const char* baseline_name, const Figure& baseline, double goal) {
  double ratio = ours.median_ns / baseline.median_ns;
  printf("%-34s %8.1f ns [%6.1f-%6.1f]  %-30s %8.1f ns [%6.1f-%6.1f]  ratio %5.2f  goal <= %.2f %s\n", what,
         ours.median_ns, ours.low_ns, ours.high_ns, baseline_name, baseline.median_ns, baseline.low_ns,
         baseline.high_ns, ratio, goal, ratio <= goal ? "met" : "MISSED");
}

void Progress(const char* what) { fprintf(stderr, "running: %s\n", what); }

pthread_mutex_t MakePthreadMutex(int type, bool robust, bool shared) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, type);
  if (robust) pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  if (shared) pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  pthread_mutex_t mutex;
  pthread_mutex_init(&mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  return mutex;
}

Figure MeasurePthreadPair(pthread_mutex_t* mutex) {
  return Measure([mutex](long n) {
    for (long i = 0; i < n; ++i) {
      pthread_mutex_lock(mutex);
      pthread_mutex_unlock(mutex);
    }
  });
}

void PlatformMutex() {
  Progress("platform mutex pair");
  platform::Handle mutex = platform::CreateMutexA(nullptr, nullptr);
  Figure ours = Measure([&](long n) {
    for (long i = 0; i < n; ++i) {
      platform::WaitForSingleObject(mutex, INFINITE);
      platform::ReleaseMutex(mutex);
    }
  });
  platform::Handle named = platform::CreateMutexA("QuenthaloyBench_named", nullptr);
  Figure ours_named = Measure([&](long n) {
    for (long i = 0; i < n; ++i) {
      platform::WaitForSingleObject(named, INFINITE);
      platform::ReleaseMutex(named);
    }
  });
  pthread_mutex_t robust = MakePthreadMutex(PTHREAD_MUTEX_NORMAL, true, true);
  Figure baseline = MeasurePthreadPair(&robust);
  Row("mutex wait+release (private)", ours, "robust pshared pthread pair", baseline, 1.5);
  Row("mutex wait+release (named)", ours_named, "robust pshared pthread pair", baseline, 1.5);
  platform::CloseHandle(mutex);
  platform::CloseHandle(named);

  Progress("event set+reset, nobody waiting");
  platform::Handle event = platform::CreateEventA(nullptr, nullptr);
  Figure events = Measure([&](long n) {
    for (long i = 0; i < n; ++i) {
      platform::SetEvent(event);
      platform::ResetEvent(event);
    }
  });
  std::atomic<uint32_t> word{0};
  Figure atomics = Measure([&](long n) {
    for (long i = 0; i < n; ++i) {
      word.fetch_or(1);
      word.fetch_and(~1u);
    }
  });
  Row("event set+reset, no waiter", events, "two atomic RMWs (no syscall)", atomics, 3.0);
  platform::CloseHandle(event);
}

void QueuePair() {
  Progress("send+get pair");
  Figure ours = Measure([&](long n) {
    for (long i = 0; i < n; ++i) {
      messaging::SendThreadMessage(1, static_cast<int32_t>(i | 1));
      messaging::GetThreadMessage(1);
    }
  });
  std::mutex mutex;
  std::deque<int32_t> queue;
  Figure baseline = Measure([&](long n) {
    for (long i = 0; i < n; ++i) {
      {
        std::lock_guard<std::mutex> hold(mutex);
        queue.push_back(static_cast<int32_t>(i));
      }
      std::lock_guard<std::mutex> hold(mutex);
      queue.pop_front();
    }
  });
  Row("SendThreadMessage+GetThreadMessage", ours, "std::mutex+std::deque push/pop", baseline, 1.5);
}

void ResourcePair() {
  Progress("resource open+close pair");
  int32_t resource = resources::AddThreadResource();
  Figure ours = Measure([&](long n) {
    for (long i = 0; i < n; ++i) {
      resources::OpenThreadResource(resource);
      resources::CloseThreadResource(resource);
    }
  });
  pthread_mutex_t recursive = MakePthreadMutex(PTHREAD_MUTEX_RECURSIVE, false, false);
  Figure baseline = MeasurePthreadPair(&recursive);
  Row("OpenThreadResource+Close", ours, "recursive pthread mutex pair", baseline, 1.5);
  resources::DeleteThreadResource(resource);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "--quick") == 0) {
    repetitions = 1;
    iterations = 10;
  }
  shell::EntryPoint(shell::kProcessAttach);
  PlatformMutex();
  QueuePair();
  ResourcePair();
  shell::EntryPoint(shell::kProcessDetach);
  return 0;
}
