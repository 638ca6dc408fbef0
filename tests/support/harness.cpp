#include "harness.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace harness {

namespace {
std::string program_path;

struct ScenarioEntry {
  const char* name;
  Scenario scenario;
};
ScenarioEntry scenarios[64];
int scenario_count = 0;
}  // namespace

ScenarioRegistration::ScenarioRegistration(const char* name, Scenario scenario) {
  if (scenario_count < 64) scenarios[scenario_count++] = {name, scenario};
}

int RunScenario(const std::string& name, const std::string& argument) {
  for (int i = 0; i < scenario_count; ++i) {
    if (name == scenarios[i].name) return scenarios[i].scenario(argument);
  }
  fprintf(stderr, "no child scenario %s\n", name.c_str());
  return 125;
}

void SetProgramPath(const char* argv0) { program_path = argv0; }

namespace {
std::string first_argument;
}
const std::string& FirstArgument() { return first_argument; }
void SetFirstArgument(const char* argument) { first_argument = argument; }

Worker::Worker(std::function<void()> body) : done_(std::make_shared<std::atomic<bool>>(false)) {
  auto done = done_;
  thread_ = std::thread([body = std::move(body), done] {
    body();
    done->store(true);
  });
}

Worker::~Worker() {
  if (thread_.joinable()) {
    if (!Join()) Hang("a worker thread did not end");
  }
}

bool Worker::Join(int milliseconds) {
  if (!thread_.joinable()) return true;
  if (!WaitUntil([this] { return done_->load(); }, milliseconds)) return false;
  thread_.join();
  return true;
}

void Hang(const char* what) {
  fprintf(stderr, "HANG: %s\n", what);
  fflush(stderr);
  _Exit(3);
}

std::string UniqueName(const std::string& stem) {
#if defined(_WIN32)
  unsigned long id = GetCurrentProcessId();
#else
  unsigned long id = static_cast<unsigned long>(getpid());
#endif
  return "QuenthaloyTest_" + stem + "_" + std::to_string(id);
}

// qemu runs only Wine's 32-bit side; a 64-bit program runs natively there.
int BlockedThreadsAllowed(int wanted) {
  const char* under_qemu = getenv("QUENTHALOY_WINE_UNDER_QEMU");
  const bool limited = sizeof(void*) == 4 && under_qemu != nullptr && under_qemu[0] == '1';
  return limited ? 1 : wanted;
}

void SleepMs(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool WaitUntil(const std::function<bool()>& condition, int milliseconds) {
  const int64_t deadline = NowMs() + milliseconds;
  while (!condition()) {
    if (NowMs() > deadline) return false;
    SleepMs(1);
  }
  return true;
}

#if defined(_WIN32)

struct Child {
  PROCESS_INFORMATION info;
};

ChildPtr SpawnSelf(const std::string& scenario, const std::string& argument) {
  std::string command = "\"" + program_path + "\" --child " + scenario + " " + argument;
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  ChildPtr child(new Child());
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child->info)) {
    return nullptr;
  }
  return child;
}

int WaitChild(Child* child, int milliseconds) {
  if (WaitForSingleObject(child->info.hProcess, milliseconds) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(child->info.hProcess, &code);
  return static_cast<int>(code);
}

void KillChild(Child* child) { TerminateProcess(child->info.hProcess, 9); }

void ReleaseChild(Child* child) {
  if (child == nullptr) return;
  CloseHandle(child->info.hProcess);
  CloseHandle(child->info.hThread);
  delete child;
}

#else

struct Child {
  pid_t pid;
  int status;
  bool reaped;
};

ChildPtr SpawnSelf(const std::string& scenario, const std::string& argument) {
  ChildPtr child(new Child());
  child->reaped = false;
  child->pid = fork();
  if (child->pid < 0) return nullptr;
  if (child->pid == 0) {
    execl("/proc/self/exe", program_path.c_str(), "--child", scenario.c_str(), argument.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  return child;
}

ChildPtr ForkRunning(const std::function<int()>& body) {
  ChildPtr child(new Child());
  child->reaped = false;
  child->pid = fork();
  if (child->pid < 0) return nullptr;
  if (child->pid == 0) _exit(body());
  return child;
}

int WaitChild(Child* child, int milliseconds) {
  const int64_t deadline = NowMs() + milliseconds;
  while (!child->reaped) {
    pid_t done = waitpid(child->pid, &child->status, WNOHANG);
    if (done == child->pid) {
      child->reaped = true;
      break;
    }
    if (NowMs() > deadline) return -1;
    SleepMs(1);
  }
  if (WIFEXITED(child->status)) return WEXITSTATUS(child->status);
  return 128 + WTERMSIG(child->status);
}

void KillChild(Child* child) { kill(child->pid, SIGKILL); }

void ReleaseChild(Child* child) {
  if (child == nullptr) return;
  if (!child->reaped) {
    kill(child->pid, SIGKILL);
    waitpid(child->pid, &child->status, 0);
  }
  delete child;
}

#endif

}  // namespace harness
