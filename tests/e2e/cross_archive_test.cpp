// An archive written on x86-64 with check records (tests/data/cross) on the
// machine the tests run on: every record verifies, and the files come back
// with the inputs' bytes, their times (one past 2038, beyond a 32-bit
// time) and their permission bits. The two largest models, whose tables
// take most of a 32-bit address space, code as on x86-64. And a piece that
// lies past 4 GiB in its file, beyond 32-bit offsets.
#include <gtest/gtest.h>

#include "archive/entry.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace taq::test {
namespace {

struct Stored {
    const char* name;
    int64_t mtime_ns;
    uint32_t permissions;
};
constexpr int64_t k2024 = 1709294400250000000;  // 2024-03-01 12:00:00.25 UTC
const Stored kStored[] = {
    {"alice29.txt", 2222152200123456700, 0644},  // 2040-06-01 08:30:00.1234567 UTC
    {"sum", k2024, 0755},     {"fields.c", k2024, 0600},  {"cat.bmp", k2024, 0644},
    {"kick8.wav", k2024, 0644}, {"xargs.1", k2024, 0644}, {"short.txt", k2024, 0644},
};

std::string recorded() { return test_data_dir() + "/cross/recorded.taq"; }

TEST(CrossArchive, EveryRecordVerifies) {
    TempDir dir;
    const RunResult r = run_taq({"t", recorded()}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "Tested 7 entries: 7 verified, 0 without check record, 0 damaged")) << r.output;
}

TEST(CrossArchive, RestoresTheBytesTimesAndPermissions) {
    TempDir dir;
    const RunResult r = run_taq({"x", recorded(), "out"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    for (const Stored& s : kStored) {
        const std::string got = read_file(dir.file(std::string("out/") + s.name));
        EXPECT_TRUE(got == read_file(test_data_dir() + "/vectors/inputs/" + s.name)) << s.name;
        platform::FileMeta m;
        ASSERT_TRUE(platform::File::open(dir.file(std::string("out/") + s.name), platform::File::Mode::read_existing)
                        .metadata(m))
            << s.name;
        EXPECT_EQ(m.mtime_ns, s.mtime_ns) << s.name;
        EXPECT_EQ(m.permissions, kept_permissions(s.permissions)) << s.name;
    }
}

// -m6 and -m7 (256 and 512 MiB of model memory, tables of 0.8 and 1.6
// GiB): the plain archive is the one x86-64 wrote, and that one restores.
// Where the memory cannot be had, the run says so and leaves no archive.
TEST(CrossArchive, TheLargestModelsCodeAsOnX86OrAreRefusedWhole) {
    const std::string input = read_file(test_data_dir() + "/vectors/inputs/fields.c");
    for (const std::string level : {"6", "7"}) {
        TempDir dir;
        write_file(dir.file("fields.c"), input);
        const RunResult a = run_taq({"a", "-m" + level, "-n", "arch", "fields.c"}, dir.path());
        const std::string written = test_data_dir() + "/cross/fields.c.m" + level + ".taq";
        if (a.exit_code != 0) {
            EXPECT_TRUE(contains(a.output, "No memory")) << a.output;
            EXPECT_FALSE(file_exists(dir.file("arch"))) << level;
        } else {
            EXPECT_TRUE(read_file(dir.file("arch")) == read_file(written)) << "-m" << level;
        }
        const RunResult x = run_taq({"x", written, "out"}, dir.path());
        if (x.exit_code != 0 && contains(x.output, "No memory")) continue;
        EXPECT_EQ(x.exit_code, 0) << x.output;
        EXPECT_TRUE(read_file(dir.file("out/fields.c")) == input) << "-m" << level;
    }
}

// A one-piece entry whose range starts at 4 GiB + 12,345: the piece is
// written there (the file sparse before it), not at the offset's low 32
// bits.
TEST(CrossArchive, APiecePast4GiBIsWrittenAtItsOffset) {
    TempDir dir;
    const std::string piece = random_bytes(3000, 29);
    write_file(dir.file("piece.bin"), piece);
    ASSERT_EQ(run_taq({"a", "-m0", "-n", "arch", "piece.bin"}, dir.path()).exit_code, 0);
    std::string archive = read_file(dir.file("arch"));
    EntryHeader h;
    {
        platform::File f = platform::File::open(dir.file("arch"), platform::File::Mode::read_existing);
        std::string why;
        ASSERT_TRUE(read_header(f, 0, archive.size(), h, &why)) << why;
    }
    constexpr uint64_t kStart = (uint64_t{1} << 32) + 12345;
    h.range_start = kStart;
    const std::vector<uint8_t> head = serialize_header(h);
    archive.replace(0, head.size(), std::string(head.begin(), head.end()));
    write_file(dir.file("arch"), archive);

    const RunResult r = run_taq({"x", "arch", "out"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    platform::File out = platform::File::open(dir.file("out/piece.bin"), platform::File::Mode::read_existing);
    ASSERT_TRUE(out);
    EXPECT_EQ(out.size(), static_cast<int64_t>(kStart + piece.size()));
    std::string got(piece.size(), '\0');
    ASSERT_TRUE(out.seek(kStart));
    EXPECT_EQ(out.read(got.data(), got.size()), got.size());
    EXPECT_TRUE(got == piece);
    std::string low(piece.size(), 'x');
    ASSERT_TRUE(out.seek(12345));
    EXPECT_EQ(out.read(low.data(), low.size()), low.size());
    EXPECT_EQ(low, std::string(piece.size(), '\0'));
}

}  // namespace
}  // namespace taq::test
