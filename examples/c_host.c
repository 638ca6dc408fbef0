/* A C host linked against the library (the import library of either DLL on
 * Windows, libquenthaloy.so on Linux): one thread hands a job to another
 * with a synchronous send, which returns once the job was taken, and both
 * guard a shared total with a thread resource. */
#include <stdio.h>

#include "quenthaloy.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

enum { kJobs = 1, kResults = 2 };

static int32_t total_lock;
static long total;

static void Work(void) {
  int32_t job;
  while ((job = WaitThreadMessage(kJobs)) != -1) {
    OpenThreadResource(total_lock);
    total += job;
    CloseThreadResource(total_lock);
    SendThreadMessage(kResults, job * job);
  }
}

#if defined(_WIN32)
static DWORD WINAPI WorkerMain(LPVOID unused) {
  (void)unused;
  Work();
  return 0;
}
#else
static void* WorkerMain(void* unused) {
  (void)unused;
  Work();
  return NULL;
}
#endif

int main(void) {
  int32_t job;
  long squares = 0;
  total_lock = AddThreadResource();
  if (total_lock == 0) return 1;
#if defined(_WIN32)
  HANDLE worker = CreateThread(NULL, 0, WorkerMain, NULL, 0, NULL);
#else
  pthread_t worker;
  pthread_create(&worker, NULL, WorkerMain, NULL);
#endif
  for (job = 1; job <= 10; ++job) SendThreadMessageAndWait(kJobs, job); /* returns once taken */
  SendThreadMessageAndWait(kJobs, -1);                                  /* the worker stops */
#if defined(_WIN32)
  WaitForSingleObject(worker, INFINITE);
  CloseHandle(worker);
#else
  pthread_join(worker, NULL);
#endif
  for (job = 1; job <= 10; ++job) squares += GetThreadMessage(kResults);
  DeleteThreadResource(total_lock);
  printf("c_host: 10 jobs handed over, total %ld, sum of squares %ld\n", total, squares);
  return total == 55 && squares == 385 ? 0 : 2;
}
