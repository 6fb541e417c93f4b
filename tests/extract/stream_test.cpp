// Restoring into one stream: files one after another, each whole from its
// newest pieces whatever their archive order, pieces held back until their
// turn (in memory, then in a scratch file that goes again), and a reader
// that goes away.
#include <gtest/gtest.h>

#include "archive/index.h"
#include "compress/compress.h"
#include "extract/extract.h"
#include "extract/stream.h"
#include "platform/platform.h"
#include "support/test_support.h"

using namespace taq;

namespace {

struct Piece {
    const char* file;
    uint64_t start, end;
};

// An archive of the given pieces, in this order.
std::string archive_of(test::TempDir& dir, const std::vector<Piece>& pieces, bool solid = false) {
    test::Messages msgs;
    CompressOptions options;
    options.archive_path = dir.file("arch");
    options.model_memory = 4194304;
    options.solid = solid;
    Compressor compressor(options, msgs.diag);
    for (const Piece& p : pieces)
        EXPECT_EQ(compressor.compress_entry(dir.file(p.file), p.file, "", p.start, p.end), EntryResult::written);
    EXPECT_TRUE(compressor.finish_run());
    return dir.file("arch");
}

struct Streamed {
    StreamResult result;
    std::string bytes;
    std::string messages;
};

Streamed stream(const std::string& archive_path, const std::vector<std::string>& patterns, size_t take_at_most = SIZE_MAX) {
    Streamed s;
    test::Messages msgs;
    platform::File archive = platform::File::open(archive_path, platform::File::Mode::read_existing);
    const uint64_t size = platform::file_size(archive_path);
    const ArchiveIndex index = ArchiveIndex::check(archive, size);
    Extractor extractor(false, msgs.diag);
    const StreamWrite out = [&](const uint8_t* data, size_t n) {
        if (s.bytes.size() + n > take_at_most) return false;
        s.bytes.append(reinterpret_cast<const char*>(data), n);
        return true;
    };
    s.result = extract_to_stream(extractor, archive, archive_path, size, index, patterns, "/tmp", out);
    s.messages = msgs.text;
    return s;
}

}  // namespace

TEST(Stream, FilesComeOutWholeInTheOrderOfTheirFirstPieces) {
    test::TempDir dir;
    const std::string f = test::random_bytes(30000, 1), g = "the second file", h = "an older h";
    test::write_file(dir.file("f"), f);
    test::write_file(dir.file("g"), g);
    test::write_file(dir.file("h"), h);
    // f's second piece first, g between, then f's first piece; h twice
    // (its newest version is the shorter one).
    const std::string a = archive_of(dir, {{"f", 20000, 30000}, {"h", 0, h.size()}, {"g", 0, g.size()},
                                           {"f", 0, 20000}});
    test::write_file(dir.file("h"), std::string("h, newest"));
    {
        test::Messages msgs;
        CompressOptions options;
        options.archive_path = a;
        options.model_memory = 4194304;
        Compressor more(options, msgs.diag);
        ASSERT_EQ(more.compress_entry(dir.file("h"), "h", "", 0, 9), EntryResult::written);
        ASSERT_TRUE(more.finish_run());
    }
    Streamed s = stream(a, {"*"});
    EXPECT_TRUE(s.result.ok) << s.messages;
    // h's newest version stands last.
    EXPECT_TRUE(s.bytes == f + g + "h, newest") << s.bytes.size();
    s = stream(a, {"g", "f"});
    EXPECT_TRUE(s.result.ok) << s.messages;
    EXPECT_TRUE(s.bytes == f + g) << s.bytes.size();
    // A reader that stops taking bytes ends the run.
    s = stream(a, {"*"}, 100);
    EXPECT_TRUE(s.result.closed);
    EXPECT_FALSE(s.result.ok);
}

TEST(Stream, AFileWithAPieceMissingFailsAndTheRestGoesOn) {
    test::TempDir dir;
    const std::string f = test::random_bytes(20000, 2), g = "g's bytes";
    test::write_file(dir.file("f"), f);
    test::write_file(dir.file("g"), g);
    const std::string a = archive_of(dir, {{"f", 10000, 20000}, {"g", 0, g.size()}});
    const Streamed s = stream(a, {"*"});
    EXPECT_FALSE(s.result.ok);
    EXPECT_TRUE(s.bytes == g) << s.bytes.size();
    EXPECT_NE(s.messages.find("Error: f not restored: the archive holds only part of it"), std::string::npos)
        << s.messages;
}

TEST(Stream, HeldPiecesGoToAScratchFileBeyondTheirBoundAndItGoesAgain) {
    test::TempDir dir;
    std::string error;
    std::string out;
    const StreamWrite keep = [&](const uint8_t* data, size_t n) {
        out.append(reinterpret_cast<const char*>(data), n);
        return true;
    };
    {
        HeldPieces held(dir.path(), 8);
        const auto put = [&](uint64_t key, const std::string& bytes) {
            return held.append(key, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), error);
        };
        ASSERT_TRUE(put(1, "abcd"));
        ASSERT_TRUE(put(2, "efgh"));
        ASSERT_TRUE(put(1, "ijkl"));  // past the bound: to the scratch file
        ASSERT_TRUE(put(3, "mn"));
        EXPECT_EQ(held.in_memory(), 8u);
        EXPECT_TRUE(held.holds(3));
        ASSERT_TRUE(held.release(1, keep));
        ASSERT_TRUE(held.release(3, keep));
        EXPECT_FALSE(held.holds(1));
        held.drop(2);
        EXPECT_EQ(held.in_memory(), 0u);
        EXPECT_EQ(out, "abcdijklmn");
        std::vector<platform::DirEntry> entries;
        ASSERT_TRUE(platform::list_directory(dir.path(), entries));
        EXPECT_EQ(entries.size(), 3u);  // ".", ".." and the scratch file
    }
    std::vector<platform::DirEntry> entries;
    ASSERT_TRUE(platform::list_directory(dir.path(), entries));
    EXPECT_EQ(entries.size(), 2u);
}
