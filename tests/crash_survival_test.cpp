// Processes killed at random moments, some while they hold the user's shared
// QueueLock, must not stop the others: survivors and processes started
// afterwards carry on, and none of them loses or duplicates a message.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <vector>

#include "messaging/queue.h"
#include "platform/platform.h"
#include "shell/runtime.h"
#include "support/harness.h"

namespace {

constexpr int kWorkers = 4;
constexpr int kKills = 10;
constexpr int kRounds = 300;
constexpr int kBatch = 40;

// Shared between the supervisor and its workers through a file mapping.
struct Lane {
  std::atomic<int> inside_lock;  // set while the worker holds QueueLock itself
  std::atomic<int> rounds;
};
struct Board {
  Lane lanes[64];
};

Board* MapBoard(const std::string& path, bool create) {
  int fd = open(path.c_str(), create ? (O_RDWR | O_CREAT | O_TRUNC) : O_RDWR, 0600);
  if (fd < 0) return nullptr;
  if (create && ftruncate(fd, sizeof(Board)) != 0) return nullptr;
  void* memory = mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  return memory == MAP_FAILED ? nullptr : static_cast<Board*>(memory);
}

// Posts batches to its own recipients and takes them back, checking each
// value; every other batch is posted while it holds QueueLock itself, for a
// while, so that a kill often lands there. Exit code 0: nothing lost,
// duplicated or out of order.
HARNESS_CHILD_SCENARIO(HammerQueue) {
  size_t bar = argument.find('|');
  Board* board = MapBoard(argument.substr(0, bar), false);
  if (board == nullptr || shell::EntryPoint(shell::kProcessAttach) != 1) return 20;
  Lane& lane = board->lanes[std::stoi(argument.substr(bar + 1))];
  platform::Handle lock = platform::CreateMutexA(messaging::kQueueLockName, nullptr);
  if (lock == 0) return 21;
  int32_t next = 1;
  for (int round = 0; round < kRounds; ++round) {
    const int32_t recipient = 1 + round % 3;
    const bool hold = round % 2 == 0;
    if (hold) {
      platform::WaitForSingleObject(lock, INFINITE);  // abandoned or not, it is ours
      lane.inside_lock = 1;
    }
    for (int i = 0; i < kBatch; ++i) messaging::SendThreadMessage(recipient, next + i);
    if (hold) {
      harness::SleepMs(1);
      lane.inside_lock = 0;
      platform::ReleaseMutex(lock);
    }
    for (int i = 0; i < kBatch; ++i) {
      if (messaging::GetThreadMessage(recipient) != next + i) return 10;
    }
    if (messaging::GetThreadMessage(recipient) != 0) return 11;
    next += kBatch;
    ++lane.rounds;
  }
  platform::CloseHandle(lock);
  shell::EntryPoint(shell::kProcessDetach);
  return 0;
}

TEST(CrashSurvival, KilledHoldersOfTheSharedLockStopNobody) {
  std::string path = "/tmp/" + harness::UniqueName("board");
  Board* board = MapBoard(path, true);
  ASSERT_NE(board, nullptr);
  std::mt19937 random(12345);
  std::vector<harness::ChildPtr> workers;
  std::vector<size_t> alive;  // indices into workers; lane = index
  auto start = [&] {
    alive.push_back(workers.size());
    workers.push_back(harness::SpawnSelf("HammerQueue", path + "|" + std::to_string(workers.size())));
  };
  for (int w = 0; w < kWorkers; ++w) start();

  int kills = 0, inside = 0, finished = 0;
  while (kills < kKills) {
    ASSERT_FALSE(alive.empty());
    size_t pick = random() % alive.size();
    size_t victim = alive[pick];
    alive.erase(alive.begin() + static_cast<long>(pick));
    Lane& lane = board->lanes[victim];
    harness::WaitUntil([&] { return lane.rounds > 2; }, 5000);
    if (kills % 2 == 0) {
      // Aim for a moment inside the lock; give up aiming after a while.
      harness::WaitUntil([&] { return lane.inside_lock == 1; }, 2000);
    } else {
      harness::SleepMs(static_cast<int>(random() % 20));
    }
    harness::KillChild(workers[victim].get());
    int code = harness::WaitChild(workers[victim].get());
    if (code == 0) {
      ++finished;  // it was done before the kill reached it
    } else {
      ASSERT_EQ(code, 128 + SIGKILL) << "worker " << victim << " failed before the kill";
      ++kills;
      inside += lane.inside_lock.load();  // as the worker left it
    }
    start();  // a process started after the kill
  }
  // Every worker not killed must finish with its accounting intact.
  for (size_t w : alive) {
    EXPECT_EQ(harness::WaitChild(workers[w].get(), 60000), 0)
        << "worker " << w << " lost, duplicated or reordered a message (or hung: -1)";
    ++finished;
  }
  // Nothing left behind trips a process started once all the others are gone.
  auto late = harness::SpawnSelf("HammerQueue", path + "|" + std::to_string(workers.size()));
  EXPECT_EQ(harness::WaitChild(late.get(), 60000), 0);
  ++finished;
  printf("crash survival: %d processes killed (%d inside the lock), %d finished intact\n", kills, inside, finished);
  EXPECT_GE(inside, 1) << "no kill landed inside the lock";
  munmap(board, sizeof(Board));
  unlink(path.c_str());
}

}  // namespace
