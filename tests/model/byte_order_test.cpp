// Words read from history bytes: the loads give the same numbers on every
// host, at every alignment, and the match model's slot hash and backward
// check, which read the history as words, count as their byte-wise
// definitions do. (On a little-endian host these hold by themselves; the
// cross builds run them on a big-endian one.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "model/byte_context.h"
#include "model/byte_order.h"
#include "model/match_model.h"
#include "model/table_memory.h"

namespace taq {
namespace {

TEST(ByteOrder, LoadsTakeTheirBytesInTheirOrderAtEveryAlignment) {
    uint8_t buf[24];
    for (int i = 0; i < 24; ++i) buf[i] = static_cast<uint8_t>(0x11 * (i % 15) + 1 + i / 15);
    for (int at = 0; at < 16; ++at) {
        const uint8_t* p = buf + at;
        uint64_t le = 0;
        for (int i = 7; i >= 0; --i) le = (le << 8) | p[i];
        EXPECT_EQ(load_le64(p), le) << at;
        EXPECT_EQ(load_le32(p), static_cast<uint32_t>(le)) << at;
        EXPECT_EQ(load_be32(p), uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]) << at;
    }
    const uint8_t fixed[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    EXPECT_EQ(load_le32(fixed), 0x67452301u);
    EXPECT_EQ(load_le32(fixed + 3), 0xCDAB8967u);
    EXPECT_EQ(load_be32(fixed + 1), 0x23456789u);
    EXPECT_EQ(load_le64(fixed), 0xEFCDAB8967452301u);
}

constexpr uint32_t kRingBytes = 1u << 16;

struct MatchAlone {
    TableMemory tables{kRingBytes};
    MatchModel model{tables.hot, kRingBytes};
    ByteContext bytes;
    MatchAlone() {
        bytes.history = tables.history;
        bytes.mask = kRingBytes - 1;
    }
};

// The slot of the newest bytes, as the byte step forms it (the newest four
// from the register) and as the fetches ahead do (from memory), against the
// hash written out byte by byte, and one value pinned.
TEST(ByteOrder, TheMatchSlotHashesTheNewestBytesAsLittleEndianWords) {
    MatchAlone m;
    const char* text = "order matters";
    for (const char* c = text; *c; ++c) m.bytes.push(static_cast<uint8_t>(*c));
    const uint8_t* e = m.bytes.history + m.bytes.pos;
    auto le = [&](int back) {
        return uint32_t{e[-back]} | uint32_t{e[-back + 1]} << 8 | uint32_t{e[-back + 2]} << 16 |
               uint32_t{e[-back + 3]} << 24;
    };
    const uint32_t mask = kRingBytes / 16 - 1;
    const uint32_t plain = (le(7) * 16777619u ^ m.bytes.newest4) & mask;
    const uint32_t text_slot = (le(8) * 16777619u ^ le(4)) & mask;
    EXPECT_EQ(m.model.slot(e, m.bytes.newest4, false), plain);
    EXPECT_EQ(m.model.slot(e, m.bytes.newest4, true), text_slot);
    EXPECT_EQ(m.model.slot(e, load_be32(e - 4), false), plain);
    EXPECT_EQ(m.model.slot(e, load_be32(e - 4), true), text_slot);
    // "matters": the word "matt" times the prime, xor "ters" newest lowest.
    EXPECT_EQ(plain, ((0x7474616Du * 16777619u) ^ 0x74657273u) & mask);
}

// The backward check counts the agreeing bytes before two positions up to
// 32, eight at a time where both have 32 bytes behind them; a difference
// at each distance gives the count of the bytes after it.
TEST(ByteOrder, TheBackwardCheckCountsFromTheNewestByte) {
    MatchAlone m;
    std::vector<uint8_t> run(40);
    for (size_t i = 0; i < run.size(); ++i) run[i] = static_cast<uint8_t>(i * 7 + 3);
    // Byte by byte across the ring's end, and word by word.
    for (uint32_t origin : {kRingBytes - 20, 40u, 200u}) {
        for (uint32_t k = 1; k <= 33; ++k) {
            m.bytes.reset();
            std::fill(m.tables.history, m.tables.history + kRingBytes, 0);
            // The same 40 bytes before `origin + 40` and before the end;
            // the k-th newest differs.
            for (uint32_t i = 0; i < 40; ++i) m.tables.history[(origin + i) & m.bytes.mask] = run[i];
            const uint32_t end = 400;
            for (uint32_t i = 0; i < 40; ++i) m.tables.history[end - 40 + i] = run[i];
            if (k <= 32) m.tables.history[end - k] ^= 0x5A;
            m.bytes.pos = end;
            m.model.ptr = origin + 40;
            EXPECT_EQ(m.model.verify(m.bytes), std::min(k - 1, 32u)) << "origin " << origin << ", k " << k;
        }
    }
}

}  // namespace
}  // namespace taq
