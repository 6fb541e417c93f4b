// The call-address transform: exact rewrites of E8/E9 displacements, the
// positions that are never tested, and forward then inverse as identity.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support/test_support.h"
#include "transform/x86.h"

namespace taq {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes forward(Bytes b) {
    x86_forward(b.data(), b.size());
    return b;
}

Bytes inverse(Bytes b) {
    x86_inverse(b.data(), b.size());
    return b;
}

TEST(X86, RewritesDisplacementsIntoAbsoluteTargets) {
    // Tested only once the byte after the displacement is there.
    EXPECT_EQ(forward({0xE8, 0, 0, 0, 0}), (Bytes{0xE8, 0, 0, 0, 0}));
    EXPECT_EQ(forward({0xE8, 0, 0, 0, 0, 0x42}), (Bytes{0xE8, 0x80, 0x00, 0x02, 0x00, 0x42}));
    EXPECT_EQ(forward({0xE9, 0, 0, 0, 0, 0x00}), (Bytes{0xE9, 0x80, 0x00, 0x02, 0x00, 0x00}));
    // A call with displacement -1 at offset 1 has target 5, as above.
    EXPECT_EQ(forward({0x90, 0xE8, 0xFF, 0xFF, 0xFF, 0xFF, 0x90}),
              (Bytes{0x90, 0xE8, 0x80, 0x00, 0x02, 0x00, 0x90}));
    // Even z: the last byte is 0xFF. d = 0x10, c = 6: z = 0x1000016.
    EXPECT_EQ(forward({0x00, 0xE8, 0x10, 0, 0, 0, 0x00}), (Bytes{0x00, 0xE8, 0x80, 0x00, 0x0B, 0xFF, 0x00}));
    // The edges of the range, -0x1000000 and 0xFFFFFF, are rewritten
    // (targets 5 and 4 modulo 2^25).
    EXPECT_EQ(forward({0xE8, 0x00, 0x00, 0x00, 0xFF, 0}), (Bytes{0xE8, 0x00, 0x00, 0x02, 0x00, 0}));
    EXPECT_EQ(forward({0xE8, 0xFF, 0xFF, 0xFF, 0x00, 0}), (Bytes{0xE8, 0x00, 0x00, 0x02, 0xFF, 0}));
}

TEST(X86, OutOfRangeDisplacementsStayAndStillBlockTheirBytes) {
    for (const Bytes& b : {Bytes{0xE8, 0x00, 0x00, 0x00, 0x01, 0x00}, Bytes{0xE8, 0xFF, 0xFF, 0xFF, 0xFE, 0x00},
                           Bytes{0xE8, 0x12, 0x34, 0x56, 0x78, 0x9A}})
        EXPECT_EQ(forward(b), b);
    // The E8 at offset 2 lies inside the first one's (out-of-range)
    // displacement; tested, its displacement 0x1000 would be rewritten.
    const Bytes inside{0xE8, 0x00, 0xE8, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(forward(inside), inside);
    // E8 E8: the first call's displacement 0xE8 is rewritten (c = 5,
    // z = 0x10000ED); the second opcode is never tested.
    EXPECT_EQ(forward({0xE8, 0xE8, 0, 0, 0, 0, 0, 0}), (Bytes{0xE8, 0x80, 0x00, 0x76, 0x00, 0, 0, 0}));
}

TEST(X86, ForwardThenInverseIsIdentity) {
    std::mt19937 rng(99);
    for (size_t n : {0u, 1u, 4u, 5u, 6u, 8u, 9u, 13u, 1000u, 70000u}) {
        // Dense in opcodes and in small displacements, so that most get rewritten.
        Bytes b(n);
        for (auto& c : b) {
            const uint32_t r = rng() % 6;
            c = r == 0 ? 0xE8 : r == 1 ? 0xE9 : r == 2 ? 0x00 : r == 3 ? 0xFF : static_cast<uint8_t>(rng());
        }
        const Bytes f = forward(b);
        ASSERT_EQ(f.size(), n);
        if (n >= 1000) {
            EXPECT_NE(f, b) << n;
        }
        EXPECT_EQ(inverse(f), b) << n;
    }

    const std::string so = test::read_file(test::test_data_dir() + "/vectors/inputs/libz.so");
    ASSERT_GT(so.size(), 100000u);
    const Bytes code(so.begin(), so.end());
    const Bytes f = forward(code);
    size_t changed = 0;
    for (size_t i = 0; i < code.size(); ++i) changed += f[i] != code[i];
    EXPECT_GT(changed, 1000u);
    EXPECT_TRUE(inverse(f) == code);
}

}  // namespace
}  // namespace taq
