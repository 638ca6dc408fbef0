// Threads and child processes for the tests, with deadlines: a test that
// would hang fails instead.
#ifndef QUENTHALOY_TESTS_HARNESS_H
#define QUENTHALOY_TESTS_HARNESS_H

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace harness {

// How long any single wait in a test may take before it counts as a hang.
constexpr int kHangMilliseconds = 20000;

// A thread whose end is awaited with a deadline.
class Worker {
 public:
  explicit Worker(std::function<void()> body);
  ~Worker();
  // True once the body has returned within `milliseconds`; on a hang the
  // process is ended with a message, as the thread cannot be stopped.
  bool Join(int milliseconds = kHangMilliseconds);
  bool Finished() const { return done_->load(); }

 private:
  std::shared_ptr<std::atomic<bool>> done_;
  std::thread thread_;
};

// Ends the whole test program if a hang is detected.
[[noreturn]] void Hang(const char* what);

// Spins (with sleeps) until `condition` holds or the deadline passes.
bool WaitUntil(const std::function<bool()>& condition, int milliseconds = kHangMilliseconds);

void SleepMs(int milliseconds);

// How many threads a test may keep blocked at once in platform waits:
// `wanted`, except where Wine's 32-bit side runs through qemu-user, which
// crashes with more than one helper thread blocked in a Wine wait.
int BlockedThreadsAllowed(int wanted);
// A name unique to this test run, for named objects.
std::string UniqueName(const std::string& stem);
int64_t NowMs();

// This program run again as a child: `--child <scenario> <argument>`.
struct Child;
void ReleaseChild(Child* child);
struct ChildDeleter {
  void operator()(Child* child) const { ReleaseChild(child); }
};
using ChildPtr = std::unique_ptr<Child, ChildDeleter>;
ChildPtr SpawnSelf(const std::string& scenario, const std::string& argument);
// The child's exit code, or -1 if it did not end within the deadline.
int WaitChild(Child* child, int milliseconds = kHangMilliseconds);
#if !defined(_WIN32)
// This process forked: the child runs `body` and ends with its result.
ChildPtr ForkRunning(const std::function<int()>& body);
#endif
void KillChild(Child* child);

// Child scenarios register by name; the test main runs one when asked.
using Scenario = int (*)(const std::string& argument);
struct ScenarioRegistration {
  ScenarioRegistration(const char* name, Scenario scenario);
};
#define HARNESS_CHILD_SCENARIO(name)                                        \
  static int name(const std::string& argument);                             \
  static ::harness::ScenarioRegistration name##_registration(#name, &name); \
  static int name(const std::string& argument)
int RunScenario(const std::string& name, const std::string& argument);

// Set by main from argv before the tests run.
void SetProgramPath(const char* argv0);
// The first argument left after the test framework's own, or "".
const std::string& FirstArgument();
void SetFirstArgument(const char* argument);

}  // namespace harness

#endif
