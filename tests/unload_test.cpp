// Loading and unloading the Linux library again and again, with messages and
// a blocked synchronous sender's record still queued at each unload: run
// under valgrind (or a sanitizer), nothing may leak and nothing may be
// touched after it was freed.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/harness.h"
#include "support/library.h"

#if defined(__SANITIZE_ADDRESS__)
// Threads left asleep in an unloaded library keep its thread-local blocks,
// which LeakSanitizer's scan at the exit follows into freed memory, and
// crashes. The library keeps nothing reachable from thread-local storage
// alone (its thread records live in its table), so the scan loses nothing.
extern "C" const char* __lsan_default_options() { return "use_tls=0"; }
#endif

namespace {

// A thread that sets this is held up in every mutex lock it takes from then
// on, the library's included: as if preempted there.
thread_local bool held_up_in_locks = false;

}  // namespace

extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex) {
  using Lock = int (*)(pthread_mutex_t*);
  static std::atomic<Lock> next{nullptr};
  Lock lock = next.load(std::memory_order_acquire);
  if (lock == nullptr) {
    lock = reinterpret_cast<Lock>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    next.store(lock, std::memory_order_release);
  }
  if (held_up_in_locks) usleep(20000);
  return lock(mutex);
}

namespace {

// A thread that sets this is held up in the next exit handler it registers,
// as if preempted there: the library registers one in a thread's first call.
thread_local bool held_up_in_exit_registration = false;
std::atomic<bool> in_exit_registration{false};

}  // namespace

extern "C" int __cxa_atexit(void (*function)(void*), void* argument, void* dso_handle) {
  using Register = int (*)(void (*)(void*), void*, void*);
  static std::atomic<Register> next{nullptr};
  Register register_handler = next.load(std::memory_order_acquire);
  if (register_handler == nullptr) {
    register_handler = reinterpret_cast<Register>(dlsym(RTLD_NEXT, "__cxa_atexit"));
    next.store(register_handler, std::memory_order_release);
  }
  if (held_up_in_exit_registration) {
    held_up_in_exit_registration = false;
    in_exit_registration = true;
    usleep(300000);
  }
  return register_handler(function, argument, dso_handle);
}

namespace {

// Whether thread `tid` of this process sleeps in a futex wait, read from
// /proc: the sender is then inside its wait, with its message queued.
std::string ReadTaskFile(pid_t tid, const char* name) {
  std::string path = "/proc/self/task/" + std::to_string(tid) + "/" + name;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "";
  char text[64] = {};
  ssize_t n = read(fd, text, sizeof(text) - 1);
  close(fd);
  return n > 0 ? std::string(text, static_cast<size_t>(n)) : "";
}

// The kernel's word on where the thread sleeps; its system call number
// where the kernel hides that. (Under an emulator the number is the host's,
// but the sleep is still the kernel's futex wait.)
bool AsleepInFutexWait(pid_t tid) {
  const std::string where = ReadTaskFile(tid, "wchan");
  if (!where.empty() && where != "0") return where.find("futex") != std::string::npos;
  const std::string call = ReadTaskFile(tid, "syscall");
  return std::to_string(SYS_futex) == call.substr(0, strcspn(call.c_str(), " "));
}

TEST(Unload, QueuedMessagesAndAWaitingSenderAreReleasedAtEveryUnload) {
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(library::Load(harness::FirstArgument()));
    const library::Api& q = library::api();
    for (int i = 1; i <= 100; ++i) q.SendThreadMessage(i % 7, i);
    for (int i = 1; i <= 30; ++i) q.GetThreadMessage(i % 7);
    // Nobody takes this sender's message: it is still asleep in the library
    // when the library goes, and stays so until the process ends.
    std::atomic<pid_t> sender_tid{0};
    std::thread([&sender_tid, send = q.SendThreadMessageAndWait] {
      sender_tid = static_cast<pid_t>(syscall(SYS_gettid));
      send(99, 1);
    }).detach();
    ASSERT_TRUE(harness::WaitUntil([&] { return sender_tid != 0 && AsleepInFutexWait(sender_tid); }));
    library::Unload();
  }
}

// A thread that made its last call, said so and returned is still ending
// inside the library for a while; the host cannot see that, and unloads.
TEST(Unload, WaitsForAThreadStillEndingInsideTheLibrary) {
  ASSERT_TRUE(library::Load(harness::FirstArgument()));
  const library::Api& q = library::api();
  const int32_t resource = q.AddThreadResource();
  ASSERT_NE(resource, 0);
  std::atomic<bool> done{false};
  std::thread([&q, &done, resource] {
    q.OpenThreadResource(resource);
    q.CloseThreadResource(resource);
    done = true;
    held_up_in_locks = true;
  }).detach();
  ASSERT_TRUE(harness::WaitUntil([&] { return done.load(); }));
  harness::SleepMs(5);  // lets it reach its end, though it need not have
  library::Unload();
  harness::SleepMs(100);  // and finish it, if the unload did not wait
}

