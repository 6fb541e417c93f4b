// A solid run whose middle entry is dropped (its file could not be read
// completely) must still decode: the model the next entry continues from
// has seen bytes that are not in the archive.
#include <gtest/gtest.h>

#include "archive/entry.h"
#include "compress/compress.h"
#include "extract/extract.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace taq {
namespace {

TEST(SolidRun, DroppedEntryMakesTheNextOneStartAFreshModel) {
    test::Messages msgs;
    test::TempDir dir;
    const std::string a = "the first file of the run, " + std::string(3000, 'a');
    const std::string b = test::random_bytes(20000, 3) + "second";
    const std::string c = "the third file repeats the first: the first file of the run, " + std::string(3000, 'a');
    test::write_file(dir.file("a"), a);
    test::write_file(dir.file("b"), b);
    test::write_file(dir.file("c"), c);

    CompressOptions options;
    options.archive_path = dir.file("arch");
    options.model_memory = 4194304;
    options.solid = true;
    Compressor compressor(options, msgs.diag);
    ASSERT_EQ(compressor.compress_entry(dir.file("a"), "a", "", 0, a.size()), EntryResult::written);
    // A range past the end of the file: it is read short, coded in part, dropped.
    ASSERT_EQ(compressor.compress_entry(dir.file("b"), "b", "", 0, b.size() + 100000), EntryResult::input_failed);
    ASSERT_EQ(compressor.compress_entry(dir.file("c"), "c", "", 0, c.size()), EntryResult::written);
    ASSERT_TRUE(compressor.finish_run());

    platform::File archive = platform::File::open(dir.file("arch"), platform::File::Mode::read_existing);
    const uint64_t size = platform::file_size(dir.file("arch"));
    EntryHeader first, second;
    std::string why;
    ASSERT_TRUE(read_header(archive, 0, size, first, &why)) << why;
    ASSERT_TRUE(read_header(archive, first.entry_size, size, second, &why)) << why;
    EXPECT_EQ(first.stored_name, "a");
    EXPECT_EQ(second.stored_name, "c");
    EXPECT_EQ(second.reset_flag, 1);
    EXPECT_EQ(first.entry_size + second.entry_size, size);

    Extractor extractor(false, msgs.diag);
    ASSERT_TRUE(extract_entries(extractor, dir.file("arch"), dir.file("out") + "/", "*"));
    EXPECT_EQ(test::read_file(dir.file("out/a")), a);
    EXPECT_EQ(test::read_file(dir.file("out/c")), c);
    EXPECT_FALSE(test::file_exists(dir.file("out/b")));
}

// A file that cannot be opened is named with the system's reason; one that
// ends before its range (it shrank) has none to give, and says what it
// always said.
TEST(CompressEntry, InputFailuresNameTheReasonTheSystemGave) {
    test::Messages msgs;
    test::TempDir dir;
    test::write_file(dir.file("short"), std::string(100, 's'));
    CompressOptions options;
    options.archive_path = dir.file("arch");
    options.model_memory = 4194304;
    Compressor compressor(options, msgs.diag);
    EXPECT_EQ(compressor.compress_entry(dir.file("gone"), "gone", "", 0, 10), EntryResult::input_failed);
    EXPECT_EQ(compressor.compress_entry(dir.file("short"), "short", "", 0, 5000), EntryResult::input_failed);
    const std::string out = msgs.text;
    EXPECT_TRUE(test::contains(out, "Error: cannot open Input file " + dir.file("gone") + " (")) << out;
    EXPECT_FALSE(test::contains(out, "Error: cannot open Input file " + dir.file("gone") + "\n")) << out;
    EXPECT_TRUE(test::contains(out, "Error: cannot read Input file " + dir.file("short") + "\n")) << out;
    EXPECT_EQ(platform::file_size(dir.file("arch")), 0u);

    // An archive that cannot be opened for writing (a directory).
    options.archive_path = dir.path();
    Compressor into_dir(options, msgs.diag);
    EXPECT_EQ(into_dir.compress_entry(dir.file("short"), "short", "", 0, 100), EntryResult::output_failed);
    const std::string out2 = msgs.text;
    EXPECT_TRUE(test::contains(out2, "Error: cannot open Output file " + dir.path() + " (")) << out2;
}

}  // namespace
}  // namespace taq
