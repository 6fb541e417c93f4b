// The text digram transform: longest matches, the rules that keep a code
// from being read back as an escaped literal, escapes, the untouched tail,
// the 95 % limit, and forward then inverse as identity.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "transform/digram.h"

namespace taq {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

class Digram : public ::testing::Test {
protected:
    DigramTransform dt;

    // Transforms `text` in place; returns the m coded bytes, or nothing
    // when the transform declined (then the buffer must be unchanged).
    // Whatever was coded must expand back to the text.
    Bytes coded(const std::string& text) {
        Bytes buf = bytes_of(text);
        const size_t m = dt.forward(buf.data(), buf.size());
        if (m == 0) {
            EXPECT_EQ(buf, bytes_of(text)) << "a declined transform changed the buffer";
            return {};
        }
        EXPECT_LE(m, text.size());
        for (size_t i = m; i < buf.size(); ++i) EXPECT_EQ(buf[i], ' ') << "padding at " << i;
        const Bytes out(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(m));
        EXPECT_TRUE(dt.inverse(buf.data(), m, text.size()));
        EXPECT_EQ(buf, bytes_of(text)) << "inverse does not restore the text";
        return out;
    }

    // The first bytes of the coded form of `head` at the start of a segment
    // long enough to be transformed, as many as `want` has; the filler
    // begins with a space, so the head's last letter sees a non-letter.
    void expect_head(const std::string& head, const Bytes& want) {
        std::string text = head;
        while (text.size() < 1024) text += " the";
        const Bytes out = coded(text);
        ASSERT_GE(out.size(), want.size()) << head;
        EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(want.size())), want) << head;
    }
};

TEST_F(Digram, LongestMatchAndStopByteRules) {
    expect_head("the", Bytes{129, ' ', 129});
    expect_head("th.", Bytes{123, '.', ' ', 129});
    expect_head("then", Bytes{129, 'n', ' ', 129, ' '});
    // The same code twice in a row is not emitted.
    expect_head("inin", Bytes{125, 'i', 'n', ' ', 129});
    expect_head("inina", Bytes{125, 'i', 185, ' ', 129, ' '});
    // A code followed by the byte of that same code would read as an escape.
    expect_head("th{", Bytes{'t', 'h', '{', '{'});
    expect_head("qu", Bytes{187, ' ', 129});
}

TEST_F(Digram, EscapesCodeBytesOnly) {
    expect_head("\xC8", Bytes{200, 200});
    expect_head("\x7B", Bytes{123, 123});
    expect_head("\xFE", Bytes{254, 254});
    expect_head("\xFF", Bytes{255, ' '});
    expect_head("\x7A", Bytes{'z', ' '});
}

TEST_F(Digram, LastFiveBytesAreCopiedWithEscapes) {
    std::string text;
    while (text.size() < 1000) text += "the ";
    Bytes out = coded(text + " there");
    ASSERT_GE(out.size(), 5u);
    EXPECT_EQ(Bytes(out.end() - 5, out.end()), bytes_of("there"));
    out = coded(text + " ab\xC8" "cd");
    ASSERT_GE(out.size(), 6u);
    EXPECT_EQ(Bytes(out.end() - 6, out.end()), (Bytes{'a', 'b', 200, 200, 'c', 'd'}));
}

TEST_F(Digram, DeclinesShortSegmentsAndTextWithFewHits) {
    std::string text;
    while (text.size() < 512) text += "the ";
    EXPECT_TRUE(coded(text.substr(0, 511)).empty());
    EXPECT_FALSE(coded(text.substr(0, 512)).empty());

    std::string upper;
    while (upper.size() < 4000) upper += "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG. ";
    EXPECT_TRUE(coded(upper).empty());
}

// The limit is 95 % in single precision: for n = 1,000 it lies just below
// 950, so 950 bytes before the tail already exceed it. Each "th." saves one
// byte; the last five bytes are outside the test.
TEST_F(Digram, LimitIsNinetyFivePercentInSinglePrecision) {
    auto make = [](int savings) {
        std::string s;
        for (int i = 0; i < savings; ++i) s += "th.";
        s += std::string(995 - s.size(), '7');
        return s + "12345";
    };
    EXPECT_TRUE(coded(make(45)).empty());
    const Bytes out = coded(make(46));
    EXPECT_EQ(out.size(), 954u);
}

TEST_F(Digram, ForwardThenInverseRestoresMixedText) {
    const char* words[] = {"the", "and", "ration", "quote", "thing", "for", "inin", "th", "e", "zz",
                           "\xC8", "\x7B\x7B", "\xFF", "\xFE", ".", "\n", "Theory", "con", "her"};
    std::mt19937 rng(3);
    for (int round = 0; round < 20; ++round) {
        std::string text;
        const size_t n = 512 + rng() % 20000;
        while (text.size() < n) {
            text += words[rng() % (sizeof words / sizeof *words)];
            if (rng() % 2) text += ' ';
        }
        text.resize(n);
        EXPECT_FALSE(coded(text).empty()) << "round " << round;
    }
}

TEST_F(Digram, InverseReportsCodedBytesThatRunOut) {
    std::string text;
    while (text.size() < 2000) text += "the ration ";
    Bytes buf = bytes_of(text);
    const size_t m = dt.forward(buf.data(), buf.size());
    ASSERT_GT(m, 10u);
    EXPECT_FALSE(dt.inverse(buf.data(), m - 10, buf.size()));
}

}  // namespace
}  // namespace taq
