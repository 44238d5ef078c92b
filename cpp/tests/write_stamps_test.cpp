#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kestrix/write_stamps.hpp"

TEST(WriteStamps, OneTokenPerProcessAndSequenceNumbersThatOnlyGrow) {
  kestrix::WriteStamps stamps;
  const kestrix::WriteStamp first = stamps.next();
  EXPECT_EQ(first.token.size(), 16u);
  EXPECT_EQ(first.token.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(first.sequence, 1u);
  const kestrix::WriteStamp second = stamps.next();
  EXPECT_EQ(second.token, first.token);
  EXPECT_EQ(second.sequence, 2u);
  // Another instance stands for another writer: its token differs.
  kestrix::WriteStamps other;
  EXPECT_NE(other.next().token, first.token);
}

TEST(WriteStamps, ConcurrentCallersNeverShareASequenceNumber) {
  kestrix::WriteStamps stamps;
  std::vector<std::vector<std::uint64_t>> seen(4);
  std::vector<std::thread> threads;
  for (auto& mine : seen) {
    threads.emplace_back([&stamps, &mine] {
      for (int i = 0; i < 1000; ++i) mine.push_back(stamps.next().sequence);
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::uint64_t> all;
  for (const auto& mine : seen) {
    for (std::size_t i = 1; i < mine.size(); ++i) EXPECT_LT(mine[i - 1], mine[i]);
    all.insert(mine.begin(), mine.end());
  }
  EXPECT_EQ(all.size(), 4000u);
  EXPECT_EQ(*all.rbegin(), 4000u);
}

TEST(WriteStamps, AForkedChildDrawsATokenOfItsOwn) {
  kestrix::WriteStamps stamps;
  const std::string parent = stamps.next().token;
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const kestrix::WriteStamp stamp = stamps.next();
    const std::string answer = stamp.token + (stamp.sequence == 1 ? "1" : "x");
    (void)!write(pipe_fds[1], answer.data(), answer.size());
    _exit(0);
  }
  close(pipe_fds[1]);
  char buffer[32] = {};
  const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer - 1);
  close(pipe_fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_EQ(n, 17);
  EXPECT_NE(std::string(buffer, 16), parent);
  EXPECT_EQ(buffer[16], '1');
  EXPECT_EQ(stamps.next().token, parent);
}
