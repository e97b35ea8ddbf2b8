// The loader's buffer pool used from many threads at once (also run under
// ThreadSanitizer by `make test-tsan`).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "audio/buffer_pool.h"

namespace sonorik::detail {
namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 2000;

struct BufferPoolThreads : ::testing::Test {
  void SetUp() override {
    buffer_pool_clear();
    buffer_pool_set_broken(false);
  }
  void TearDown() override { buffer_pool_clear(); }
};

TEST_F(BufferPoolThreads, TakesAndGivesKeepTheQueueConsistent) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        const std::size_t want = static_cast<std::size_t>(16 + (i * 7 + t) % 200);
        std::vector<double> list = buffer_pool_take(want);
        if (!list.empty() || (list.capacity() != 0 && list.capacity() < want)) ++wrong;
        list.assign(want, static_cast<double>(t));  // the list is ours alone now
        if (buffer_pool_size() > kBufferPoolMaxLists) ++wrong;
        buffer_pool_give(std::move(list));
        if (i % 500 == 499 && t == 0) buffer_pool_clear();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(buffer_pool_size(), kBufferPoolMaxLists);
  EXPECT_FALSE(buffer_pool_is_broken());
  // Every list left in the pool comes back empty.
  while (buffer_pool_size() > 0) EXPECT_TRUE(buffer_pool_take(0).empty());
}

TEST_F(BufferPoolThreads, BreakingWhileInUseBypassesThePoolForEveryone) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      while (!stop.load()) buffer_pool_give(buffer_pool_take(8));
    });
  }
  buffer_pool_set_broken(true);
  stop = true;
  for (auto& th : threads) th.join();
  EXPECT_FALSE(buffer_pool_give(std::vector<double>(8)));
  EXPECT_EQ(buffer_pool_take(0).capacity(), 0u);
}

}  // namespace
}  // namespace sonorik::detail
