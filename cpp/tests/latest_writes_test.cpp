#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kestrix/latest_writes.hpp"

using Writes = kestrix::LatestWrites<std::string, int>;

TEST(LatestWrites, AKeyRunsOneWriteAtATimeAndKeepsOnlyTheNewestWaiting) {
  Writes w(8);
  auto first = w.submit("a", 1);
  ASSERT_TRUE(first.start);
  EXPECT_EQ(first.start->key, "a");
  EXPECT_EQ(first.start->job, 1);
  EXPECT_FALSE(first.replaced);

  auto second = w.submit("a", 2);  // "a" is running: waits, no new worker
  EXPECT_FALSE(second.start);
  EXPECT_FALSE(second.replaced);
  auto third = w.submit("a", 3);
  EXPECT_FALSE(third.start);
  ASSERT_TRUE(third.replaced);
  EXPECT_EQ(*third.replaced, 2);
  EXPECT_EQ(w.waiting(), 1u);

  auto next = w.next("a");
  ASSERT_TRUE(next);
  EXPECT_EQ(next->job, 3);
  EXPECT_EQ(w.workers(), 1u);
  EXPECT_FALSE(w.next("a"));
  EXPECT_EQ(w.workers(), 0u);
  EXPECT_EQ(w.waiting(), 0u);
}

TEST(LatestWrites, WorkersAreCappedAndReadyKeysWaitFirstComeFirstServed) {
  Writes w(2);
  EXPECT_TRUE(w.submit("a", 1).start);
  EXPECT_TRUE(w.submit("b", 1).start);
  EXPECT_FALSE(w.submit("c", 1).start);
  EXPECT_FALSE(w.submit("d", 1).start);
  EXPECT_FALSE(w.submit("a", 2).start);
  EXPECT_EQ(w.workers(), 2u);
  // The worker that finished "b" takes the oldest ready key; "a" queues behind "d" once done.
  EXPECT_EQ(w.next("b")->key, "c");
  EXPECT_EQ(w.next("a")->key, "d");
  EXPECT_EQ(w.next("c")->key, "a");
  EXPECT_FALSE(w.next("d"));
  EXPECT_FALSE(w.next("a"));
  EXPECT_EQ(w.workers(), 0u);
  EXPECT_EQ(w.peak_workers(), 2u);
}

TEST(LatestWrites, AnAbandonedWorkerLeavesItsKeysWaitingJobToTheNextWorker) {
  Writes w(1);
  ASSERT_TRUE(w.submit("a", 1).start);
  EXPECT_FALSE(w.submit("a", 2).start);
  w.abandon("a");  // e.g. the thread could not be started
  EXPECT_EQ(w.workers(), 0u);
  auto again = w.submit("b", 1);  // any later submission starts a worker on the oldest key
  ASSERT_TRUE(again.start);
  EXPECT_EQ(again.start->key, "a");
  EXPECT_EQ(again.start->job, 2);
  EXPECT_EQ(w.next("a")->key, "b");
  EXPECT_FALSE(w.next("b"));
}

TEST(LatestWrites, ConcurrentWritersNeverGoBackAndEndOnTheNewestValue) {
  constexpr int kKeys = 12;
  constexpr int kPerKey = 400;
  Writes w(8);
  std::mutex stored_mutex;
  std::map<std::string, std::vector<int>> stored;
  std::atomic<int> running{0};
  std::atomic<int> peak{0};
  std::vector<std::thread> workers;
  std::mutex workers_mutex;

  auto work = [&](std::string key, int job) {
    for (;;) {
      const int now = ++running;
      for (int p = peak.load(); now > p && !peak.compare_exchange_weak(p, now);) {
      }
      {
        std::lock_guard<std::mutex> lock(stored_mutex);
        stored[key].push_back(job);
      }
      std::this_thread::yield();
      --running;
      auto next = w.next(key);
      if (!next) return;
      key = next->key;
      job = next->job;
    }
  };

  std::vector<std::thread> producers;
  for (int p = 0; p < 3; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerKey; ++i) {
        for (int k = p; k < kKeys; k += 3) {
          auto out = w.submit("k" + std::to_string(k), i);
          if (out.start) {
            std::lock_guard<std::mutex> lock(workers_mutex);
            workers.emplace_back(work, out.start->key, out.start->job);
          }
        }
      }
    });
  }
  for (auto& t : producers) t.join();
  for (;;) {  // every worker was started by a producer, all of which have ended
    std::vector<std::thread> batch;
    {
      std::lock_guard<std::mutex> lock(workers_mutex);
      batch.swap(workers);
    }
    if (batch.empty()) break;
    for (auto& t : batch) t.join();
  }
  EXPECT_EQ(w.workers(), 0u);
  EXPECT_LE(peak.load(), 8);
  EXPECT_LE(w.peak_workers(), 8u);
  ASSERT_EQ(stored.size(), static_cast<std::size_t>(kKeys));
  for (const auto& [key, values] : stored) {
    for (std::size_t i = 1; i < values.size(); ++i) ASSERT_LT(values[i - 1], values[i]) << key;
    EXPECT_EQ(values.back(), kPerKey - 1) << key;
  }
}