// Copies of the library under other names, in a directory of their own that
// goes with the object: what a plugin host loads when two plugins each ship
// the library. Real copies, as the dynamic linker takes a second name for the
// same file to be the object already loaded.
class Copies {
 public:
  Copies(const std::string& original, int count) {
    char pattern[] = "/tmp/quenthaloy-copies-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    directory_ = pattern;
    std::string bytes;
    int in = open(original.c_str(), O_RDONLY);
    if (in < 0) return;
    char buffer[65536];
    for (ssize_t n; (n = read(in, buffer, sizeof(buffer))) > 0;) bytes.append(buffer, static_cast<size_t>(n));
    close(in);
    for (int i = 0; i < count; ++i) {
      std::string path = directory_ + "/libquenthaloy-copy" + std::to_string(i) + ".so";
      int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0700);
      if (out < 0 || write(out, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return;
      close(out);
      paths_.push_back(path);
    }
  }
  ~Copies() {
    for (const std::string& path : paths_) unlink(path.c_str());
    if (!directory_.empty()) rmdir(directory_.c_str());
  }
  Copies(const Copies&) = delete;
  Copies& operator=(const Copies&) = delete;
  const std::vector<std::string>& paths() const { return paths_; }

 private:
  std::string directory_;
  std::vector<std::string> paths_;
};

// One copy, loaded, and used as a host uses it: a resource taken (which
// gives the thread its record in that copy) and a message through its queue.
// Empty on failure, with what failed.
std::string LoadAndUse(const std::string& path, void** module) {
  *module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (*module == nullptr) {
    const char* why = dlerror();
    return why != nullptr ? why : "dlopen failed";
  }
  using Nullary = int32_t (*)();
  using Unary = int32_t (*)(int32_t);
  using Binary = int32_t (*)(int32_t, int32_t);
  auto add = reinterpret_cast<Nullary>(dlsym(*module, "AddThreadResource"));
  auto open_resource = reinterpret_cast<Unary>(dlsym(*module, "OpenThreadResource"));
  auto close_resource = reinterpret_cast<Unary>(dlsym(*module, "CloseThreadResource"));
  auto delete_resource = reinterpret_cast<Unary>(dlsym(*module, "DeleteThreadResource"));
  auto send = reinterpret_cast<Binary>(dlsym(*module, "SendThreadMessage"));
  auto get = reinterpret_cast<Unary>(dlsym(*module, "GetThreadMessage"));
  if (!add || !open_resource || !close_resource || !delete_resource || !send || !get) return "an export is missing";
  const int32_t resource = add();
  if (resource == 0) return "AddThreadResource gave 0";
  if (open_resource(resource) != 1 || close_resource(resource) == 0 || delete_resource(resource) == 0) {
    return "a fresh resource did not work";
  }
  send(7, 70);
  if (get(7) != 70) return "a message did not come back";
  return "";
}

// Plugin hosts load and unload libraries all day, several copies of one at
// a time: every load must succeed, however many came before. In a forked
// child, so that a hang ends at a deadline.
int LoadCopiesInTurnAndAtRandom(const std::vector<std::string>& paths, int loads_wanted) {
  constexpr int kAlternateLoads = 400;  // the first ones, two copies in turn
  const int copies = static_cast<int>(paths.size());
  std::vector<void*> loaded(paths.size(), nullptr);
  std::mt19937 draw(20240521);
  int loads = 0, failed = 0;
  while (loads < loads_wanted) {
    const int copy = loads < kAlternateLoads ? loads % 2 : static_cast<int>(draw() % copies);
    if (loaded[copy] != nullptr && (loads < kAlternateLoads || draw() % 2 == 0)) {
      if (dlclose(loaded[copy]) != 0) return 101;
      loaded[copy] = nullptr;
      if (loads < kAlternateLoads) continue;
    }
    if (loaded[copy] != nullptr) continue;
    ++loads;
    const std::string failure = LoadAndUse(paths[copy], &loaded[copy]);
    if (!failure.empty()) {
      if (failed++ == 0) fprintf(stderr, "load %d failed: %s\n", loads, failure.c_str());
      if (loaded[copy] != nullptr) dlclose(loaded[copy]);
      loaded[copy] = nullptr;
    }
  }
  for (void* module : loaded) {
    if (module != nullptr && dlclose(module) != 0) return 101;
  }
  if (failed != 0) fprintf(stderr, "%d of %d loads failed\n", failed, loads_wanted);
  return failed == 0 ? 0 : 100;
}

// Two copies under other names, each with its first resources: neither
// takes, gives back or deletes a resource of the other.
struct CopyApi {
  void* module = nullptr;
  int32_t (*add)() = nullptr;
  int32_t (*open_within)(int32_t, int32_t) = nullptr;
  int32_t (*close)(int32_t) = nullptr;
  int32_t (*del)(int32_t) = nullptr;
  bool Load(const std::string& path) {
    module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) return false;
    add = reinterpret_cast<int32_t (*)()>(dlsym(module, "AddThreadResource"));
    open_within = reinterpret_cast<int32_t (*)(int32_t, int32_t)>(dlsym(module, "OpenThreadResourceWithin"));
    close = reinterpret_cast<int32_t (*)(int32_t)>(dlsym(module, "CloseThreadResource"));
    del = reinterpret_cast<int32_t (*)(int32_t)>(dlsym(module, "DeleteThreadResource"));
    return add && open_within && close && del;
  }
};

