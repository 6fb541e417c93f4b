// An archive read once, in order: entries held whole (in memory, or past
// the bound in a scratch file that goes again), each readable as an
// archive that ends where it does; the end, a stream cut short, a size no
// entry has and a failed read.
#include <gtest/gtest.h>

#include "archive/entry.h"
#include "extract/forward.h"
#include "platform/platform.h"
#include "support/test_support.h"

using namespace taq;

namespace {

std::string entry_of(const std::string& name, size_t data) {
    EntryHeader h;
    h.stored_name = name;
    h.entry_size = h.header_length() + data;
    std::vector<uint8_t> bytes = serialize_header(h);
    bytes.resize(bytes.size() + data, 'd');
    return std::string(bytes.begin(), bytes.end());
}

// A stream over `bytes`, handed out in reads of at most 7 bytes; fails
// once `fail_at` bytes are read.
ForwardArchive::Read reader(const std::string& bytes, size_t& at, size_t fail_at = SIZE_MAX) {
    return [&bytes, &at, fail_at](void* data, size_t n, std::string& error) -> int64_t {
        if (at >= fail_at) {
            error = "input/output error";
            return -1;
        }
        const size_t k = std::min({n, size_t{7}, bytes.size() - at});
        std::memcpy(data, bytes.data() + at, k);
        at += k;
        return static_cast<int64_t>(k);
    };
}

}  // namespace

TEST(ForwardArchive, EntriesAreHeldWholeAndReadAsArchivesOfTheirOwn) {
    test::TempDir dir;
    const std::string a = entry_of("a", 10), b = entry_of("b", 300), c = entry_of("c", 5);
    const std::string stream = a + b + c;
    size_t at = 0;
    {
        ForwardArchive archive(reader(stream, at), dir.path(), 100);
        std::string why;
        std::vector<std::string> names;
        std::vector<uint64_t> offsets;
        while (archive.next(why) == ForwardArchive::Next::entry) {
            EntryHeader h;
            ASSERT_TRUE(read_header(archive.source(), archive.offset(), archive.end(), h, &why)) << why;
            names.push_back(h.stored_name);
            offsets.push_back(archive.offset());
            // Nothing before the entry can be read.
            uint8_t byte;
            EXPECT_EQ(archive.source().read_at(archive.offset() == 0 ? 0 : archive.offset() - 1, &byte, 1),
                      archive.offset() == 0 ? 1u : 0u);
            if (h.stored_name == "b") {
                // Past the bound: held in the scratch file.
                std::vector<platform::DirEntry> entries;
                ASSERT_TRUE(platform::list_directory(dir.path(), entries));
                EXPECT_EQ(entries.size(), 3u);
            }
        }
        EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c"}));
        EXPECT_EQ(offsets, (std::vector<uint64_t>{0, a.size(), a.size() + b.size()}));
    }
    std::vector<platform::DirEntry> entries;
    ASSERT_TRUE(platform::list_directory(dir.path(), entries));
    EXPECT_EQ(entries.size(), 2u);
}

TEST(ForwardArchive, DamageIsToldAtItsOffset) {
    const std::string a = entry_of("a", 10);
    const auto first_failure = [](const std::string& stream, size_t fail_at, uint64_t& offset) {
        size_t at = 0;
        ForwardArchive archive(reader(stream, at, fail_at), "/tmp");
        std::string why;
        while (archive.next(why) == ForwardArchive::Next::entry) {
        }
        offset = archive.offset();
        return why;
    };
    uint64_t offset = 0;
    EXPECT_EQ(first_failure(a + a.substr(0, 5), SIZE_MAX, offset), "entry header cut short");
    EXPECT_EQ(offset, a.size());
    EXPECT_EQ(first_failure(a + a.substr(0, 20), SIZE_MAX, offset), "entry reaches past the end of the archive");
    EXPECT_EQ(offset, a.size());
    EXPECT_EQ(first_failure(a + std::string(12, '\0'), SIZE_MAX, offset), "entry size too small");
    EXPECT_EQ(first_failure(a + a, a.size() + 3, offset), "cannot read the archive (input/output error)");
    EXPECT_EQ(first_failure(a + a, SIZE_MAX, offset), "");
}
