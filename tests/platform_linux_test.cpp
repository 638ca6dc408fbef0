// What only the Linux emulation must get right: handle reuse, signals during
// waits, and named objects whose file is not what it should be.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "support/harness.h"

namespace {

std::string PathOf(const std::string& name) { return "/dev/shm/quenthaloy-" + std::to_string(geteuid()) + "-" + name; }

TEST(Handles, AStaleHandleNeverReachesTheObjectInItsReusedSlot) {
  // Enough creates and closes to cycle through reused slots.
  platform::Handle stale = platform::CreateMutexA(nullptr, nullptr);
  platform::CloseHandle(stale);
  for (int i = 0; i < 5000; ++i) {
    platform::Handle fresh = platform::CreateMutexA(nullptr, nullptr);
    ASSERT_NE(fresh, stale);
    ASSERT_EQ(platform::WaitForSingleObject(stale, 0), WAIT_FAILED);
    ASSERT_EQ(platform::CloseHandle(stale), 0);
    platform::CloseHandle(fresh);
  }
}

void IgnoreSignal(int /*signal*/) {}

TEST(Waits, ASignalDoesNotCutATimedWaitShort) {
  struct sigaction action = {};
  action.sa_handler = IgnoreSignal;
  sigaction(SIGUSR1, &action, nullptr);
  platform::Handle event = platform::CreateEventA(nullptr, nullptr);
  pthread_t waiter_thread = pthread_self();
  std::atomic<bool> done{false};
  harness::Worker interrupter([&] {
    for (int i = 0; i < 10 && !done; ++i) {
      harness::SleepMs(15);
      pthread_kill(waiter_thread, SIGUSR1);
    }
  });
  int64_t start = harness::NowMs();
  EXPECT_EQ(platform::WaitForSingleObject(event, 120), WAIT_TIMEOUT);
  EXPECT_GE(harness::NowMs() - start, 115);
  done = true;
  ASSERT_TRUE(interrupter.Join());
  platform::CloseHandle(event);
}

TEST(Named, TheFileIsPrivateAndGoesWithTheLastHandle) {
  std::string name = harness::UniqueName("file");
  platform::Handle m = platform::CreateMutexA(name.c_str(), nullptr);
  struct stat info;
  ASSERT_EQ(stat(PathOf(name).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  platform::CloseHandle(m);
  EXPECT_NE(stat(PathOf(name).c_str(), &info), 0);
}

class Hostile : public testing::Test {
 protected:
  void SetUp() override {
    name_ = harness::UniqueName("hostile");
    path_ = PathOf(name_);
    unlink(path_.c_str());
  }
  void TearDown() override { unlink(path_.c_str()); }
  // The create must fail and the file must be left exactly as it was.
  void ExpectRefused(const std::string& contents) {
    EXPECT_EQ(platform::CreateMutexA(name_.c_str(), nullptr), 0u);
    EXPECT_EQ(ReadAll(), contents) << "the refused file was changed";
    platform::Handle still = platform::CreateMutexA(nullptr, nullptr);
    EXPECT_NE(still, 0u) << "the layer stays usable";
    platform::CloseHandle(still);
  }
  void Write(const std::string& contents, mode_t mode) {
    int fd = open(path_.c_str(), O_CREAT | O_WRONLY | O_TRUNC, mode);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
    fchmod(fd, mode);
    close(fd);
  }
  std::string ReadAll() {
    std::string out;
    int fd = open(path_.c_str(), O_RDONLY | O_NOFOLLOW);
    if (fd < 0) return "<unreadable>";
    char buffer[256];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof(buffer))) > 0) out.append(buffer, static_cast<size_t>(got));
    close(fd);
    return out;
  }
  std::string name_, path_;
};

TEST_F(Hostile, AFileOfTheWrongSizeIsRefused) {
  Write("not an object", 0600);
  ExpectRefused("not an object");
}

TEST_F(Hostile, AFileWithAForeignHeaderIsRefused) {
  std::string junk(512, 'x');
  Write(junk, 0600);
  struct stat info;
  stat(path_.c_str(), &info);
  // Sized like a real object by probing what a genuine one measures.
  std::string probe = harness::UniqueName("probe");
  platform::Handle genuine = platform::CreateMutexA(probe.c_str(), nullptr);
  struct stat real;
  ASSERT_EQ(stat(PathOf(probe).c_str(), &real), 0);
  platform::CloseHandle(genuine);
  junk.assign(static_cast<size_t>(real.st_size), 'x');
  Write(junk, 0600);
  ExpectRefused(junk);
}

TEST_F(Hostile, ASymbolicLinkIsRefused) {
  std::string target = path_ + ".target";
  int fd = open(target.c_str(), O_CREAT | O_WRONLY, 0600);
  close(fd);
  ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
  EXPECT_EQ(platform::CreateMutexA(name_.c_str(), nullptr), 0u);
  struct stat info;
  ASSERT_EQ(stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 0) << "nothing was written through the link";
  unlink(target.c_str());
}

TEST_F(Hostile, AFileReadableByOthersIsRefused) {
  Write("x", 0644);
  ExpectRefused("x");
}

TEST_F(Hostile, AnotherUsersFileIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a file of another user";
  struct passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  Write("y", 0600);
  ASSERT_EQ(chown(path_.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  ExpectRefused("y");
}

}  // namespace

namespace {

TEST(Handles, AMutexClosedWhileHeldNeverHasItsSlotReused) {
  // A held robust mutex sits on its owner's robust list, which glibc and the
  // kernel walk: its memory must not become another mutex. A handle's low
  // 20 bits are its slot.
  platform::Handle held = platform::CreateMutexA(nullptr, nullptr);
  ASSERT_EQ(platform::WaitForSingleObject(held, 0), WAIT_OBJECT_0);
  ASSERT_NE(platform::CloseHandle(held), 0);
  platform::Handle released = platform::CreateMutexA(nullptr, nullptr);
  ASSERT_NE(platform::CloseHandle(released), 0);
  bool released_slot_reused = false;
  for (int i = 0; i < 3000; ++i) {
    platform::Handle fresh = platform::CreateMutexA(nullptr, nullptr);
    ASSERT_NE(fresh & 0xFFFFF, held & 0xFFFFF) << "after " << i << " creates";
    released_slot_reused |= (fresh & 0xFFFFF) == (released & 0xFFFFF);
    platform::CloseHandle(fresh);
  }
  EXPECT_TRUE(released_slot_reused) << "slots of released mutexes are reused";
}

}  // namespace
