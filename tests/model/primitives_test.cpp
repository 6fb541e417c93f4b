// The integer primitives every model is built from: squash, the bit-history
// states, the adaptive counters and Mixer2. Compressor and decompressor must
// agree on them bit for bit, so the values are checked exactly.
#include <gtest/gtest.h>

#include <algorithm>

#include "model/primitives.h"

namespace taq {
namespace {

// The interpolation points of the squash table.
constexpr int32_t kSquashPoints[33] = {1,    2,    3,    6,    10,   16,   27,   45,   73,   120,  194,
                                       310,  488,  747,  1101, 1546, 2047, 2549, 2994, 3348, 3607, 3785,
                                       3901, 3975, 4022, 4050, 4068, 4079, 4085, 4089, 4092, 4093, 4095};

TEST(Squash, EndsAndCentre) {
    EXPECT_EQ(squash(-100000), 1);
    EXPECT_EQ(squash(-2047), 1);
    EXPECT_EQ(squash(-2046), 1);
    EXPECT_EQ(squash(0), 2043);
    EXPECT_EQ(squash(1), 2047);
    EXPECT_EQ(squash(2048), 4095);
    EXPECT_EQ(squash(2049), 4095);
    EXPECT_EQ(squash(100000), 4095);
    // Halfway between two points: (64 * 2047 + 64 * 2549 + 64) >> 7.
    EXPECT_EQ(squash(65), 2298);
}

TEST(Squash, HitsEveryInterpolationPointAndNeverFalls) {
    // The lookup is offset by 2047, so point k sits at x = 1 + 128 (k - 16).
    for (int k = 0; k < 32; ++k) EXPECT_EQ(squash(1 + 128 * (k - 16)), kSquashPoints[k]) << "point " << k;
    for (int32_t x = -2100; x < 2100; ++x) {
        ASSERT_LE(squash(x), squash(x + 1)) << x;
        ASSERT_GE(squash(x), 1);
        ASSERT_LE(squash(x), 4095);
    }
}

TEST(Counter, TransitionsAndRateBands) {
    EXPECT_EQ(counter_next(0, 1), 256);
    EXPECT_EQ(counter_next(0, 0), 0);
    EXPECT_EQ(counter_next(2047, 0), 1792);
    EXPECT_EQ(counter_next(2047, 1), 2047);
    EXPECT_EQ(counter_next(1024, 1), 1052);
    EXPECT_EQ(counter_next(1024, 0), 996);
    // Band edges: 1017 is in the innermost band (1/36), 1016 in the next (1/32).
    EXPECT_EQ(counter_next(1017, 1), 1017 + 1031 / 36);
    EXPECT_EQ(counter_next(1016, 1), 1016 + 1032 / 32);
    EXPECT_EQ(counter_next(1031, 0), 1031 - 1031 / 36);
    EXPECT_EQ(counter_next(1032, 0), 1032 - 1032 / 32);
    // 256 is outside every band (1/8), 257 in the outermost one (1/12).
    EXPECT_EQ(counter_next(256, 0), 256 - 256 / 8);
    EXPECT_EQ(counter_next(257, 0), 257 - 257 / 12);
    EXPECT_EQ(counter_next(1791, 1), 1791 + 257 / 12);
    EXPECT_EQ(counter_next(1792, 1), 1792 + 256 / 8);
    for (int c = 0; c < 2048; ++c) {
        ASSERT_LE(counter_next(static_cast<uint16_t>(c), 0), c);
        ASSERT_GE(counter_next(static_cast<uint16_t>(c), 1), c);
        ASSERT_LE(counter_next(static_cast<uint16_t>(c), 1), 2047);
    }
}

TEST(States, TableEntriesAndItsSplitForm) {
    EXPECT_EQ(state_next(0, 0), 1);
    EXPECT_EQ(state_next(0, 1), 2);
    EXPECT_EQ(state_p(0), 2049);
    // A few rows from the middle and the end of the table.
    EXPECT_EQ(state_next(41, 0), 53);
    EXPECT_EQ(state_next(41, 1), 43);
    EXPECT_EQ(state_p(41), 513);
    EXPECT_EQ(state_next(142, 0), 100);
    EXPECT_EQ(state_next(142, 1), 148);
    EXPECT_EQ(state_p(142), 3841);
    EXPECT_EQ(state_next(246, 1), 69);
    EXPECT_EQ(state_next(252, 0), 140);
    EXPECT_EQ(state_next(252, 1), 252);
    EXPECT_EQ(state_p(252), 4001);
    for (int s = 0; s < 253; ++s) {
        const auto st = static_cast<uint8_t>(s);
        for (int bit = 0; bit < 2; ++bit) {
            ASSERT_LT(state_next(st, bit), 253) << "state " << s << " leaves the used states";
            ASSERT_EQ(state_next(st, bit), bit ? kStates[s].next1 : kStates[s].next0) << s;
        }
        ASSERT_EQ(state_centred(st), state_p(st) - 2047) << s;
        ASSERT_GE(state_p(st), 1);
        ASSERT_LE(state_p(st), 4095);
    }
}

TEST(Mixer2Test, FreshPairPassesSecondInputHalved) {
    Mixer2 m(4);
    for (int32_t m1 : {0, 1, 2, 3, -1, -3, 2047, -2047, 100000}) {
        EXPECT_EQ(m.mix_shared(3, 512, m1), m1 >> 1) << m1;
        EXPECT_EQ(m.out(), m1 >> 1);
    }
    EXPECT_EQ(m.mix_split(0, 3072, 2, -7), -4);
}

TEST(Mixer2Test, LearnRoundsTowardsMinusInfinityAndWraps) {
    Mixer2 m(2);
    m.mix_shared(1, 1, 0);  // slots 2 and 3, inputs 1 and 0
    m.learn(-16384);        // (-16384 + 16384) >> 15 = 0
    EXPECT_EQ(m.weights()[2], 0);
    EXPECT_EQ(m.weights()[3], 4096);
    m.learn(-16385);  // floor(-1 / 32768) = -1
    EXPECT_EQ(m.weights()[2], -1);
    m.learn(16383);  // (16383 + 16384) >> 15 = 0
    EXPECT_EQ(m.weights()[2], -1);
    m.learn(16384);  // exactly one half rounds up
    EXPECT_EQ(m.weights()[2], 0);
    m.learn(0);
    EXPECT_EQ(m.weights()[2], 0);
    EXPECT_EQ(m.weights()[3], 4096);
    EXPECT_EQ(m.weights()[0], 0);
    EXPECT_EQ(m.weights()[1], 4096);

    // Weights are 16-bit: 4096 + 32768 wraps to -28672; the clamp then bounds it.
    m.mix_shared(0, 0, 1 << 19);
    m.learn(2048);
    EXPECT_EQ(m.weights()[1], -28672);
    m.clamp();
    EXPECT_EQ(m.weights()[1], -16384);
    m.mix_shared(0, 1 << 19, 0);
    m.learn(1024);  // 0 + 16384: on the bound, kept
    m.learn(64);    // 16384 + 1024
    EXPECT_EQ(m.weights()[0], 17408);
    m.clamp();
    EXPECT_EQ(m.weights()[0], 16384);
}

TEST(Mixer2Test, SplitSelectionLearnsOnlyItsTwoWeights) {
    Mixer2 m(8);
    m.mix_split(2, 1000, 5, 1000);  // first weight of pair 2, second of pair 5
    m.learn(4000);                  // (4,000,000 + 16384) >> 15 = 122
    for (int slot = 0; slot < 16; ++slot) {
        const int want = slot == 4 ? 122 : slot == 11 ? 4096 + 122 : (slot % 2 ? 4096 : 0);
        EXPECT_EQ(m.weights()[slot], want) << "slot " << slot;
    }
    m.reset();
    for (int slot = 0; slot < 16; ++slot) EXPECT_EQ(m.weights()[slot], slot % 2 ? 4096 : 0) << slot;
}

TEST(Mixer2Test, LearnOwnUsesTheSquashedOutput) {
    Mixer2 m(1);
    EXPECT_EQ(m.mix_shared(0, 0, 1000), 500);
    ASSERT_EQ(squash(500), 3581);
    m.learn_own(0);  // err = -3581: (-3,581,000 + 16384) >> 15 = -109
    EXPECT_EQ(m.weights()[1], 4096 - 109);
    EXPECT_EQ(m.weights()[0], 0);
}

TEST(Mixer2Test, RangeResetAndClampTouchOnlyTheirPairs) {
    // 13 pairs from pair 3 on: vector-wide steps plus a scalar tail, with
    // neighbours on both sides that must not move.
    Mixer2 m(32);
    int16_t* w = m.data();
    const int16_t pattern[] = {20000, -20000, 16385, -16385, 16384, -16384, 100, -7};
    for (int i = 0; i < 64; ++i) w[i] = pattern[i % 8];
    m.clamp_pairs(3, 13);
    for (int i = 0; i < 64; ++i) {
        const int16_t v = pattern[i % 8];
        const int16_t want = (i >= 6 && i < 32) ? static_cast<int16_t>(std::clamp<int>(v, -16384, 16384)) : v;
        EXPECT_EQ(w[i], want) << "slot " << i;
    }
    m.reset_pairs(3, 13);
    for (int i = 0; i < 64; ++i) {
        const int16_t want = (i >= 6 && i < 32) ? (i % 2 ? 4096 : 0) : pattern[i % 8];
        EXPECT_EQ(w[i], want) << "slot " << i;
    }
}

}  // namespace
}  // namespace taq
