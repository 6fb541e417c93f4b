#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/append.h"
#include "archive/entry.h"
#include "support/test_support.h"

namespace taq {
namespace {

TEST(Append, CopiesWholeSourceAcrossChunkBoundaries) {
    test::Messages msgs;
    test::TempDir tmp;
    const std::string dst = tmp.file("dst");
    const std::string head = "existing archive bytes";
    for (size_t size : {size_t{0}, size_t{1}, kAppendChunk - 1, kAppendChunk, kAppendChunk + 1, size_t{2621440}}) {
        const std::string src_data = test::random_bytes(size, static_cast<uint32_t>(size + 7));
        test::write_file(tmp.file("src"), src_data);
        test::write_file(dst, head);
        ASSERT_TRUE(append_file(msgs.diag, tmp.file("src"), dst)) << size;
        const std::string got = test::read_file(dst);
        ASSERT_EQ(got.size(), head.size() + size);
        EXPECT_TRUE(got == head + src_data) << size;
    }
}

TEST(Append, PartArchivesArriveWhole) {
    test::Messages msgs;
    // Entries of odd lengths, so that size fields straddle the copy's chunks.
    test::TempDir tmp;
    std::string part;
    for (size_t k = 0; part.size() < 3 * kAppendChunk; ++k) {
        EntryHeader h;
        h.stored_name = "n" + std::to_string(k);
        h.model_memory = 4194304;
        const size_t data = kAppendChunk / 3 + 4 * k + 1;
        h.entry_size = h.header_length() + data;
        const std::vector<uint8_t> head = serialize_header(h);
        part += std::string(head.begin(), head.end()) + test::random_bytes(data, static_cast<uint32_t>(k));
    }
    test::write_file(tmp.file("src"), part);
    test::write_file(tmp.file("dst"), std::string("x"));
    ASSERT_TRUE(append_file(msgs.diag, tmp.file("src"), tmp.file("dst")));
    EXPECT_TRUE(test::read_file(tmp.file("dst")) == "x" + part);
}

TEST(Append, MissingFilesFailWithoutCreatingAnything) {
    test::Messages msgs;
    test::TempDir tmp;
    test::write_file(tmp.file("src"), std::string("abc"));
    test::write_file(tmp.file("dst"), std::string("x"));
    EXPECT_FALSE(append_file(msgs.diag, tmp.file("nosrc"), tmp.file("dst")));
    EXPECT_FALSE(append_file(msgs.diag, tmp.file("src"), tmp.file("nodst")));
    const std::string out = msgs.text;
    // The system's reason follows the name.
    EXPECT_NE(out.find("Error: cannot open file to append " + tmp.file("nosrc") + " ("), std::string::npos) << out;
    EXPECT_NE(out.find("Error: cannot open detination file to append " + tmp.file("nodst") + " ("), std::string::npos)
        << out;
    EXPECT_FALSE(test::file_exists(tmp.file("nodst")));
    EXPECT_EQ(test::read_file(tmp.file("dst")), "x");
}

TEST(DropEntries, RemovesTheUnkeptEntriesAfterTheStart) {
    test::Messages msgs;
    test::TempDir tmp;
    const std::string path = tmp.file("arch");
    const std::string before = test::make_entry("old", "");
    const std::string a = test::make_entry("a", "d/"), b = test::make_entry("b", ""), c = test::make_entry("c", "");
    test::write_file(path, before + a + b + c);
    ASSERT_TRUE(drop_entries(msgs.diag, path, before.size(), {false, true, false}));
    EXPECT_TRUE(test::read_file(path) == before + b);
    ASSERT_TRUE(drop_entries(msgs.diag, path, 0, {true, true}));
    EXPECT_TRUE(test::read_file(path) == before + b);

    // The entries must be exactly those written.
    EXPECT_FALSE(drop_entries(msgs.diag, path, 0, {true}));
    EXPECT_FALSE(drop_entries(msgs.diag, path, 0, {true, false, true}));
    EXPECT_NE(msgs.text.find("Error: cannot take entries out of " + path),
              std::string::npos);
    EXPECT_TRUE(test::read_file(path) == before + b);
}

TEST(DropEntries, RefusesToCutASolidRunThatGoesOn) {
    test::Messages msgs;
    test::TempDir tmp;
    const std::string path = tmp.file("arch");
    const std::string first = test::make_entry("1", "", true, true), second = test::make_entry("2", "", true, false);
    const std::string third = test::make_entry("3", "", true, false), fresh = test::make_entry("4", "", true, true);
    const std::string all = first + second + third + fresh;
    for (const std::vector<bool>& keep : std::vector<std::vector<bool>>{
             {false, true, true, true}, {true, false, true, true}, {false, false, true, true}}) {
        test::write_file(path, all);
        EXPECT_FALSE(drop_entries(msgs.diag, path, 0, keep));
        EXPECT_TRUE(test::read_file(path) == all);
    }
    EXPECT_NE(msgs.text.find("depends on them"), std::string::npos);
    // The end of a run, or a whole run, can go; a fresh model needs nothing before it.
    test::write_file(path, all);
    ASSERT_TRUE(drop_entries(msgs.diag, path, 0, {true, true, false, true}));
    EXPECT_TRUE(test::read_file(path) == first + second + fresh);
    ASSERT_TRUE(drop_entries(msgs.diag, path, 0, {false, false, true}));
    EXPECT_TRUE(test::read_file(path) == fresh);
}

}  // namespace
}  // namespace taq
