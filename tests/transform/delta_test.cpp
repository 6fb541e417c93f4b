// The per-channel delta transform: sample values by width and byte order,
// channel interleaving, wrap-around, and a final partial sample.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "transform/delta.h"

namespace taq {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes forward(Bytes b, unsigned width, unsigned channels) {
    delta_forward(b.data(), b.size(), width, channels);
    return b;
}

Bytes inverse(Bytes b, unsigned width, unsigned channels) {
    delta_inverse(b.data(), b.size(), width, channels);
    return b;
}

TEST(Delta, DifferencesPerChannelInEachWidthsArithmetic) {
    EXPECT_EQ(forward({10, 12, 15}, 1, 1), (Bytes{10, 2, 3}));
    EXPECT_EQ(forward({1, 2, 3, 5, 7, 9, 4, 4, 4}, 1, 3), (Bytes{1, 2, 3, 4, 5, 6, 255, 253, 251}));
    // 16-bit little-endian: 0xFFFF - 0x0001 = 0xFFFE.
    EXPECT_EQ(forward({0x01, 0x00, 0xFF, 0xFF}, 2, 1), (Bytes{0x01, 0x00, 0xFE, 0xFF}));
    // Two channels of 16 bits: each against its own predecessor.
    EXPECT_EQ(forward({1, 0, 9, 0, 4, 0, 9, 1}, 2, 2), (Bytes{1, 0, 9, 0, 3, 0, 0, 1}));
    // 24-bit samples are most significant byte first: 0x0000FF - 0x000100 = 0xFFFFFF.
    EXPECT_EQ(forward({0x00, 0x01, 0x00, 0x00, 0x00, 0xFF}, 3, 1), (Bytes{0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF}));
    // 32-bit little-endian, modulo 2^32.
    EXPECT_EQ(forward({1, 0, 0, 0, 0, 0, 0, 0}, 4, 1), (Bytes{1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(inverse({10, 2, 3}, 1, 1), (Bytes{10, 12, 15}));
    EXPECT_EQ(inverse({0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF}, 3, 1), (Bytes{0x00, 0x01, 0x00, 0x00, 0x00, 0xFF}));
}

TEST(Delta, FinalPartialSampleIsLeftAsItIs) {
    EXPECT_EQ(forward({1, 0, 3, 0, 7}, 2, 1), (Bytes{1, 0, 2, 0, 7}));
    EXPECT_EQ(inverse({1, 0, 2, 0, 7}, 2, 1), (Bytes{1, 0, 3, 0, 7}));
    EXPECT_EQ(forward({0, 0, 1, 0, 0, 3, 9, 9}, 3, 1), (Bytes{0, 0, 1, 0, 0, 2, 9, 9}));
    EXPECT_EQ(forward({5, 0, 0, 0, 9, 9, 9}, 4, 1), (Bytes{5, 0, 0, 0, 9, 9, 9}));
    EXPECT_EQ(inverse({5, 0, 0, 0, 9, 9, 9}, 4, 1), (Bytes{5, 0, 0, 0, 9, 9, 9}));
    EXPECT_EQ(forward({200}, 2, 1), (Bytes{200}));
}

TEST(Delta, ForwardThenInverseIsIdentity) {
    std::mt19937 rng(7);
    for (unsigned width = 1; width <= 4; ++width) {
        for (unsigned channels = 1; channels <= 6; ++channels) {
            for (size_t n : {0u, 1u, 5u, 97u, 4099u}) {
                Bytes b(n);
                for (auto& c : b) c = static_cast<uint8_t>(rng());
                const Bytes f = forward(b, width, channels);
                if (n > 2 * width * channels) {
                    EXPECT_NE(f, b) << width << "x" << channels << " n=" << n;
                }
                EXPECT_EQ(inverse(f, width, channels), b) << width << "x" << channels << " n=" << n;
            }
        }
    }
}

}  // namespace
}  // namespace taq
