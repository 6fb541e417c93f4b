// The progress line's text.
#include <gtest/gtest.h>

#include <string>

#include "driver/progress.h"

namespace taq {
namespace {

size_t columns(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

TEST(ProgressLine, Figures) {
    EXPECT_EQ(ProgressLine::format(50000000, 100000000, 10000, "data/big.iso", 80),
              " 50%   5.00 MB/s    0:10 left  data/big.iso");
    // An hour and more; the time left is not guessed in the first half second.
    EXPECT_EQ(ProgressLine::format(1000000, 5000000000, 1000, "", 80), "  0%   1.00 MB/s 1:23:19 left");
    EXPECT_EQ(ProgressLine::format(0, 100, 400, "", 80), "  0%   0.00 MB/s   --:-- left");
    // More done than planned (a file grew) stays at 100 %; so does an empty run.
    EXPECT_EQ(ProgressLine::format(300, 200, 2000, "", 80).substr(0, 4), "100%");
    EXPECT_EQ(ProgressLine::format(0, 0, 2000, "", 80).substr(0, 4), "100%");
    // A total not known ahead: the bytes done and the speed, no share, no time left.
    EXPECT_EQ(ProgressLine::format(25000000, ProgressLine::kUnknownTotal, 10000, "(standard input)", 80),
              "     25.0 MB   2.50 MB/s  (standard input)");
}

TEST(ProgressLine, NameFitsTheTerminal) {
    const std::string name = "photos/2024/" + std::string(100, 'x') + "/\xc3\xa9t\xc3\xa9-end.jpg";
    for (unsigned width = 10; width <= 200; ++width) {
        const std::string line = ProgressLine::format(123456789, 987654321, 60000, name, width);
        EXPECT_LE(columns(line), width - 1) << width;
        // A shortened name keeps its end, and never a broken character.
        if (line.size() > 45) {
            EXPECT_NE(line.find("-end.jpg"), std::string::npos) << line;
        }
        if (const size_t cut = line.find("..."); cut != std::string::npos) {
            EXPECT_NE(static_cast<unsigned char>(line[cut + 3]) & 0xC0, 0x80) << line;
        }
    }
    // Control characters in a name would break the line.
    const std::string line = ProgressLine::format(1, 2, 1000, "a\nb\rc", 80);
    EXPECT_EQ(line.substr(line.size() - 7), "  a?b?c");
}

}  // namespace
}  // namespace taq
