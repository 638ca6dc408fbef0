#include "runtime.h"

#include "../messaging/queue.h"
#include "../resources/resources.h"
#include "../sync/backoff.h"

namespace shell {

Runtime runtime;

namespace {

// xorshift32: full period over the non-zero 32-bit values.
uint32_t NextRandom() {
  uint32_t x = runtime.RandomState;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  runtime.RandomState = x;
  return x;
}

}  // namespace

void SeedRandom(uint32_t seed) { runtime.RandomState = seed != 0 ? seed : 0x9E3779B9u; }

uint32_t DrawRandom(uint32_t highest) {
  if (highest == 0xFFFFFFFFu) return NextRandom();
  const uint32_t range = highest + 1;
  // Draws at or above the last whole multiple of `range` would favour the
  // low values; they are drawn again.
  const uint32_t rejected_from = 0u - ((0u - range) % range);
  uint32_t x = 0;
  do {
    x = NextRandom();
  } while (rejected_from != 0 && x >= rejected_from);
  return x % range;
}

void RuntimeStart() {
  runtime.PrivateHeap = platform::HeapCreate();
  SeedRandom(platform::MonotonicMilliseconds());
}

void RuntimeEnd() {
  platform::HeapDestroy(runtime.PrivateHeap);
  runtime.PrivateHeap = nullptr;
}

namespace {

// The thread-end notice: what the thread's waits and sends left in the
// queue is undone, and what it holds is abandoned.
void ThreadEnds(platform::Parker* parker) {
  messaging::TidyAtThreadEnd(&runtime.Queue, parker);
  if constexpr (resources::kKeptByLibrary) resources::AbandonHeldBy(parker);
}

}  // namespace

int32_t EntryPoint(uint32_t reason, bool loader_says_exiting) {
  if (reason == kProcessAttach) {
    // Without the layer's per-thread state no thread could sleep in the
    // queue or own a resource: the queue stays shut (every call returns 0)
    // rather than open with waits that cannot wait.
    synchro::backoff::Measure();
    const bool started = platform::Start();
    RuntimeStart();
    if (started) messaging::OnAttach(&runtime.Queue, runtime.PrivateHeap, DrawRandom(0xFFFFFFFFu));
    platform::SetParkerEndHook(ThreadEnds);
  } else if (reason == kProcessDetach) {
    bool exiting = platform::ProcessIsExiting(loader_says_exiting);
    if (!exiting) {
      // Returns once no ending thread is inside the hook.
      platform::SetParkerEndHook(nullptr);
      messaging::OnDetach(&runtime.Queue);
      if constexpr (resources::kKeptByLibrary) resources::End(false);
      RuntimeEnd();
    }
    platform::End(exiting);
  } else if (reason == kThreadDetach) {
    if constexpr (platform::kLoaderTellsThreadEnd) platform::ThreadEnding();
  }
  return 1;
}

}  // namespace shell
