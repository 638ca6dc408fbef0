// The store of thread records: pages of records, a free list, one lock word.
#include "thread_records.h"

#include <string.h>

#include "../../sync/lock_word.h"

namespace platform::posix_impl {
namespace {

constexpr size_t kPageBytes = 16384;
constexpr size_t kRecordsPerPage = kPageBytes / sizeof(ThreadRecord) - 1;

struct RecordPage {
  RecordPage* next;
  ThreadRecord records[kRecordsPerPage];
};
static_assert(sizeof(RecordPage) <= kPageBytes, "a page of records fits its pages");

// Taken atomically only: the fork handlers hold it across the fork.
synchro::LockWord store_lock;
RecordPage* pages = nullptr;
ThreadRecord* free_records = nullptr;

void AddPageLocked() {
  auto* page = static_cast<RecordPage*>(MapPages(sizeof(RecordPage)));
  if (page == nullptr) return;
  page->next = pages;
  pages = page;
  for (ThreadRecord& record : page->records) {
    record.next_free = free_records;
    free_records = &record;
  }
}

}  // namespace

ThreadRecord* ReserveRecord() {
  synchro::TakeAtomically(&store_lock);
  if (free_records == nullptr) AddPageLocked();
  ThreadRecord* record = free_records;
  if (record != nullptr) free_records = record->next_free;
  synchro::GiveBack(&store_lock);
  if (record == nullptr) return nullptr;
  memset(static_cast<void*>(record), 0, sizeof(*record));
  record->in_use.store(true, std::memory_order_relaxed);
  return record;
}

void FreeRecord(ThreadRecord* record) {
  record->in_use.store(false, std::memory_order_relaxed);
  synchro::TakeAtomically(&store_lock);
  record->next_free = free_records;
  free_records = record;
  synchro::GiveBack(&store_lock);
}

void ForEachRecordInUse(void (*visit)(ThreadRecord* record)) {
  for (RecordPage* page = pages; page != nullptr; page = page->next) {
    for (ThreadRecord& record : page->records) {
      if (record.in_use.load(std::memory_order_relaxed)) visit(&record);
    }
  }
}

void ReleasePages(bool (*keep)(const ThreadRecord* record)) {
  RecordPage* page = pages;
  while (page != nullptr) {
    RecordPage* next = page->next;
    bool kept = false;
    for (const ThreadRecord& record : page->records) {
      kept = kept || (record.in_use.load(std::memory_order_relaxed) && keep(&record));
    }
    // A kept page is forgotten, never reused: a load after this one starts
    // with fresh pages while a thread may still sleep in the old one.
    if (!kept) UnmapPages(page, sizeof(RecordPage));
    page = next;
  }
  pages = nullptr;
  free_records = nullptr;
}

void LockStoreForFork() { synchro::TakeAtomically(&store_lock); }

// The child's only thread is the one that took it.
void UnlockStoreAfterFork(bool in_child) {
  if (in_child) {
    store_lock.store(synchro::kFree, std::memory_order_relaxed);
  } else {
    synchro::GiveBack(&store_lock);
  }
}

}  // namespace platform::posix_impl
