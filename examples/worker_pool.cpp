// A pool of worker threads, each serving its own recipient key. The
// dispatcher hands every work item to the worker of its key with a
// synchronous send, which returns once that worker has taken the item, so
// the dispatcher never runs ahead of a busy worker; results come back as
// plain messages to one collecting key.
//   worker_pool [WORKERS]   (4 unless given)
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <thread>
#include <vector>

#include "quenthaloy.h"

namespace {

constexpr int32_t kFirstWorkerKey = 100;
constexpr int32_t kResultsKey = 200;
constexpr int32_t kStop = 0;  // items are never 0

void Serve(int32_t key) {
  for (int32_t item = WaitThreadMessage(key); item != kStop; item = WaitThreadMessage(key)) {
    SendThreadMessage(kResultsKey, item * item);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int workers = argc > 1 ? atoi(argv[1]) : 4;
  if (workers < 1) return 2;
  std::vector<std::thread> pool;
  for (int w = 0; w < workers; ++w) pool.emplace_back(Serve, kFirstWorkerKey + w);
  const int32_t items = 100;
  for (int32_t item = 1; item <= items; ++item) {
    SendThreadMessageAndWait(kFirstWorkerKey + item % workers, item);
  }
  for (int w = 0; w < workers; ++w) SendThreadMessageAndWait(kFirstWorkerKey + w, kStop);
  for (std::thread& worker : pool) worker.join();
  int64_t sum = 0;
  int results = 0;
  for (int32_t r = GetThreadMessage(kResultsKey); r != 0; r = GetThreadMessage(kResultsKey)) sum += r, ++results;
  printf("worker_pool: %d items through %d workers, %d results, sum of squares %lld\n", items, workers, results,
         static_cast<long long>(sum));
  return results == items && sum == 338350 ? 0 : 1;
}
