// Byte-exact archives: every command of the vector manifest, run in a copy
// of the inputs, must write exactly the stored archive, and every stored
// archive must restore exactly its inputs.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "archive/entry.h"
#include "archive/record.h"
#include "platform/platform.h"
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
void make_twoseg(const std::string& out) { test::write_file(out, test::two_segment_data()); }

void copy_inputs(const std::string& to) {
    const std::string inputs = test::test_data_dir() + "/vectors/inputs";
    for (const auto& e : fs::directory_iterator(inputs)) {
        fs::copy_file(e.path(), to + "/" + e.path().filename().string());
        fs::permissions(to + "/" + e.path().filename().string(), fs::perms::owner_write, fs::perm_options::add);
    }
    make_twoseg(to + "/twoseg.dat");
}

class VectorTest : public ::testing::TestWithParam<Vector> {};

// The runs of a vector with `extra` switches after the command word.
void run_vector(const Vector& v, const std::string& dir, const std::vector<std::string>& extra) {
    for (auto run : v.runs) {
        run.insert(run.begin() + 1, extra.begin(), extra.end());
        const test::RunResult r = test::run_taq(run, dir);
        ASSERT_EQ(r.exit_code, 0) << r.output;
    }
}

void expect_same_bytes(const std::string& got, const std::string& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    size_t at = 0;
    while (at < got.size() && got[at] == want[at]) ++at;
    EXPECT_EQ(at, got.size()) << what << ": first differing byte at " << at;
}

// The archive at `path` with every check record taken out and each
// entry_size cut by the record's length; `records` counts the records.
std::string strip_records(const std::string& path, size_t& records) {
    platform::File f = platform::File::open(path, platform::File::Mode::read_existing);
    const std::string bytes = test::read_file(path);
    std::string out;
    records = 0;
    for (uint64_t at = 0; at < bytes.size();) {
        EntryHeader h;
        std::string why;
        if (!read_header(f, at, bytes.size(), h, &why)) {
            ADD_FAILURE() << "damaged at " << at << ": " << why;
            return out;
        }
        CheckRecord rec;
        uint64_t len = 0;
        std::string entry = bytes.substr(at, h.entry_size);
        if (find_record(f, at, h.entry_size, h.header_length(), rec, len) == RecordState::present) {
            ++records;
            // The header check covers the header as stored.
            EXPECT_EQ(rec.header_hash, header_hash(serialize_header(h)));
            entry.resize(entry.size() - len);
            EntryHeader plain = h;
            plain.entry_size = entry.size();
            const std::vector<uint8_t> head = serialize_header(plain);
            entry.replace(0, head.size(), std::string(head.begin(), head.end()));
        }
        out += entry;
        at += h.entry_size;
    }
    return out;
}

TEST_P(VectorTest, CompressesToTheStoredArchive) {
    const Vector& v = GetParam();
    test::TempDir dir;
    copy_inputs(dir.path());
    run_vector(v, dir.path(), {"-n"});
    const std::string want = test::read_file(test::test_data_dir() + "/vectors/archives/" + v.archive);
    expect_same_bytes(test::read_file(dir.file(v.archive)), want, v.archive);
}

// By default every entry carries a record; without them the archive is
// the stored one, and the records' hashes are those of the inputs.
TEST_P(VectorTest, RecordsAreAllThatTheDefaultFormatAdds) {
    const Vector& v = GetParam();
    test::TempDir dir;
    copy_inputs(dir.path());
    run_vector(v, dir.path(), {});
    const std::string want = test::read_file(test::test_data_dir() + "/vectors/archives/" + v.archive);
    size_t records = 0;
    const std::string plain = strip_records(dir.file(v.archive), records);
    expect_same_bytes(plain, want, v.archive);
    EXPECT_GT(records, 0u);
    const test::RunResult r = test::run_taq({"t", v.archive}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
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
            make_twoseg(dir.file("ref.dat"));
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
