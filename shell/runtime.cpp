#include "runtime.h"

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

}  // namespace shell
