// The engine's lazy reset: after model_reset it must code exactly as a
// fresh engine does, whatever the data before touched (buckets, match
// slots, the final stage's weight regions, the flag stages).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "model/coder.h"
#include "model/engine.h"
#include "support/test_support.h"

namespace taq {
namespace {

using platform::File;

// Codes each string as one general segment (no text transform, every block
// modelled) and returns the coded bytes.
std::string code_segments(Engine& engine, const std::vector<std::string>& segments, const std::string& path) {
    File f = File::open(path, File::Mode::create);
    EXPECT_TRUE(f.valid());
    Encoder enc(&f);
    enc.start();
    for (const std::string& s : segments) {
        engine.clamp_general_segment();
        engine.text_applied = false;
        engine.min_match = 3;
        std::memcpy(engine.segment(), s.data(), s.size());
        for (size_t at = 0; at < s.size(); at += kBlockSize) {
            const uint32_t len = static_cast<uint32_t>(std::min<size_t>(kBlockSize, s.size() - at));
            engine.code_general_chunk(enc, engine.segment() + at, len, 0);
        }
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

TEST(EngineReset, CodesLikeAFreshEngine) {
    test::TempDir dir;
    const std::string later = mixed_data(50000, 7);
    Engine fresh(1u << 22);
    const std::string want = code_segments(fresh, {later}, dir.path() + "/fresh");

    // A small entry first (lazy clearing), then a large one that touches
    // most of the tables and many weight regions.
    for (size_t before : {size_t{3000}, size_t{400000}}) {
        Engine reused(1u << 22);
        code_segments(reused, {mixed_data(before, 3), test::random_bytes(20000, 9)}, dir.path() + "/first");
        reused.model_reset();
        EXPECT_EQ(code_segments(reused, {later}, dir.path() + "/second"), want) << before << " bytes before";
    }
}

}  // namespace
}  // namespace taq
