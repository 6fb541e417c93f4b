// The coder's first decisions for each traced vector must be exactly the
// reference ones: the first differing line shows where a model drifts.
#include <gtest/gtest.h>

#include <sstream>

#include "compress/compress.h"
#include "support/test_support.h"

namespace taq {
namespace {

class TraceTest : public ::testing::TestWithParam<std::string> {};

TEST_P(TraceTest, FirstDecisionsMatchReference) {
    test::Messages msgs;
    const std::string name = GetParam();
    const std::string dir = test::test_data_dir() + "/vectors";
    const std::string reference = test::read_file(dir + "/traces/" + name + ".m0.trace");
    ASSERT_FALSE(reference.empty());
    test::TempDir tmp;
    CompressOptions options;
    options.model_memory = 4194304;
    Compressor compressor(options, msgs.diag);
    const std::string trace = compressor.trace_decisions(dir + "/inputs/" + name, tmp.file("scratch"), 20000);
    std::istringstream want(reference), got(trace);
    std::string a, b;
    for (int line = 1; std::getline(want, a); ++line) {
        ASSERT_TRUE(static_cast<bool>(std::getline(got, b))) << name << ": trace ends early at line " << line;
        ASSERT_EQ(a, b) << name << ": first difference at line " << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Vectors, TraceTest,
                         ::testing::Values("short.txt", "fields.c", "libz.so", "random.bin", "cat.bmp", "coins.tif",
                                           "meadow.ppm", "page.pgm", "rocket.jpg", "tune.wav"),
                         [](const auto& info) {
                             std::string n = info.param;
                             for (char& c : n)
                                 if (c == '.') c = '_';
                             return n;
                         });

}  // namespace
}  // namespace taq
