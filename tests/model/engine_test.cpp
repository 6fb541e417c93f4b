// The engine's lazy reset: after model_reset it must code exactly as a
// fresh engine does, whatever the data before touched (buckets, match
// slots, the final stage's weight regions, the flag stages, the small
// models). And the small-input map must code exactly as the tables, also
// when it moves into them halfway.
#include <gtest/gtest.h>


#include <cstring>
#include <string>
#include <vector>

#include "model/coder.h"
#include "model/engine.h"
#include "compress/segments.h"
#include "support/test_support.h"

namespace taq {
namespace {

using platform::File;

constexpr uint64_t kLarge = UINT64_MAX;  // a reset that expects much data: the tables from the start

// The bytes of the segment loop from and to memory.
struct MemoryIo {
    const std::string* in = nullptr;
    std::string out;
    bool read(uint8_t* seg, size_t n, uint64_t position) {
        std::memcpy(seg, in->data() + position, n);
        return true;
    }
    void write(const uint8_t* seg, size_t n, uint64_t) { out.append(reinterpret_cast<const char*>(seg), n); }
    void count(uint64_t) {}
};

// Codes each string as the data of one general entry (continuing the
// model) and returns the coded bytes.
std::string code_segments(Engine& engine, const std::vector<std::string>& segments, const std::string& path) {
    File f = File::open(path, File::Mode::create);
    EXPECT_TRUE(f.valid());
    Encoder enc(&f);
    enc.start();
    DigramTransform digram;
    for (const std::string& s : segments) {
        MemoryIo io{&s, {}};
        EXPECT_EQ(code_segments(engine, digram, enc, CodingChoices{}, s.size(), io).status, SegmentOutcome::ok);
    }
    enc.flush();
    f.close();
    return test::read_file(path);
}

// Text-like data with long repeats (match hits) and random stretches (new
// contexts everywhere).
std::string mixed_data(size_t n, uint32_t seed) {
    const std::string noise = test::random_bytes(n, seed);
    std::string out;
    const std::string phrase = "for (size_t i = 0; i < n; ++i) total += weights[i] * inputs[i];\n";
    for (size_t i = 0; out.size() < n; ++i) out += (i % 3 == 2) ? noise.substr(out.size() % (n / 2), 300) : phrase;
    out.resize(n);
    return out;
}

// Decodes `coded` as the data of one general entry of `n` bytes.
std::string decode_segment(Engine& engine, const std::string& coded, size_t n, const std::string& path) {
    test::write_file(path, coded);
    File f = File::open(path, File::Mode::read_existing);
    EXPECT_TRUE(f.valid());
    Decoder dec(f);
    dec.start(0, coded.size());
    DigramTransform digram;
    MemoryIo io;
    EXPECT_EQ(code_segments(engine, digram, dec, CodingChoices{}, n, io).status, SegmentOutcome::ok);
    return io.out;
}

TEST(EngineReset, CodesLikeAFreshEngine) {
    test::TempDir dir;
    const std::string later = mixed_data(50000, 7);
    Engine fresh(1u << 22);
    fresh.model_reset(kLarge);
    const std::string want = code_segments(fresh, {later}, dir.path() + "/fresh");

    // A small entry first (lazy clearing), then a large one that touches
    // most of the tables and many weight regions; each in the map (moved
    // into the tables when it grows) or in the tables.
    for (uint64_t expected : {uint64_t{1000}, kLarge}) {
        for (size_t before : {size_t{3000}, size_t{400000}}) {
            Engine reused(1u << 22);
            reused.model_reset(expected);
            code_segments(reused, {mixed_data(before, 3), test::random_bytes(20000, 9)}, dir.path() + "/first");
            for (uint64_t next : {kLarge, uint64_t{1000}}) {
                reused.model_reset(next);
                EXPECT_EQ(code_segments(reused, {later}, dir.path() + "/second"), want)
                    << before << " bytes before, expecting " << expected << " then " << next;
            }
        }
    }
}

// A reset costs what the entry before it touched: after an entry that
// touched more buckets than the reset keeps track of (so that it clears
// the tables whole), the history past the written part stays unmapped.
// (The history follows the segment buffer in the engine's one mapping.)
TEST(EngineReset, LeavesTheUnwrittenHistoryAlone) {
    test::TempDir dir;
    constexpr uint32_t kMemory = 1u << 22;
    constexpr size_t kPage = 4096;
    Engine engine(kMemory);
    engine.model_reset(kLarge);
    const size_t written = 400000;
    code_segments(engine, {mixed_data(written, 5)}, dir.path() + "/first");
    engine.model_reset(kLarge);
    const uint8_t* history = engine.segment() + kSegmentSize;
    const std::vector<bool> pages = test::resident_pages(history, kMemory);
    ASSERT_EQ(pages.size(), kMemory / kPage);
    size_t resident = 0;
    for (bool p : pages) resident += p;
    // The written pages, and the last one: the first comparisons of the
    // match model read back across the start of the buffer.
    EXPECT_LE(resident, (written + kPage - 1) / kPage + 1);
    // And the engine still codes as a fresh one.
    Engine fresh(kMemory);
    fresh.model_reset(kLarge);
    const std::string later = mixed_data(30000, 8);
    EXPECT_EQ(code_segments(engine, {later}, dir.path() + "/second"),
              code_segments(fresh, {later}, dir.path() + "/fresh"));
}

// The small direct models are set up on first use and again on the first
// use after a reset: coding after general data, and after a reset that
// followed small-model data, matches a fresh engine.
std::string code_serial_segment(Engine& engine, const std::string& s, const std::string& path) {
    File f = File::open(path, File::Mode::create);
    EXPECT_TRUE(f.valid());
    Encoder enc(&f);
    enc.start();
    CodingChoices media;
    media.general_path = 0;
    media.data_kind = DataKind::media;
    DigramTransform digram;
    MemoryIo io{&s, {}};
    EXPECT_EQ(code_segments(engine, digram, enc, media, s.size(), io).status, SegmentOutcome::ok);
    enc.flush();
    f.close();
    return test::read_file(path);
}

TEST(EngineReset, SmallModelsCodeLikeAFreshEngine) {
    test::TempDir dir;
    const std::string data = mixed_data(30000, 5);
    Engine fresh(1u << 22);
    fresh.model_reset(kLarge);
    const std::string want = code_serial_segment(fresh, data, dir.path() + "/fresh");

    Engine reused(1u << 22);
    reused.model_reset(kLarge);
    code_segments(reused, {mixed_data(20000, 3)}, dir.path() + "/general");
    EXPECT_EQ(code_serial_segment(reused, data, dir.path() + "/after-general"), want);
    reused.model_reset(kLarge);
    EXPECT_EQ(code_serial_segment(reused, data, dir.path() + "/after-reset"), want);
    // Without a reset the models go on learning: the same data codes smaller.
    EXPECT_LT(code_serial_segment(reused, data, dir.path() + "/again").size(), want.size());
}

// The map holds what a few thousand bytes touch; 300,000 bytes fill it past
// its limit at 4 MiB, so coding starts in the map and ends in the tables.
TEST(EngineSparse, CodesAndDecodesLikeTheTables) {
    test::TempDir dir;
    for (size_t n : {size_t{5000}, size_t{300000}}) {
        const std::string data = mixed_data(n, 11);
        Engine tables(1u << 22), small(1u << 22);
        tables.model_reset(kLarge);
        small.model_reset(100);
        const std::string want = code_segments(tables, {data}, dir.path() + "/tables");
        EXPECT_EQ(code_segments(small, {data}, dir.path() + "/small"), want) << n;
        EXPECT_FALSE(tables.in_small_map());
        EXPECT_EQ(small.in_small_map(), n == 5000) << n;

        // And either way back.
        for (uint64_t expected : {kLarge, uint64_t{100}}) {
            Engine decoder(1u << 22);
            decoder.model_reset(expected);
            EXPECT_TRUE(decode_segment(decoder, want, n, dir.path() + "/in") == data) << n << " " << expected;
        }
    }
}

// Mapping the tables and the map in ahead (large pages or small) changes
// nothing that is coded, also when the map grows, and so maps more lines
// in, while it holds entries (200,000 bytes after a reset expecting 100).
TEST(EnginePages, PopulatedTablesCodeAlike) {
    test::TempDir dir;
    const std::string data = mixed_data(200000, 13);
    for (uint64_t expected : {kLarge, uint64_t{100}}) {
        Engine plain(1u << 24), populated(1u << 24);
        populated.prefer_large_pages(2);
        plain.model_reset(expected);
        populated.model_reset(expected);
        EXPECT_EQ(code_segments(populated, {data}, dir.path() + "/populated"),
                  code_segments(plain, {data}, dir.path() + "/plain"))
            << expected;
    }
}

}  // namespace
}  // namespace taq
