// The loader's buffer pool: limits, the broken flag, looping, and many
// threads at once (also under ThreadSanitizer: `make test-tsan`).
#include "compat/buffer_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "compat/audio_data.h"
#include "support.h"

namespace sonorik::detail {
namespace {

struct BufferPool : ::testing::Test {
  void SetUp() override {
    buffer_pool_set_broken(false);
    buffer_pool_clear();
  }
  void TearDown() override { SetUp(); }
  static Result<AudioData> load(const std::string& path) {
    return AudioData::load_from_file_with_options(path, {});
  }
  testing::TempDir dir_;
  // 2,205 mono samples at 44.1 kHz (0.05 s), looped to 4,410 by the loader.
  std::string short_wav_ =
      dir_.write("short.wav", testing::wav_file(1, 44100, 16, std::string(4410, '\x11')));
};

std::vector<double> with_capacity(std::size_t n) {
  std::vector<double> v;
  v.reserve(n);
  return v;
}

TEST_F(BufferPool, TakesTheFirstFittingListWithinItsLimits) {
  for (std::size_t cap : {10u, 5000u, 30u}) ASSERT_TRUE(buffer_pool_give(with_capacity(cap)));
  EXPECT_EQ(buffer_pool_take(100).capacity(), 5000u);            // 10 released on the way
  EXPECT_EQ(buffer_pool_take(100).capacity(), 0u);               // 30 released, nothing fits
  ASSERT_TRUE(buffer_pool_give(std::vector<double>(100, 1.0)));  // given back full: kept empty
  EXPECT_TRUE(buffer_pool_take(0).empty());
  EXPECT_FALSE(buffer_pool_give(with_capacity(kBufferPoolMaxCapacitySamples + 1)));
  for (std::size_t i = 0; i < kBufferPoolMaxLists; ++i)
    ASSERT_TRUE(buffer_pool_give(std::vector<double>(1)));
  EXPECT_FALSE(buffer_pool_give(std::vector<double>(1)));
  EXPECT_EQ(buffer_pool_size(), kBufferPoolMaxLists);
  buffer_pool_set_broken(true);  // then bypassed
  EXPECT_EQ(buffer_pool_take(0).capacity(), 0u);
  EXPECT_FALSE(buffer_pool_give(std::vector<double>(1)));
}

TEST_F(BufferPool, LoopingTakesAPooledListAndPoolsItsPreLoopList) {
  ASSERT_TRUE(load(short_wav_).ok());
  EXPECT_EQ(buffer_pool_size(), 1u);  // the 2,205-sample list
  std::vector<double> big = with_capacity(10000);
  const double* storage = big.data();
  ASSERT_TRUE(buffer_pool_give(std::move(big)));
  Result<AudioData> audio = load(short_wav_);
  ASSERT_TRUE(audio.ok());
  EXPECT_EQ(audio->samples.data(), storage);
  EXPECT_EQ(audio->samples.size(), 4410u);
}

TEST_F(BufferPool, ThreadsTakingGivingClearingAndLoading) {
  const Result<AudioData> serial = load(short_wav_);
  ASSERT_TRUE(serial.ok());
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
        if (i % 80 == t) {
          const Result<AudioData> a = load(short_wav_);
          if (!a.ok() || a->samples != serial->samples) ++wrong;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace sonorik::detail