TEST(Copies, EachRefusesTheOthersResources) {
  constexpr int kResources = 100;
  Copies copies(harness::FirstArgument(), 2);
  ASSERT_EQ(copies.paths().size(), 2u);
  CopyApi copy[2];
  ASSERT_TRUE(copy[0].Load(copies.paths()[0]) && copy[1].Load(copies.paths()[1]));
  std::vector<int32_t> made[2];
  for (int i = 0; i < kResources; ++i) {
    for (int c = 0; c < 2; ++c) {
      made[c].push_back(copy[c].add());
      ASSERT_GT(made[c].back(), 0);
    }
  }
  for (int c = 0; c < 2; ++c) {
    const CopyApi& other = copy[1 - c];
    for (int32_t resource : made[c]) {
      EXPECT_EQ(other.open_within(resource, 0), 0) << "copy " << 1 - c << " took " << resource;
      EXPECT_EQ(other.close(resource), 0);
      EXPECT_EQ(other.del(resource), 0) << "copy " << 1 - c << " deleted " << resource;
    }
  }
  for (int c = 0; c < 2; ++c) {
    for (int32_t resource : made[c]) {
      EXPECT_EQ(copy[c].open_within(resource, 0), 1) << "copy " << c << " lost " << resource;
      EXPECT_NE(copy[c].close(resource), 0);
      EXPECT_NE(copy[c].del(resource), 0);
    }
    dlclose(copy[c].module);
  }
}

// Child: the library's first call in one thread, held up in the
// registration of the library's exit handler, and a fork in another: the
// forked child comes out of the fork with the library usable. A child of
// its own, so that the library is freshly loaded (and under qemu-user, whose
// forked children of a process that had many threads cannot make threads).
HARNESS_CHILD_SCENARIO(ForkDuringAFirstCall) {
  void* module = dlopen(argument.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return 2;
  auto add = reinterpret_cast<int32_t (*)()>(dlsym(module, "AddThreadResource"));
  auto open_resource = reinterpret_cast<int32_t (*)(int32_t)>(dlsym(module, "OpenThreadResource"));
  auto send = reinterpret_cast<int32_t (*)(int32_t, int32_t)>(dlsym(module, "SendThreadMessage"));
  auto get = reinterpret_cast<int32_t (*)(int32_t)>(dlsym(module, "GetThreadMessage"));
  if (!add || !open_resource || !send || !get) return 2;
  std::thread first([add] {
    held_up_in_exit_registration = true;
    add();
  });
  if (!harness::WaitUntil([] { return in_exit_registration.load(); })) {
    first.join();
    return 3;
  }
  auto child = harness::ForkRunning([&] {
    alarm(10);  // a hang in the fork's handlers or the first calls ends the child by SIGALRM
    const int32_t resource = add();
    if (resource == 0 || open_resource(resource) != 1) return 10;
    send(7, 70);
    return get(7) == 70 ? 0 : 11;
  });
  first.join();
  // Within the test's deadline, so that a child that never came out of the
  // fork is killed here.
  return child ? harness::WaitChild(child.get(), harness::kHangMilliseconds / 2) : 4;
}

TEST(Fork, AChildForkedDuringAnotherThreadsFirstCallComesOutWorking) {
  auto child = harness::SpawnSelf("ForkDuringAFirstCall", harness::FirstArgument());
  ASSERT_TRUE(child);
  EXPECT_EQ(harness::WaitChild(child.get()), 0)
      << "2: no library; 3: not held up; 4: no fork; 255: the forked child never came out of the fork; "
         "142: it hung in a call (SIGALRM); 10/11: its calls failed";
}

TEST(Unload, CopiesLoadAndUnloadAnyNumberOfTimes) {
  constexpr int kCopies = 10;
  constexpr int kLoads = 2000;
  Copies copies(harness::FirstArgument(), kCopies);
  ASSERT_EQ(copies.paths().size(), static_cast<size_t>(kCopies));
  auto child = harness::ForkRunning([&] { return LoadCopiesInTurnAndAtRandom(copies.paths(), kLoads); });
  ASSERT_TRUE(child);
  EXPECT_EQ(harness::WaitChild(child.get(), 5 * harness::kHangMilliseconds), 0)
      << "100: a load failed (see above); 101: an unload failed; -1: hung";
}

}  // namespace
