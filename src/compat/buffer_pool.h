// The loader's process-wide pool of empty sample lists (internal to the
// audio folder; tests inspect it).
//
// A first-in first-out queue of at most 50 empty vectors that keep their
// capacity, so that repeatedly looping short files does not allocate a new
// large buffer each time. Only vectors of capacity <= 8,820,000 samples
// (100 s of stereo 44.1 kHz) are ever kept, which bounds what the pool holds.
// One mutex guards the queue and is held only for the queue operations;
// releasing memory happens outside it. If anything ever escaped from inside
// the locked region, the pool marks itself broken and is bypassed from then on.
#pragma once

#include <cstddef>
#include <vector>

namespace sonorik::detail {

inline constexpr std::size_t kBufferPoolMaxLists = 50;
inline constexpr std::size_t kBufferPoolMaxCapacitySamples = 8'820'000;

// Takes lists from the front of the queue until one has capacity of at least
// `min_capacity_samples`; smaller ones are released. Returns that list (empty),
// or a vector without capacity when none fits or the pool is broken.
std::vector<double> buffer_pool_take(std::size_t min_capacity_samples);

// Offers a list to the pool: it is cleared and kept at the back of the queue
// when its capacity is within the limit, the pool holds fewer than 50 lists
// and is not broken; otherwise it is released. Returns whether it was kept.
bool buffer_pool_give(std::vector<double> list);

// Inspection and reset, for tests.
std::size_t buffer_pool_size();
void buffer_pool_clear();
bool buffer_pool_is_broken();
void buffer_pool_set_broken(bool broken);

}  // namespace sonorik::detail
