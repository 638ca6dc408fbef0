// libFuzzer target: arbitrary sequences of the library's calls, with
// arbitrary handles (live, closed, never issued, pseudo-handles),
// single-threaded, checked against a small model of what each must return.
// A mismatch aborts, which the fuzzer reports like a crash.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <deque>
#include <map>
#include <vector>

#include "messaging/queue.h"
#include "resources/resources.h"
#include "shell/runtime.h"

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  bool Empty() const { return at >= size; }
  uint8_t Byte() { return at < size ? data[at++] : 0; }
  uint32_t Word() {
    uint32_t w = 0;
    for (int i = 0; i < 4; ++i) w = (w << 8) | Byte();
    return w;
  }
};

struct Object {
  int depth;  // how often this thread holds the mutex
};

struct Model {
  std::map<int32_t, std::deque<int32_t>> queues;
  std::map<uint32_t, Object> live;
  std::vector<uint32_t> closed;  // stale handles, kept to be tried again
};

[[noreturn]] void Mismatch(const char* what, long got, long expected) {
  fprintf(stderr, "mismatch in %s: got %ld, expected %ld\n", what, got, expected);
  abort();
}

void Expect(const char* what, long got, long expected) {
  if (got != expected) Mismatch(what, got, expected);
}

int32_t Recipient(Input& in) {
  uint8_t b = in.Byte();
  return (b & 0x80) != 0 ? static_cast<int32_t>(in.Word()) : static_cast<int32_t>(b % 8) - 3;
}

// A live handle, a closed one, or one never issued (no generation in its
// top bits, or negative: neither is ever a handle; -1 to -6 among them).
uint32_t AnyHandle(Input& in, const Model& model) {
  uint8_t choice = in.Byte() % 5;
  if (choice == 4) return 0u - 1u - in.Byte() % 6;
  if (choice == 0 && !model.live.empty()) {
    auto it = model.live.begin();
    std::advance(it, in.Byte() % model.live.size());
    return it->first;
  }
  if (choice == 1 && !model.closed.empty()) return model.closed[in.Byte() % model.closed.size()];
  uint32_t raw = in.Word();
  return choice == 2 ? (raw & 0xFFFFF) : (raw | 0x80000000u);
}

Object* Find(Model& model, uint32_t handle) {
  auto it = model.live.find(handle);
  return it != model.live.end() ? &it->second : nullptr;
}

void Close(Model& model, uint32_t handle) {
  model.live.erase(handle);
  if (model.closed.size() < 64) model.closed.push_back(handle);
}

void Message(Input& in, Model& model, uint8_t op) {
  int32_t recipient = Recipient(in);
  std::deque<int32_t>& queue = model.queues[recipient];
  int32_t expected = queue.empty() ? 0 : queue.front();
  switch (op % 3) {
    case 0: {
      int32_t value = static_cast<int32_t>(in.Word());
      Expect("SendThreadMessage", messaging::SendThreadMessage(&shell::runtime.Queue, recipient, value), 0);
      queue.push_back(value);
      return;
    }
    case 1:
      Expect("GetThreadMessage", messaging::GetThreadMessage(&shell::runtime.Queue, recipient), expected);
      break;
    default:
      if (queue.empty()) return;  // it would sleep for good: one thread only
      Expect("WaitThreadMessage", messaging::WaitThreadMessage(&shell::runtime.Queue, recipient), expected);
      break;
  }
  if (!queue.empty()) queue.pop_front();
}

void Resource(Input& in, Model& model, uint8_t op) {
  if (op % 5 == 0) {
    int32_t handle = resources::AddThreadResource();
    if (handle == 0) Mismatch("AddThreadResource", 0, 1);
    if (model.live.count(static_cast<uint32_t>(handle)) != 0) Mismatch("AddThreadResource: handle in use", handle, 0);
    model.live[static_cast<uint32_t>(handle)] = {0};
    return;
  }
  uint32_t handle = AnyHandle(in, model);
  auto h = static_cast<int32_t>(handle);
  Object* mutex = Find(model, handle);
  const bool obtainable = mutex != nullptr;
  switch (op % 5) {
    case 1:
      Expect("OpenThreadResource", resources::OpenThreadResource(h), obtainable);
      if (mutex != nullptr) ++mutex->depth;
      break;
    case 2:
      Expect("OpenThreadResourceWithin", resources::OpenThreadResourceWithin(h, in.Byte() % 3), obtainable);
      if (mutex != nullptr) ++mutex->depth;
      break;
    case 3:
      Expect("CloseThreadResource", resources::CloseThreadResource(h) != 0, mutex != nullptr && mutex->depth > 0);
      if (mutex != nullptr && mutex->depth > 0) --mutex->depth;
      break;
    default:
      Expect("DeleteThreadResource", resources::DeleteThreadResource(h) != 0, model.live.count(handle) != 0);
      Close(model, handle);
      break;
  }
}

// Leaves the library as it was found: queues empty, objects closed.
void CleanUp(Model& model) {
  for (auto& [recipient, queue] : model.queues) {
    for (int32_t value : queue)
      Expect("GetThreadMessage (clean-up)", messaging::GetThreadMessage(&shell::runtime.Queue, recipient), value);
    Expect("GetThreadMessage (drained)", messaging::GetThreadMessage(&shell::runtime.Queue, recipient), 0);
  }
  for (auto& [handle, object] : model.live) {
    for (; object.depth > 0; --object.depth) resources::CloseThreadResource(static_cast<int32_t>(handle));
    Expect("DeleteThreadResource (clean-up)", resources::DeleteThreadResource(static_cast<int32_t>(handle)), 1);
  }
}

void Unload() { shell::EntryPoint(shell::kProcessDetach); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  shell::EntryPoint(shell::kProcessAttach);
  atexit(Unload);  // as the library would be at the end: nothing may leak
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  Model model;
  for (int steps = 0; !in.Empty() && steps < 2000; ++steps) {
    uint8_t op = in.Byte();
    if (op % 2 == 0) {
      Message(in, model, op / 2);
    } else {
      Resource(in, model, op / 2);
    }
  }
  CleanUp(model);
  return 0;
}
