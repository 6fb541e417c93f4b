// The arithmetic coder on its own: exact bytes where they are known, and
// decoding back what was encoded, across carries and buffer boundaries.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "compress/compress.h"
#include "model/coder.h"
#include "support/test_support.h"

namespace taq {
namespace {

using platform::File;

struct Decision {
    int bit;
    uint32_t p;  // 0: a direct bit
};

// Encodes the decisions into a file and returns its bytes; checks that
// coded_size counts exactly what reached the file.
// With `split`, modelled bits go through step() and settle() instead.
std::string encode(const std::string& path, const std::vector<Decision>& decisions, bool split = false) {
    File f = File::open(path, File::Mode::create);
    EXPECT_TRUE(f.valid());
    Encoder enc(&f);
    enc.start();
    for (const Decision& d : decisions) {
        if (d.p && split) {
            enc.step(d.bit, d.p);
            enc.settle();
        } else if (d.p) {
            enc.bit(d.bit, d.p);
        } else {
            enc.direct(d.bit);
        }
    }
    enc.flush();
    EXPECT_FALSE(enc.failed());
    f.close();
    const std::string bytes = test::read_file(path);
    EXPECT_EQ(enc.coded_size, bytes.size());
    return bytes;
}

// Decodes with the same probabilities; the index of the first wrong bit, or
// decisions.size() when all come back.
size_t decode_matches(const std::string& path, const std::vector<Decision>& decisions, bool split = false) {
    File f = File::open(path, File::Mode::read_existing);
    EXPECT_TRUE(f.valid());
    Decoder dec(f);
    dec.start(0, platform::file_size(path));
    for (size_t i = 0; i < decisions.size(); ++i) {
        const Decision& d = decisions[i];
        int bit;
        if (d.p && split) {
            bit = dec.step(0, d.p);
            dec.settle();
        } else {
            bit = d.p ? dec.bit(0, d.p) : dec.direct(0);
        }
        if (bit != d.bit) return i;
    }
    return decisions.size();
}

TEST(Coder, EmptyStreamIsFiveZeroBytes) {
    test::Messages msgs;
    test::TempDir dir;
    EXPECT_EQ(encode(dir.file("s"), {}), std::string(5, '\0'));
}

// The interval is steered so that it keeps straddling the point where the
// held-back byte would be incremented: every shifted-out byte is 0xFF and
// stays pending, more than 70,000 of them. The last decision then lands
// above that point, so the held-back byte 0x7F becomes 0x80 and every
// pending 0xFF becomes 0x00, across the 65,536-byte buffer boundary.
TEST(Coder, CarryThroughLongPendingRunAcrossBufferBoundary) {
    test::Messages msgs;
    std::vector<Decision> d;
    d.push_back({0, 0});
    for (int i = 0; i < 8; ++i) d.push_back({1, 0});
    for (int i = 0; i < 23; ++i) d.push_back({1, 2048});
    d.push_back({0, 2047});
    for (int i = 0; i < 11; ++i) d.push_back({1, 2048});
    for (int k = 0; k < 25500; ++k) {
        for (int i = 0; i < 11; ++i) d.push_back({0, 2048});
        for (int i = 0; i < 11; ++i) d.push_back({1, 2048});
    }
    d.push_back({0, 4095});

    std::string want("\x00\x7f\xff\xff\xff\x80", 6);
    want += std::string(70127, '\0');
    want += "\xff\xe0";
    want += '\0';

    test::TempDir dir;
    const std::string got = encode(dir.file("s"), d);
    ASSERT_EQ(got.size(), want.size());
    size_t at = 0;
    while (at < got.size() && got[at] == want[at]) ++at;
    EXPECT_EQ(at, got.size()) << "first differing byte at " << at;
    EXPECT_EQ(decode_matches(dir.file("s"), d), d.size());
}

TEST(Coder, RandomDecisionsRoundTrip) {
    test::Messages msgs;
    std::mt19937 rng(12345);
    test::TempDir dir;
    // Short streams, and one long enough to fill the buffer several times.
    for (size_t count : {1u, 7u, 100u, 5000u, 2000000u}) {
        std::vector<Decision> d;
        d.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            const uint32_t kind = rng() % 8;
            uint32_t p = 0;  // direct
            if (kind == 1) p = 1;
            else if (kind == 2) p = 4095;
            else if (kind >= 3) p = 1 + rng() % 4095;
            // Mostly the likely bit, sometimes the unlikely one.
            const bool likely = rng() % 8 != 0;
            const int bit = p == 0 ? static_cast<int>(rng() & 1) : static_cast<int>((p >= 2048) == likely);
            d.push_back({bit, p});
        }
        const std::string bytes = encode(dir.file("s"), d);
        if (count == 2000000u) {
            ASSERT_GT(bytes.size(), 2 * kCoderBuffer);
        }
        EXPECT_EQ(decode_matches(dir.file("s"), d), d.size()) << count << " decisions";
        // The split step is the same coder: same bytes, same bits back.
        if (count <= 5000u) {
            EXPECT_EQ(encode(dir.file("t"), d, true), bytes) << count << " decisions";
            EXPECT_EQ(decode_matches(dir.file("s"), d, true), d.size()) << count << " decisions";
        }
    }
}

// The first decisions of a general stream: the text flag, 24 length bits,
// the raw flag of the first block, then the first bit of the first byte
// from a fresh context model.
TEST(Coder, FreshGeneralStreamStartsAtSquashOfZero) {
    test::Messages msgs;
    test::TempDir dir;
    test::write_file(dir.file("in"), std::string("hello world"));
    CompressOptions options;
    options.model_memory = 4194304;
    Compressor compressor(options, msgs.diag);
    const std::string trace = compressor.trace_decisions(dir.file("in"), dir.file("scratch"), 27);
    std::string want = "d 0\n";
    for (int bit = 23; bit >= 0; --bit) want += std::string("d ") + ((11 >> bit) & 1 ? "1" : "0") + "\n";
    want += "d 0\n2043 0\n";  // 'h' = 0x68: its top bit is 0
    EXPECT_EQ(trace, want);
}

}  // namespace
}  // namespace taq
