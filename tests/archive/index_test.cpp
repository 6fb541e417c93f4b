// The index of an archive's headers: the chain from the start, where it
// stops and why, which entries have whole headers, and lookups by offset;
// over a buffer in memory as over a file. A checked index: which entries
// are sound, what an append makes of the rest, and walks that take it.
#include <gtest/gtest.h>

#include "archive/index.h"
#include "archive/walk.h"
#include "compress/compress.h"
#include "support/test_support.h"

using namespace taq;

namespace {

ArchiveIndex index_of(const std::string& bytes) {
    return ArchiveIndex::read(Source::memory(bytes.data(), bytes.size()), bytes.size());
}

}  // namespace

TEST(ArchiveIndex, ChainOfEntriesAndLookups) {
    const std::string a = test::make_entry("a", "d/"), b = test::make_entry("b", "", true, true),
                      c = test::make_entry("c", "", true, false);
    const ArchiveIndex index = index_of(a + b + c);
    ASSERT_EQ(index.entries().size(), 3u);
    EXPECT_EQ(index.complete(), 3u);
    EXPECT_EQ(index.end(), index.archive_size());
    EXPECT_EQ(index.entries()[0].header.stored_path(), "d/a");
    EXPECT_EQ(index.entries()[2].offset, a.size() + b.size());
    EXPECT_FALSE(index.entries()[2].header.reset_flag);
    EXPECT_EQ(index.find(a.size()), 1u);
    EXPECT_EQ(index.find(a.size() + 1), 3u);
    EXPECT_EQ(index_of("").entries().size(), 0u);
}

TEST(ArchiveIndex, StopsAtTheFirstHeaderThatCannotBeReadAndSaysWhy) {
    const std::string a = test::make_entry("a", ""), b = test::make_entry("b", "");
    std::string bytes = a + b + std::string(5, '\x01');
    const ArchiveIndex index = index_of(bytes);
    EXPECT_EQ(index.entries().size(), 2u);
    EXPECT_EQ(index.end(), a.size() + b.size());
    EXPECT_EQ(index.why(), "entry header cut short");

    // An entry whose names read but whose fixed fields lie past its end
    // (48 bytes for a one-letter name) stays in the chain, but the entries
    // from it on are not among the complete ones.
    std::string cut = a.substr(0, 48);
    cut[0] = 48;
    const ArchiveIndex partial = index_of(b + cut + b);
    ASSERT_EQ(partial.entries().size(), 3u);
    EXPECT_FALSE(partial.entries()[1].complete);
    EXPECT_TRUE(partial.entries()[2].complete);
    EXPECT_EQ(partial.complete(), 1u);
    EXPECT_EQ(partial.end(), partial.archive_size());
}

namespace {

// Three entries with check records, written as `a` writes them.
std::string recorded_archive(test::TempDir& dir) {
    test::Messages msgs;
    CompressOptions options;
    options.archive_path = dir.file("arch");
    options.model_memory = 4194304;
    Compressor compressor(options, msgs.diag);
    for (const char* name : {"one", "two", "three"}) {
        const std::string data = std::string(name) + " " + test::random_bytes(2000, static_cast<uint32_t>(name[1]));
        test::write_file(dir.file(name), data);
        EXPECT_EQ(compressor.compress_entry(dir.file(name), name, "", 0, data.size()), EntryResult::written);
    }
    EXPECT_TRUE(compressor.finish_run());
    return test::read_file(dir.file("arch"));
}

// The offsets a walk hands out and what it reports, with or without an index.
std::string walk_of(const std::string& bytes, const ArchiveIndex* index) {
    test::Messages msgs;
    const Source source = Source::memory(bytes.data(), bytes.size());
    ArchiveWalk walk(source, "arch", bytes.size(), msgs.diag);
    if (index) walk.use_index(*index);
    std::string out;
    for (CheckedEntry e; walk.next(e); walk.skip(e))
        out += std::to_string(e.offset) + (e.record_state == RecordState::present ? "r " : " ");
    return out + "| " + msgs.text;
}

}  // namespace

TEST(ArchiveIndex, ACheckedIndexKnowsTheSoundEntriesAndAWalkTakesThem) {
    test::TempDir dir;
    std::string bytes = recorded_archive(dir);
    const Source source = Source::memory(bytes.data(), bytes.size());
    ArchiveIndex index = ArchiveIndex::check(source, bytes.size());
    ASSERT_EQ(index.entries().size(), 3u);
    EXPECT_TRUE(index.checked());
    EXPECT_FALSE(ArchiveIndex::read(source, bytes.size()).checked());
    for (const IndexEntry& e : index.entries()) {
        EXPECT_TRUE(e.sound);
        EXPECT_EQ(e.record_state, RecordState::present);
    }
    EXPECT_EQ(index.sound_end(), bytes.size());
    EXPECT_EQ(check_for_append(source, bytes.size()).state, AppendCheck::clean);
    EXPECT_EQ(walk_of(bytes, &index), walk_of(bytes, nullptr));

    // The second entry's name no longer matches its record: it is not
    // sound, the chain goes on past it, and an append is refused there.
    const uint64_t second = index.entries()[1].offset;
    bytes[static_cast<size_t>(second) + 12] ^= 0x20;
    index = ArchiveIndex::check(source, bytes.size());
    ASSERT_EQ(index.entries().size(), 3u);
    EXPECT_TRUE(index.entries()[0].sound);
    EXPECT_FALSE(index.entries()[1].sound);
    EXPECT_TRUE(index.entries()[2].sound);
    EXPECT_EQ(index.sound_end(), second);
    CheckedEntry e;
    EXPECT_TRUE(index.sound_entry(0, e));
    EXPECT_FALSE(index.sound_entry(second, e));
    const AppendCheck c = check_for_append(source, bytes.size());
    EXPECT_EQ(c.state, AppendCheck::refused);
    EXPECT_EQ(c.good_end, second);
    EXPECT_EQ(c.why, "entry header does not match its check record");
    // A walk reports the damage the same way, index or not.
    const std::string walked = walk_of(bytes, &index);
    EXPECT_EQ(walked, walk_of(bytes, nullptr));
    EXPECT_NE(walked.find("does not match its check record"), std::string::npos) << walked;
    // An index of other bytes is not taken.
    const std::string other = bytes.substr(0, static_cast<size_t>(second));
    EXPECT_EQ(walk_of(other, &index), walk_of(other, nullptr));
}
