// The loader's buffer pool: reuse, its limits, the broken flag, and many
// threads at once (also run under ThreadSanitizer by `make test-tsan`).
#include "audio/buffer_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace sonorik::detail {
namespace {

struct BufferPool : ::testing::Test {
  void SetUp() override {
    buffer_pool_set_broken(false);
    buffer_pool_clear();
  }
  void TearDown() override { SetUp(); }
};

std::vector<double> with_capacity(std::size_t n) {
  std::vector<double> v;
  v.reserve(n);
  return v;
}

TEST_F(BufferPool, TakesTheFirstFittingListAndReleasesSmallerOnes) {
  for (std::size_t cap : {10u, 20u, 5000u, 30u}) ASSERT_TRUE(buffer_pool_give(with_capacity(cap)));
  std::vector<double> used(100, 1.0);
  used.reserve(5000);
  const std::vector<double> taken = buffer_pool_take(100);
  EXPECT_EQ(taken.capacity(), 5000u);
  EXPECT_TRUE(taken.empty());
  EXPECT_EQ(buffer_pool_size(), 1u);
  EXPECT_EQ(buffer_pool_take(100).capacity(), 0u);  // 30 released, nothing fits
  EXPECT_EQ(buffer_pool_size(), 0u);
  ASSERT_TRUE(buffer_pool_give(std::move(used)));  // given back full: kept empty
  EXPECT_TRUE(buffer_pool_take(0).empty());
}

TEST_F(BufferPool, CapacityAndCountLimits) {
  EXPECT_TRUE(buffer_pool_give(with_capacity(kBufferPoolMaxCapacitySamples)));
  EXPECT_FALSE(buffer_pool_give(with_capacity(kBufferPoolMaxCapacitySamples + 1)));
  for (std::size_t i = 1; i < kBufferPoolMaxLists; ++i) ASSERT_TRUE(buffer_pool_give(std::vector<double>(1)));
  EXPECT_EQ(buffer_pool_size(), 50u);
  EXPECT_FALSE(buffer_pool_give(std::vector<double>(1)));
  EXPECT_EQ(buffer_pool_size(), 50u);
}

TEST_F(BufferPool, BrokenPoolIsBypassed) {
  ASSERT_TRUE(buffer_pool_give(with_capacity(100)));
  buffer_pool_set_broken(true);
  EXPECT_EQ(buffer_pool_take(10).capacity(), 0u);
  EXPECT_FALSE(buffer_pool_give(with_capacity(100)));
}

TEST_F(BufferPool, ThreadsTakingGivingAndClearingKeepTheQueueConsistent) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
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
  while (buffer_pool_size() > 0) EXPECT_TRUE(buffer_pool_take(0).empty());
}

TEST_F(BufferPool, BreakingWhileInUseBypassesThePoolForEveryone) {
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
