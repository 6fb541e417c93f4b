#include <gtest/gtest.h>

#include <string>

#include "archive/append.h"
#include "archive/entry.h"
#include "support/test_support.h"

namespace taq {
namespace {

TEST(Append, CopiesWholeSourceAcrossChunkBoundaries) {
    test::TempDir tmp;
    const std::string dst = tmp.file("dst");
    const std::string head = "existing archive bytes";
    for (size_t size : {size_t{0}, size_t{1}, kAppendChunk - 1, kAppendChunk, kAppendChunk + 1, size_t{2621440}}) {
        const std::string src_data = test::random_bytes(size, static_cast<uint32_t>(size + 7));
        test::write_file(tmp.file("src"), src_data);
        test::write_file(dst, head);
        ASSERT_TRUE(append_file(tmp.file("src"), dst)) << size;
        const std::string got = test::read_file(dst);
        ASSERT_EQ(got.size(), head.size() + size);
        EXPECT_TRUE(got == head + src_data) << size;
    }
}

TEST(Append, PartArchivesArriveWhole) {
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
    ASSERT_TRUE(append_file(tmp.file("src"), tmp.file("dst")));
    EXPECT_TRUE(test::read_file(tmp.file("dst")) == "x" + part);
}

TEST(Append, MissingFilesFailWithoutCreatingAnything) {
    test::TempDir tmp;
    test::write_file(tmp.file("src"), std::string("abc"));
    test::write_file(tmp.file("dst"), std::string("x"));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(append_file(tmp.file("nosrc"), tmp.file("dst")));
    EXPECT_FALSE(append_file(tmp.file("src"), tmp.file("nodst")));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error: cannot open file to append " + tmp.file("nosrc") + "\n"), std::string::npos);
    EXPECT_NE(out.find("Error: cannot open detination file to append " + tmp.file("nodst") + "\n"), std::string::npos);
    EXPECT_FALSE(test::file_exists(tmp.file("nodst")));
    EXPECT_EQ(test::read_file(tmp.file("dst")), "x");
}

}  // namespace
}  // namespace taq
