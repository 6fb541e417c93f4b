#include <gtest/gtest.h>

#include <string>

#include "archive/entry.h"
#include "compress/compress.h"
#include "platform/platform.h"
#include "support/test_support.h"
#include "tasks/file_driver.h"

namespace taq {
namespace {

TEST(FileDriver, WholeFileBecomesOneEntryNamedByItsPath) {
    test::Messages msgs;
    test::TempDir tmp;
    const std::string input = tmp.file("sub/in.dat");
    test::write_file(input, test::random_bytes(3000, 9));
    CompressOptions options;
    options.archive_path = tmp.file("arch");
    options.model_memory = 4194304;
    Compressor compressor(options, msgs.diag);

    uint64_t total = 10;
    EXPECT_EQ(compress_file(compressor, tmp.file("missing"), 500, total), EntryResult::input_failed);
    EXPECT_EQ(total, 10u);  // a skipped file is not counted

    ASSERT_EQ(compress_file(compressor, input, 3000, total), EntryResult::written);
    EXPECT_EQ(total, 3010u);
    ASSERT_TRUE(compressor.finish_run());

    platform::File f = platform::File::open(options.archive_path, platform::File::Mode::read_existing);
    ASSERT_TRUE(f);
    EntryHeader h;
    std::string why;
    ASSERT_TRUE(read_header(f, 0, static_cast<uint64_t>(f.size()), h, &why)) << why;
    EXPECT_EQ(h.entry_size, static_cast<uint64_t>(f.size()));
    EXPECT_EQ(h.stored_name, "in.dat");
    // Stored below the root: the absolute path loses its leading '/' (or
    // its drive, "C:\\").
    EXPECT_EQ(h.stored_dir, tmp.path().substr(tmp.path()[0] == '/' ? 1 : 3) + "/sub/");
    EXPECT_EQ(h.data_size, 3000);
    EXPECT_EQ(h.range_start, 0u);
    EXPECT_EQ(h.model_memory, 4194304u);
}

}  // namespace
}  // namespace taq
