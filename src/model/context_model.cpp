#include "model/context_model.h"

#include <algorithm>
#include <cstring>

namespace taq {

namespace {

// Calls f(r) for every set bit r of the 512-bit map, and clears the map.
template <class F>
void for_each_region(uint64_t (&map)[8], F f) {
    for (size_t k = 0; k < 8; ++k) {
        for (uint64_t m = map[k]; m != 0; m &= m - 1) f(64 * k + static_cast<size_t>(__builtin_ctzll(m)));
        map[k] = 0;
    }
}

}  // namespace

void ContextModel::clamp_segment() {
    for_each_region(final_unclamped, [this](size_t r) { final_stage.clamp_pairs(256 * r, 256); });
}

void ContextModel::reset_weights() {
    std::memset(rows, 0, kRowArea);
    std::fill(std::begin(final_used), std::end(final_used), uint64_t{0});
    std::fill(std::begin(final_unclamped), std::end(final_unclamped), uint64_t{0});
    stages.reset();
}

}  // namespace taq
