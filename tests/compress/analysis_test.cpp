// The analysis: entropy and text verdicts, the delta trial and its ties,
// signatures, the image probe, and the corrections of header values that
// cannot describe the data.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compress/analysis.h"
#include "support/test_support.h"
#include "transform/delta.h"

namespace taq {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::string_literals;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

Analysis analyse(const std::string& window) {
    Analyser analyser;
    Bytes w = bytes_of(window);
    const Analysis a = analyser.analyse(w.data(), w.size());
    EXPECT_EQ(w, bytes_of(window)) << "the trial must leave the window as it found it";
    return a;
}

void expect_general(const Analysis& a, const std::string& what) {
    EXPECT_EQ(a.general_path, 1) << what;
    EXPECT_EQ(a.data_kind, DataKind::general) << what;
    EXPECT_EQ(a.delta_flag, 0) << what;
    EXPECT_EQ(a.record_length, 1) << what;
    EXPECT_EQ(a.image_width, 256u) << what;
}

TEST(Entropy, ScoresAtTheEnds) {
    EXPECT_EQ(entropy_score(Bytes(4096, 'x').data(), 4096), 0);
    EXPECT_EQ(entropy_score(Bytes(1, 0).data(), 1), 0);
    Bytes all(4096);
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(entropy_score(all.data(), all.size()), 800);
    Bytes two(4096, 'a');
    for (size_t i = 0; i < 2048; ++i) two[i] = 'b';
    EXPECT_EQ(entropy_score(two.data(), two.size()), 100);
    int score = -1;
    classify_block(all.data(), all.size(), &score);
    EXPECT_EQ(score, 800);
}

// A 4,096-byte buffer just over every text threshold: 33 spaces, 257 of
// "a", "e" and "t", 1,025 lower-case letters, and the rest spread over
// 40 other values (entropy well above 300).
struct TextBuffer {
    int spaces = 33, aet = 257, lower = 1025;
    Bytes make() const {
        Bytes b;
        for (int i = 0; i < spaces; ++i) b.push_back(' ');
        for (int i = 0; i < aet; ++i) b.push_back("aet"[i % 3]);
        for (int i = aet; i < lower; ++i) b.push_back(static_cast<uint8_t>('b' + i % 3));  // b, c, d
        for (int i = 0; b.size() < 4096; ++i) b.push_back(static_cast<uint8_t>('0' + i % 40));  // digits, A..W
        return b;
    }
};

int classify(const Bytes& b) {
    int score = 0;
    return classify_block(b.data(), b.size(), &score);
}

TEST(Classify, TextThresholdsOn4096Bytes) {
    EXPECT_EQ(classify(TextBuffer{}.make()), kTextClass);
    EXPECT_NE(classify(TextBuffer{32, 257, 1025}.make()), kTextClass) << "spaces must exceed n >> 7";
    EXPECT_NE(classify(TextBuffer{33, 256, 1025}.make()), kTextClass) << "a, e, t must exceed n >> 4";
    EXPECT_NE(classify(TextBuffer{33, 257, 1024}.make()), kTextClass) << "lower case must exceed n >> 2";

    // Eight equally frequent values score exactly 300, which is not enough;
    // nine score more.
    Bytes eight, nine;
    for (int i = 0; i < 4096; ++i) eight.push_back(" aetbcdf"[i % 8]);
    for (int i = 0; i < 4096; ++i) nine.push_back(" aetbcdfg"[i % 9]);
    int score = 0;
    EXPECT_NE(classify_block(eight.data(), eight.size(), &score), kTextClass);
    EXPECT_EQ(score, 300);
    EXPECT_EQ(classify(nine), kTextClass);
}

// Windows too short, or too alike, for the delta variants to cost less.
TEST(Trial, TiesKeepTheSimplerVariant) {
    // No byte from offset 6 on: every variant costs 0.
    for (const std::string& w : {"BM"s, "BM\x10\x20\x30\x40"s}) {
        Analyser analyser;
        Bytes b = bytes_of(w);
        const Analysis a = analyser.analyse(b.data(), b.size());
        EXPECT_FALSE(analyser.delta_better());
        EXPECT_EQ(a.channels, 1);
        EXPECT_EQ(a.sample_width, 1);
        // Its width (offset 18, past the window) reads as 0: general data.
        expect_general(a, "short BM");
    }

    auto costs = [](Analyser& an, Bytes w) {
        std::vector<uint32_t> c{an.estimate_cost(w.data(), w.size())};
        for (unsigned ch : {1u, 3u}) {
            Bytes d = w;
            delta_forward(d.data(), d.size(), 1, ch);
            c.push_back(an.estimate_cost(d.data(), d.size()));
        }
        return c;
    };

    // Equal costs: no delta.
    Analyser even;
    Bytes w = {66, 77, 234, 121, 200, 30, 71, 131, 198, 149};
    ASSERT_EQ(costs(even, w), (std::vector<uint32_t>{3, 3, 3}));
    Analysis a = even.analyse(w.data(), w.size());
    EXPECT_FALSE(even.delta_better());
    EXPECT_EQ(a.channels, 1);

    // The 1-channel delta wins; the 3-channel one only ties with it.
    Analyser ramp;
    w = {66, 77, 14, 21, 28, 35, 42, 49, 56, 63, 70, 77, 84, 91, 98};
    ASSERT_EQ(costs(ramp, w), (std::vector<uint32_t>{8, 7, 7}));
    a = ramp.analyse(w.data(), w.size());
    EXPECT_TRUE(ramp.delta_better());
    EXPECT_EQ(a.channels, 1);
}

TEST(Wave, HeaderValuesAreCorrected) {
    struct Case {
        uint32_t channels, bits;
        int want_channels, want_width, want_record;
    };
    for (const Case& c : {Case{2, 16, 2, 2, 4}, Case{1, 8, 1, 1, 1}, Case{6, 32, 6, 4, 24}, Case{8, 16, 1, 2, 2},
                          Case{2, 48, 2, 1, 2}, Case{0, 0, 1, 1, 1}, Case{0, 16, 1, 2, 2}, Case{2, 0, 2, 1, 2},
                          // Only the low bytes count: 0x0102 channels, 0x0810 bits (258 bytes).
                          Case{0x0102, 0x0810, 2, 2, 4}}) {
        const Analysis a = analyse(test::wave_header(c.channels, c.bits) + std::string(100, '\x05'));
        const std::string what = std::to_string(c.channels) + " channels, " + std::to_string(c.bits) + " bits";
        EXPECT_EQ(a.general_path, 0) << what;
        EXPECT_EQ(a.data_kind, DataKind::audio) << what;
        EXPECT_EQ(a.delta_flag, 1) << what;
        EXPECT_EQ(a.channels, c.want_channels) << what;
        EXPECT_EQ(a.sample_width, c.want_width) << what;
        EXPECT_EQ(a.record_length, c.want_record) << what;
    }
}

TEST(ImageProbe, FirstNumberOfTwoOrMoreDigits) {
    auto probe = [](const std::string& s, size_t w = std::string::npos) {
        return probe_image_width(reinterpret_cast<const uint8_t*>(s.data()), std::min(w, s.size()));
    };
    EXPECT_EQ(probe("P6\n640 480\n255\n"), 640u);
    EXPECT_EQ(probe("P6\n5 480\n255\n"), 480u);
    EXPECT_EQ(probe("P5\n# 1 x\n12 3\n"), 12u);
    EXPECT_EQ(probe("P6\nabc d\n"), 256u);
    EXPECT_EQ(probe("P6\n7 8 9"), 256u);
    EXPECT_EQ(probe("P5\n123456", 6), 123u);
    EXPECT_EQ(probe("P5\n1234567", 4), 256u);
    EXPECT_EQ(probe("99"), 256u) << "the scan starts at offset 2";
}

TEST(Signatures, RouteToTheirKinds) {
    struct Case {
        std::string head;
        DataKind kind;
    };
    const std::string jpeg = "\xFF\xD8\xFF\xE0\x00\x10JFIF"s;
    const std::string other_jpeg = "\xFF\xD8\xFF\xE0\x00\x10XFIF"s;
    for (const Case& c : {Case{jpeg, DataKind::media}, Case{other_jpeg, DataKind::general}, Case{"ID3\x03", DataKind::media},
                          Case{"II*\0"s, DataKind::media}, Case{"II*x", DataKind::general},
                          Case{"\x30\x26\xB2\x75", DataKind::media}, Case{"RIFF\x10\0\0\0AVI LIST"s, DataKind::media},
                          Case{"RIFF\x10\0\0\0WAVX"s, DataKind::general}, Case{"GIF89a", DataKind::media}, Case{"GIF7", DataKind::general},
                          Case{"\x89PNG\r\n\x1A\n", DataKind::media}, Case{"\x89PNG\n", DataKind::general}, Case{"P5\n64 4\n255\n", DataKind::grey_image},
                          Case{"P5", DataKind::grey_image}, Case{"P5x", DataKind::grey_image}, Case{"P6\n64 4\n255\n", DataKind::colour_image},
                          Case{"P6 64 4 255", DataKind::general}, Case{"P7\n64 4\n", DataKind::general}, Case{"hello", DataKind::general}}) {
        const Analysis a = analyse(c.head + std::string(300, '\x11'));
        EXPECT_EQ(a.data_kind, c.kind) << c.head;
        EXPECT_EQ(a.general_path, c.kind == DataKind::general ? 1 : 0) << c.head;
    }

    Analysis a = analyse("II*\0"s + std::string(300, '\x11'));
    EXPECT_EQ(a.delta_flag, 1);
    EXPECT_EQ(a.channels, 1);
    EXPECT_EQ(a.sample_width, 1);
    a = analyse(jpeg + std::string(300, '\x11'));
    EXPECT_EQ(a.delta_flag, 0);
    EXPECT_EQ(a.sample_width, 0);
    EXPECT_EQ(a.channels, 0);

    a = analyse("P5\n100 7\n255\n" + std::string(300, '\x11'));
    EXPECT_EQ(a.image_width, 100u);
    EXPECT_EQ(a.record_length, 1);
    EXPECT_EQ(a.delta_flag, 0);

    std::string bmp = "BM" + std::string(52, '\0') + std::string(300, '\x11');
    bmp[18] = 0x2C;  // width 300
    bmp[19] = 0x01;
    a = analyse(bmp);
    EXPECT_EQ(a.data_kind, DataKind::colour_image);
    EXPECT_EQ(a.image_width, 300u);
    EXPECT_EQ(a.record_length, 3);
    EXPECT_EQ(a.sample_width, 1);
}

TEST(Signatures, ImagesWhoseWidthCannotDescribeRowsAreGeneralData) {
    std::string bmp = "BM" + std::string(52, '\0') + std::string(300, '\x11');
    expect_general(analyse(bmp), "BM width 0");
    bmp[18] = bmp[19] = bmp[20] = bmp[21] = '\xFF';
    expect_general(analyse(bmp), "BM width 2^32 - 1");
    expect_general(analyse("P6\n00 5\n255\n" + std::string(300, 'x')), "P6 width 0");
    expect_general(analyse("P6\n2796203 1\n255\n" + std::string(300, 'x')), "P6 row of 8,388,609 bytes");
    EXPECT_EQ(analyse("P6\n2796202 1\n255\n" + std::string(300, 'x')).data_kind, DataKind::colour_image);
    expect_general(analyse("P5\n00 5\n255\n" + std::string(300, 'x')), "P5 width 0");
    expect_general(analyse("P5\n8388609 1\n255\n" + std::string(300, 'x')), "P5 width 8,388,609");
    EXPECT_EQ(analyse("P5\n8388608 1\n255\n" + std::string(300, 'x')).data_kind, DataKind::grey_image);
}

// The raw-block test skips the logarithms when few values occur; it must
// agree with the exact score everywhere, the uniform 238/239-value edge
// included.
TEST(RawBlock, AgreesWithTheExactScore) {
    std::vector<std::vector<uint8_t>> blocks;
    for (int distinct : {1, 200, 238, 239, 240, 256}) {
        std::vector<uint8_t> b(4096);
        for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i % distinct);
        blocks.push_back(b);
    }
    uint32_t x = 12345;
    std::vector<uint8_t> noise(4096);
    for (auto& v : noise) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = static_cast<uint8_t>(x);
    }
    blocks.push_back(noise);
    blocks.push_back(std::vector<uint8_t>(noise.begin(), noise.begin() + 700));  // short last block
    for (const auto& b : blocks) {
        int score = 0;
        classify_block(b.data(), b.size(), &score);
        EXPECT_EQ(block_is_raw(b.data(), b.size()), score > 790) << "score " << score;
    }
}

}  // namespace
}  // namespace taq
