#include "workload.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <memory>
#include <vector>

#include "harness.h"

namespace workload {

namespace {

struct Run {
  const MessageCalls& calls;
  const Shape& shape;
  std::vector<std::atomic<int>> last;  // [poster][recipient]: highest sequence taken
  std::atomic<long> taken{0}, released{0}, waits{0}, out_of_order{0}, foreign{0};

  Run(const MessageCalls& c, const Shape& s) : calls(c), shape(s), last(static_cast<size_t>(s.posters) * Recipients()) {
    for (auto& l : last) l = -1;
  }
  int Recipients() const { return shape.takers * shape.recipients_per_taker; }
  // Recipient index 0.. of a post; taker t serves the indices equal to t
  // modulo the number of takers.
  int Target(int poster, int sequence) const { return (sequence * 7 + poster * 3) % Recipients(); }
  bool Synchronous(int sequence, int target) const {
    return sequence % shape.synchronous_every == 0 && target % shape.takers == 0;
  }
  int32_t Recipient(int index) const { return shape.first_recipient + index; }
};

int32_t Encode(int poster, int sequence) { return (poster << 24) | (sequence + 1); }

void Post(Run& run, int poster) {
  for (int s = 0; s < run.shape.posts_per_poster; ++s) {
    int target = run.Target(poster, s);
    if (run.Synchronous(s, target)) {
      run.calls.SendAndWait(run.Recipient(target), Encode(poster, s));
      ++run.released;
    } else {
      run.calls.Send(run.Recipient(target), Encode(poster, s));
    }
  }
}

void Account(Run& run, int target, int32_t value) {
  int poster = value >> 24;
  int sequence = (value & 0xFFFFFF) - 1;
  if (poster < 0 || poster >= run.shape.posters || sequence < 0 || run.Target(poster, sequence) != target) {
    ++run.foreign;
  } else if (run.last[static_cast<size_t>(poster) * run.Recipients() + target].exchange(sequence) >= sequence) {
    ++run.out_of_order;
  }
  ++run.taken;
}

void Take(Run& run, int taker, int64_t deadline) {
  const Shape& shape = run.shape;
  std::vector<long> due(run.Recipients(), 0);
  long expected = 0;
  for (int p = 0; p < shape.posters; ++p) {
    for (int s = 0; s < shape.posts_per_poster; ++s) {
      int target = run.Target(p, s);
      if (target % shape.takers == taker) ++due[target], ++expected;
    }
  }
  for (long got = 0, round = 0; got < expected; ++round) {
    if (harness::NowMs() > deadline) harness::Hang("a taker still misses messages at the deadline");
    int target = static_cast<int>((round % shape.recipients_per_taker) * shape.takers + taker);
    int32_t value = 0;
    bool found = false;
    if (taker != 0 && round % 3 == 0 && due[target] > 0) {
      value = run.calls.Wait(run.Recipient(target));
      found = true;
      ++run.waits;
    } else if (due[target] > 0) {
      // 0 is never posted here, so it means "nothing queued".
      value = run.calls.Get(run.Recipient(target));
      found = value != 0;
    }
    if (!found) continue;
    --due[target];
    ++got;
    Account(run, target, value);
  }
}

// The single taker of RunPair.
void TakeAll(Run& run, int64_t deadline) {
  const int posts = run.shape.posts_per_poster;
  std::vector<std::deque<int>> pending(run.Recipients());
  std::deque<int> synchronous;  // not yet taken, oldest first
  for (int s = 0; s < posts; ++s) {
    int target = run.Target(0, s);
    pending[target].push_back(s);
    if (run.Synchronous(s, target)) synchronous.push_back(s);
  }
  std::vector<bool> taken(posts, false);
  for (long got = 0, round = 0; got < posts; ++round) {
    if (harness::NowMs() > deadline) harness::Hang("the taker still misses messages at the deadline");
    int target = static_cast<int>(round % run.Recipients());
    if (pending[target].empty()) continue;
    int sequence = pending[target].front();
    // The poster has posted everything up to its oldest untaken synchronous
    // send, and is blocked there or still going.
    int surely_posted = synchronous.empty() ? posts : synchronous.front();
    int32_t value = 0;
    if (round % 3 == 0 && sequence <= surely_posted) {
      value = run.calls.Wait(run.Recipient(target));
      ++run.waits;
    } else {
      value = run.calls.Get(run.Recipient(target));
      if (value == 0) continue;
    }
    pending[target].pop_front();
    taken[sequence] = true;
    while (!synchronous.empty() && taken[synchronous.front()]) synchronous.pop_front();
    ++got;
    Account(run, target, value);
  }
}

Report Summarise(const MessageCalls& calls, const Shape& shape, Run& run) {
  Report report = {};
  report.posted = static_cast<long>(shape.posters) * shape.posts_per_poster;
  report.taken = run.taken;
  for (int p = 0; p < shape.posters; ++p) {
    for (int s = 0; s < shape.posts_per_poster; ++s) report.synchronous += run.Synchronous(s, run.Target(p, s));
  }
  report.released = run.released;
  report.waits = run.waits;
  report.out_of_order = run.out_of_order;
  report.foreign = run.foreign;
  for (int r = 0; r < run.Recipients(); ++r) {
    while (calls.Get(run.Recipient(r)) != 0) ++report.left_over;
  }
  return report;
}

void JoinAll(std::vector<std::unique_ptr<harness::Worker>>& helpers, int64_t deadline) {
  for (auto& helper : helpers) {
    if (!helper->Join(static_cast<int>(deadline - harness::NowMs()) + 1)) {
      harness::Hang("a workload thread did not finish: lost wake-up or deadlock");
    }
  }
}

}  // namespace

Report RunPair(const MessageCalls& calls, const Shape& pair_shape, int deadline_ms) {
  Shape shape = pair_shape;
  shape.posters = 1;
  shape.takers = 1;  // so every recipient may get synchronous sends
  struct Run run(calls, shape);
  const int64_t deadline = harness::NowMs() + deadline_ms;
  std::vector<std::unique_ptr<harness::Worker>> helpers;
  helpers.push_back(std::make_unique<harness::Worker>([&run, deadline] { TakeAll(run, deadline); }));
  Post(run, 0);
  JoinAll(helpers, deadline);
  return Summarise(calls, shape, run);
}

Report Run(const MessageCalls& calls, const Shape& shape, int deadline_ms) {
  struct Run run(calls, shape);
  const int64_t deadline = harness::NowMs() + deadline_ms;
  std::vector<std::unique_ptr<harness::Worker>> helpers;
  for (int p = 0; p < shape.posters; ++p) {
    helpers.push_back(std::make_unique<harness::Worker>([&run, p] { Post(run, p); }));
  }
  for (int t = 1; t < shape.takers; ++t) {
    helpers.push_back(std::make_unique<harness::Worker>([&run, t, deadline] { Take(run, t, deadline); }));
  }
  Take(run, 0, deadline);
  JoinAll(helpers, deadline);
  return Summarise(calls, shape, run);
}

void ExpectNothingLost(const Report& report, long least_synchronous, long least_waits) {
  EXPECT_EQ(report.taken, report.posted);
  EXPECT_EQ(report.out_of_order, 0);
  EXPECT_EQ(report.foreign, 0);
  EXPECT_EQ(report.left_over, 0);
  EXPECT_GT(report.synchronous, least_synchronous);
  EXPECT_EQ(report.released, report.synchronous);
  EXPECT_GT(report.waits, least_waits) << "the blocking wait must be part of the mix";
}

}  // namespace workload
