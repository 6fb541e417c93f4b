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

// The models mix as w[s0] * m0 + w[s1] * m1, shifted by 13: a fresh pair
// (0, 4096) passes its second input halved.
TEST(Mixer2Test, FreshPairPassesSecondInputHalved) {
    Mixer2 m(4);
    for (int32_t m1 : {0, 1, 2, 3, -1, -3, 2047, -2047, 100000})
        EXPECT_EQ(mix_sum(m.weights(), 6, 512, 7, m1) >> 13, m1 >> 1) << m1;
    // A split selection: the first weight of pair 0, the second of pair 2.
    EXPECT_EQ(mix_sum(m.weights(), 0, 3072, 5, -7) >> 13, -4);
}

TEST(Mixer2Test, LearnRoundsTowardsMinusInfinityAndWraps) {
    Mixer2 m(2);
    int16_t* w = m.data();
    learn_weight(w, 2, -16384, 1);  // (-16384 + 16384) >> 15 = 0
    EXPECT_EQ(w[2], 0);
    learn_weight(w, 2, -16385, 1);  // floor(-1 / 32768) = -1
    EXPECT_EQ(w[2], -1);
    learn_weight(w, 2, 16383, 1);  // (16383 + 16384) >> 15 = 0
    EXPECT_EQ(w[2], -1);
    learn_weight(w, 2, 16384, 1);  // exactly one half rounds up
    EXPECT_EQ(w[2], 0);
    learn_weight(w, 3, 123456, 0);  // no input, no step
    EXPECT_EQ(w[3], 4096);
    EXPECT_EQ(w[0], 0);
    EXPECT_EQ(w[1], 4096);

    // Weights are 16-bit: 4096 + 32768 wraps to -28672; the clamp then bounds it.
    learn_weight(w, 1, 2048, 1 << 19);
    EXPECT_EQ(w[1], -28672);
    m.clamp();
    EXPECT_EQ(w[1], -16384);
    learn_weight(w, 0, 1024, 1 << 19);  // 0 + 16384: on the bound, kept
    learn_weight(w, 0, 64, 1 << 19);    // 16384 + 1024
    EXPECT_EQ(w[0], 17408);
    m.clamp();
    EXPECT_EQ(w[0], 16384);
    // The product wraps at 32 bits before the rounding.
    learn_weight(w, 2, 1 << 16, 1 << 16);
    EXPECT_EQ(w[2], 0);
}

// A stage learns from its own squashed output, as the match model's flag
// stages do once the byte is known.
TEST(Mixer2Test, LearningFromTheSquashedOutput) {
    Mixer2 m(1);
    int16_t* w = m.data();
    const int32_t out = mix_sum(w, 0, 0, 1, 1000) >> 13;
    EXPECT_EQ(out, 500);
    ASSERT_EQ(squash(out), 3581);
    const int32_t err = (0 << 12) - squash(out);  // err = -3581: (-3,581,000 + 16384) >> 15 = -109
    learn_weight(w, 0, err, 0);
    learn_weight(w, 1, err, 1000);
    EXPECT_EQ(w[1], 4096 - 109);
    EXPECT_EQ(w[0], 0);
    m.reset();
    EXPECT_EQ(w[0], 0);
    EXPECT_EQ(w[1], 4096);
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
