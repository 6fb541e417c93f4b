// Which entries a selection decodes and writes: solid runs up to their last
// selected entry, runs without one passed over, the counts per pattern, the
// progress total, and runs met where the walk resumed after damage.
#include <gtest/gtest.h>

#include "archive/entry.h"
#include "archive/index.h"
#include "extract/plan.h"
#include "support/test_support.h"

using namespace taq;

namespace {

struct Entry {
    std::string name;
    bool solid = false;
    bool reset = true;
    int64_t data_size = 10;
};

std::string entry_bytes(const Entry& e) {
    EntryHeader h;
    h.stored_name = e.name;
    h.solid = e.solid ? 1 : 0;
    h.reset_flag = e.reset ? 1 : 0;
    h.data_size = e.data_size;
    h.entry_size = h.header_length() + 5;
    std::vector<uint8_t> bytes = serialize_header(h);
    bytes.resize(bytes.size() + 5, 0);
    return std::string(bytes.begin(), bytes.end());
}

// A solid run of the given names (the first resets the model).
std::string solid_run(const std::vector<std::string>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) out += entry_bytes({names[i], true, i == 0});
    return out;
}

// Steps through every entry of the index as a walk would; "s" for a
// selected entry, "d" for one only decoded, "-" for one passed over.
std::string walk(const std::string& bytes, const std::vector<std::string>& patterns,
                 std::vector<uint64_t>* matched = nullptr, uint64_t* total = nullptr) {
    const Source source = Source::memory(bytes.data(), bytes.size());
    const ArchiveIndex index = ArchiveIndex::read(source, bytes.size());
    ExtractionPlan plan(source, bytes.size(), index, patterns);
    std::string out;
    for (const IndexEntry& e : index.entries()) {
        const ExtractionPlan::Step s = plan.step(e.header, e.offset);
        out += s.selected ? (s.decode ? "s" : "?") : (s.decode ? "d" : "-");
    }
    if (matched) *matched = plan.matched();
    if (total) *total = plan.bytes_to_decode();
    return out;
}

}  // namespace

TEST(ExtractionPlan, SolidRunsGoUpToTheirLastSelectedEntry) {
    const std::string run1 = solid_run({"a", "b", "c.txt", "d", "e.txt", "f"});
    const std::string run2 = solid_run({"g", "h"});
    const std::string run3 = solid_run({"i.txt", "j"});
    uint64_t total = 0;
    EXPECT_EQ(walk(run1 + run2 + run3, {"*.txt"}, nullptr, &total), "ddsds---s-");
    EXPECT_EQ(total, 60u);
    // Plain entries stand alone.
    const std::string plain = entry_bytes({"a"}) + entry_bytes({"b.txt"}) + entry_bytes({"c"});
    EXPECT_EQ(walk(plain, {"*.txt"}, nullptr, &total), "-s-");
    EXPECT_EQ(total, 10u);
    EXPECT_EQ(walk(plain + run1, {"zzz"}, nullptr, &total), "---------");
    EXPECT_EQ(total, 0u);
}

TEST(ExtractionPlan, CountsWhatEachPatternSelects) {
    const std::string bytes = solid_run({"a.txt", "b.txt", "c.bin"}) + entry_bytes({"d.txt"});
    std::vector<uint64_t> matched;
    EXPECT_EQ(walk(bytes, {"*.txt", "a*", "none"}, &matched), "ss-s");
    EXPECT_EQ(matched, (std::vector<uint64_t>{3, 1, 0}));
}

TEST(ExtractionPlan, TheProgressTotalEndsWhereTheCompleteHeadersDo) {
    // The run's selected entry lies past a header whose fixed fields are
    // cut: the entries before it count for nothing in the total.
    std::string cut = entry_bytes({"x", true, false}).substr(0, 48);
    cut[0] = 48;
    const std::string bytes = solid_run({"a", "b"}) + cut + entry_bytes({"c.txt", true, false});
    const Source source = Source::memory(bytes.data(), bytes.size());
    const ArchiveIndex index = ArchiveIndex::read(source, bytes.size());
    ASSERT_EQ(index.complete(), 2u);
    ExtractionPlan plan(source, bytes.size(), index, {"*.txt"});
    EXPECT_EQ(plan.bytes_to_decode(), 0u);
    EXPECT_TRUE(plan.step(index.entries()[0].header, index.entries()[0].offset).decode);
}

TEST(ExtractionPlan, RunsOffTheChainAreReadFromWhereTheWalkResumed) {
    // Garbage at the start: the index holds nothing, and a walk resumes at
    // the run after it.
    const std::string garbage(100, '\x07');
    const std::string run = solid_run({"a", "b.txt", "c"});
    const std::string bytes = garbage + run + entry_bytes({"d"}) + entry_bytes({"e.txt"});
    const Source source = Source::memory(bytes.data(), bytes.size());
    const ArchiveIndex index = ArchiveIndex::read(source, bytes.size());
    ASSERT_TRUE(index.entries().empty());
    ExtractionPlan plan(source, bytes.size(), index, {"*.txt"});
    std::string out;
    for (uint64_t p = garbage.size(); p < bytes.size();) {
        EntryHeader h;
        ASSERT_TRUE(read_header(source, p, bytes.size(), h, nullptr));
        const ExtractionPlan::Step s = plan.step(h, p);
        out += s.selected ? "s" : (s.decode ? "d" : "-");
        p += h.entry_size;
    }
    EXPECT_EQ(out, "ds--s");
    EXPECT_EQ(plan.matched(), (std::vector<uint64_t>{2}));
}
