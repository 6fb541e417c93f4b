// Byte-exact archives: every command of the vector manifest, run in a copy
// of the inputs, must write exactly the stored archive, and every stored
// archive must restore exactly its inputs.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "support/test_support.h"

namespace taq {
namespace {

namespace fs = std::filesystem;

struct Vector {
    std::string archive;
    std::vector<std::vector<std::string>> runs;  // argument vectors without the program name
    std::vector<std::string> files;              // inputs named by the runs
};

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::vector<Vector> manifest() {
    std::vector<Vector> out;
    std::istringstream in(test::read_file(test::test_data_dir() + "/vectors/MANIFEST"));
    for (std::string line; std::getline(in, line);) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        Vector v;
        v.archive = line.substr(0, tab);
        std::string rest = line.substr(tab + 1);
        for (size_t start = 0;;) {
            const size_t semi = rest.find(';', start);
            std::vector<std::string> w = words(rest.substr(start, semi == std::string::npos ? std::string::npos : semi - start));
            w.erase(w.begin());  // "taq"
            // The files follow the archive name, after the command and switches.
            size_t i = 1;
            while (i < w.size() && w[i][0] == '-') ++i;
            for (size_t j = i + 1; j < w.size(); ++j) v.files.push_back(w[j]);
            v.runs.push_back(std::move(w));
            if (semi == std::string::npos) break;
            start = semi + 1;
        }
        out.push_back(std::move(v));
    }
    return out;
}

// 8 MiB of text followed by 300,000 bytes of machine code.
void make_twoseg(const std::string& inputs, const std::string& out) {
    std::string text = test::read_file(inputs + "/alice29.txt") + test::read_file(inputs + "/cp.html") +
                       test::read_file(inputs + "/fields.c");
    std::string seg;
    while (seg.size() < 8388608) seg += text;
    seg.resize(8388608);
    seg += test::read_file(inputs + "/libz.so").substr(0, 300000);
    test::write_file(out, seg);
}

void copy_inputs(const std::string& to) {
    const std::string inputs = test::test_data_dir() + "/vectors/inputs";
    for (const auto& e : fs::directory_iterator(inputs)) {
        fs::copy_file(e.path(), to + "/" + e.path().filename().string());
        fs::permissions(to + "/" + e.path().filename().string(), fs::perms::owner_write, fs::perm_options::add);
    }
    make_twoseg(inputs, to + "/twoseg.dat");
}

class VectorTest : public ::testing::TestWithParam<Vector> {};

TEST_P(VectorTest, CompressesToTheStoredArchive) {
    const Vector& v = GetParam();
    test::TempDir dir;
    copy_inputs(dir.path());
    for (const auto& run : v.runs) {
        const test::RunResult r = test::run_taq(run, dir.path());
        ASSERT_EQ(r.exit_code, 0) << r.output;
    }
    const std::string want = test::read_file(test::test_data_dir() + "/vectors/archives/" + v.archive);
    const std::string got = test::read_file(dir.file(v.archive));
    ASSERT_EQ(got.size(), want.size()) << v.archive;
    size_t at = 0;
    while (at < got.size() && got[at] == want[at]) ++at;
    EXPECT_EQ(at, got.size()) << v.archive << ": first differing byte at " << at;
}

TEST_P(VectorTest, ExtractsToTheInputs) {
    const Vector& v = GetParam();
    test::TempDir dir;
    const std::string inputs = test::test_data_dir() + "/vectors/inputs";
    const test::RunResult r =
        test::run_taq({"x", test::test_data_dir() + "/vectors/archives/" + v.archive, "out"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    for (const auto& f : v.files) {
        std::string want;
        if (f == "twoseg.dat") {
            make_twoseg(inputs, dir.file("ref.dat"));
            want = test::read_file(dir.file("ref.dat"));
        } else {
            want = test::read_file(inputs + "/" + f);
        }
        const std::string got = test::read_file(dir.file("out/" + f));
        ASSERT_EQ(got.size(), want.size()) << f;
        EXPECT_TRUE(got == want) << f << " restored with different bytes";
    }
}

INSTANTIATE_TEST_SUITE_P(Manifest, VectorTest, ::testing::ValuesIn(manifest()), [](const auto& info) {
    std::string n = info.param.archive;
    for (char& c : n)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return n;
});

}  // namespace
}  // namespace taq
