// Each export's cost under Wine against the least sequence of kernel calls
// that its work needs, measured side by side in one run. Every kernel call
// here is a round trip to the Wine server, so the counts stay small.
//   wine_bench [--csv DIR]   full run (DIR: also writes CSV files there)
//   wine_bench --quick       one tiny iteration of each
#include <stdio.h>
#include <windows.h>

#include <string>
#include <thread>

#include "bench_table.h"
#include "quenthaloy.h"

namespace {

using bench::Figure;
using bench::Measure;

bool quick = false;
long Count(long n) { return quick ? 2 : n; }

void Messages(bench::Table& table, HANDLE lock, HANDLE posted) {
  bench::Progress("post and take");
  const long n = Count(2000);
  Figure ours = Measure(n, [](long count) {
    for (long i = 0; i < count; ++i) {
      SendThreadMessage(1, static_cast<int32_t>(i | 1));
      GetThreadMessage(1);
    }
  });
  // A post: wait on the lock, set the posted event, release; a take: wait, release.
  Figure kernel = Measure(n, [&](long count) {
    for (long i = 0; i < count; ++i) {
      WaitForSingleObject(lock, INFINITE);
      SetEvent(posted);
      ReleaseMutex(lock);
      WaitForSingleObject(lock, INFINITE);
      ReleaseMutex(lock);
    }
  });
  table.Row("SendThreadMessage+GetThreadMessage", ours, "wait+set+release, wait+release", kernel, 1.1);

  bench::Progress("take from an empty queue");
  Figure empty = Measure(n, [](long count) {
    for (long i = 0; i < count; ++i) GetThreadMessage(2);
  });
  Figure pair = Measure(n, [&](long count) {
    for (long i = 0; i < count; ++i) {
      WaitForSingleObject(lock, INFINITE);
      ReleaseMutex(lock);
    }
  });
  table.Row("GetThreadMessage, nothing queued", empty, "wait+release", pair, 1.1);
}

// One thread sends synchronously, the other waits for the message: per
// message, against the same hand-off done with the kernel calls alone
// (lock, a new reply event, a posted event).
void HandOff(bench::Table& table, HANDLE lock, HANDLE posted) {
  bench::Progress("hand-off");
  const long n = Count(300);
  Figure ours = Measure(n, [](long count) {
    std::thread taker([count] {
      for (long i = 0; i < count; ++i) WaitThreadMessage(4);
    });
    for (long i = 0; i < count; ++i) SendThreadMessageAndWait(4, static_cast<int32_t>(i | 1));
    taker.join();
  });
  Figure kernel = Measure(n, [&](long count) {
    volatile long queued = 0;
    volatile HANDLE reply = nullptr;
    std::thread taker([&] {
      for (long i = 0; i < count;) {
        ResetEvent(posted);
        WaitForSingleObject(lock, INFINITE);
        if (queued > 0) {
          --queued;
          SetEvent(reply);
          ++i;
          ReleaseMutex(lock);
          continue;
        }
        ReleaseMutex(lock);
        WaitForSingleObject(posted, INFINITE);
      }
    });
    for (long i = 0; i < count; ++i) {
      WaitForSingleObject(lock, INFINITE);
      HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      reply = event;
      ++queued;
      SetEvent(posted);
      ReleaseMutex(lock);
      WaitForSingleObject(event, INFINITE);
      CloseHandle(event);
    }
    taker.join();
  });
  table.Row("hand-off SendAndWait/Wait per message", ours, "the same with kernel calls alone", kernel, 1.1);
}

void Resources(bench::Table& table) {
  bench::Progress("resources");
  const long n = Count(2000);
  int32_t resource = AddThreadResource();
  Figure ours = Measure(n, [resource](long count) {
    for (long i = 0; i < count; ++i) {
      OpenThreadResource(resource);
      CloseThreadResource(resource);
    }
  });
  HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
  Figure kernel = Measure(n, [mutex](long count) {
    for (long i = 0; i < count; ++i) {
      WaitForSingleObject(mutex, INFINITE);
      ReleaseMutex(mutex);
    }
  });
  table.Row("OpenThreadResource+CloseThreadResource", ours, "WaitForSingleObject+ReleaseMutex", kernel, 1.1);
  DeleteThreadResource(resource);

  Figure made = Measure(n, [](long count) {
    for (long i = 0; i < count; ++i) DeleteThreadResource(AddThreadResource());
  });
  Figure created = Measure(n, [](long count) {
    for (long i = 0; i < count; ++i) CloseHandle(CreateMutexA(nullptr, FALSE, nullptr));
  });
  table.Row("AddThreadResource+DeleteThreadResource", made, "CreateMutexA+CloseHandle", created, 1.1);
  CloseHandle(mutex);
}

}  // namespace

int main(int argc, char** argv) {
  const bench::Options options = bench::ParseOptions(argc, argv);
  quick = options.quick;
  bench::repetitions = quick ? 1 : 5;
#if defined(QUENTHALOY_CDECL)
  bench::Table table("wine_cdecl");
#else
  bench::Table table("wine_stdcall");
#endif
  HANDLE lock = CreateMutexA(nullptr, FALSE, "QuenthaloyBench_lock");
  HANDLE posted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  Messages(table, lock, posted);
  HandOff(table, lock, posted);
  Resources(table);
  CloseHandle(posted);
  CloseHandle(lock);
  if (!options.csv_directory.empty() && !table.WriteCsv(options.csv_directory)) return 1;
  return 0;
}
