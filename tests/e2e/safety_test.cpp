// Archives and runs that must not hurt: stored paths that point outside the
// destination, stale output files, an archive that cannot grow, and damaged
// archives.
#include <gtest/gtest.h>

#include <filesystem>

#include "e2e/round_trip.h"

namespace taq::test {
namespace {


// The files below `root` whose name starts with `prefix`.
std::vector<std::string> files_named(const std::string& root, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& f : files_below(root))
        if (std::filesystem::path(f).filename().string().rfind(prefix, 0) == 0) out.push_back(f);
    return out;
}

TEST(Safety, StoredPathsLeadingOutsideTheDestinationAreRefused) {
    TempDir dir;
    const std::string data = "must stay inside " + random_bytes(3000, 8);
    archive_of(dir, "src", "victim", data);
    auto entry = [&](const std::string& stored_dir, const std::string& stored_name) {
        return edited_entry(dir.file("src"), [&](EntryHeader& h) {
            h.stored_dir = stored_dir;
            h.stored_name = stored_name;
        });
    };
    const std::vector<std::pair<std::string, std::string>> unsafe{
        {dir.path() + "/abs/", "escape1"}, {"../", "escape2"},  {"sub/../../", "escape3"},
        {"..\\", "escape4"},               {"", "../escape5"}, {"", "..\\escape6"},
        {"/", "escape7"},                  {"ok/", "a/../../../escape8"}};
    std::string archive = entry("", "keep1");
    for (const auto& [d, n] : unsafe) archive += entry(d, n);
    archive += entry("sub/", "keep2");
    write_file(dir.file("arch"), archive);

    const RunResult r = run_taq({"x", "arch", "dest/inner"}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    for (const auto& [d, n] : unsafe) EXPECT_TRUE(contains(r.output, d + n)) << "no message names " << d + n;
    EXPECT_EQ(files_named(dir.path(), "escape"), std::vector<std::string>{});
    EXPECT_FALSE(file_exists("/escape7"));
    EXPECT_TRUE(file_holds(dir.file("dest/inner/keep1"), data));
    EXPECT_TRUE(file_holds(dir.file("dest/inner/sub/keep2"), data));
}

TEST(Safety, LongerStaleOutputIsCutToTheRestoredSize) {
    TempDir dir;
    const std::string data = random_bytes(1000, 6);
    archive_of(dir, "arch", "f", data);
    write_file(dir.file("out/f"), random_bytes(50000, 7));
    const RunResult r = run_taq({"x", "arch", "out"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(file_holds(dir.file("out/f"), data));
}

TEST(Safety, FailedArchiveWriteLeavesTheArchiveAsBeforeTheRun) {
    if (!file_limit_supported()) GTEST_SKIP() << "no per-process file size limit on this system";
    TempDir dir;
    const std::string before = archive_of(dir, "arch", "small.txt", "a small first entry");
    write_file(dir.file("a.1"), "fits in the limit");
    write_file(dir.file("b.2"), random_bytes(400000, 3));  // raw blocks: about as large coded

    // The header write fails: the limit is below the archive's end.
    RunResult r = run_taq_with_file_limit({"a", "-m0", "arch", "b.2"}, dir.path(), before.size() / 1024);
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "Error: cannot write Output file ")) << r.output;
    EXPECT_TRUE(same_bytes(read_file(dir.file("arch")), before));

    // a.1 fits; b.2 fails part way through its coded data: a.1 goes too.
    r = run_taq_with_file_limit({"a", "-m0", "arch", "a.1", "b.2"}, dir.path(), 200);
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "Error: cannot write Output file ")) << r.output;
    EXPECT_FALSE(contains(r.output, " Compressed ")) << r.output;
    EXPECT_TRUE(same_bytes(read_file(dir.file("arch")), before));

    r = run_taq({"x", "arch", "out"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(file_holds(dir.file("out/small.txt"), "a small first entry"));
    EXPECT_FALSE(file_exists(dir.file("out/a.1")));
    EXPECT_FALSE(file_exists(dir.file("out/b.2")));

    // An archive that the failed run created is not left behind.
    r = run_taq_with_file_limit({"a", "-m0", "fresh", "a.1", "b.2"}, dir.path(), 200);
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_FALSE(file_exists(dir.file("fresh")));
}

struct Damage {
    std::string what;
    std::string archive;
};

// Every damaged archive makes `x` stop with exit code 1 and an error
// message, within a few seconds and without a signal.
void expect_refused(const TempDir& dir, const std::vector<Damage>& cases) {
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string name = "bad" + std::to_string(i);
        write_file(dir.file(name), cases[i].archive);
        const RunResult r = run_taq({"x", name, "out" + std::to_string(i)}, dir.path(), 20000);
        EXPECT_EQ(r.exit_code, 1) << cases[i].what << ":\n" << r.output;
        EXPECT_TRUE(contains(r.output, "rror")) << cases[i].what << ":\n" << r.output;
        EXPECT_FALSE(contains(r.output, " OK! ")) << cases[i].what;
    }
}

TEST(Safety, DamagedArchivesStopWithAMessage) {
    TempDir dir;
    // Text the digram transform takes, so the coded length is shorter than the data.
    const std::string plain_text = read_file(test_data_dir() + "/vectors/inputs/alice29.txt").substr(0, 20000);
    const std::string general = archive_of(dir, "general", "g.txt", plain_text);
    const std::string media = archive_of(dir, "media", "m.gif", "GIF89a" + random_bytes(20000, 4));
    archive_of(dir, "code", "c.bin", random_bytes(20000, 5));
    const auto gh = read_headers(dir.file("general"));
    ASSERT_EQ(gh.size(), 1u);
    const size_t header = gh[0].header_length();

    auto edit_general = [&](const std::function<void(EntryHeader&)>& f) { return edited_entry(dir.file("general"), f); };
    auto edit_media = [&](const std::function<void(EntryHeader&)>& f) { return edited_entry(dir.file("media"), f); };
    auto patched = [](std::string s, size_t at, uint64_t v, int bytes) {
        put_le(s, at, v, bytes);
        return s;
    };

    std::vector<Damage> cases{
        {"cut in the entry size", general.substr(0, 5)},
        {"cut in the header", general.substr(0, 30)},
        {"cut right after the header", general.substr(0, header)},
        {"cut in the coded data", general.substr(0, header + 20)},
        {"last byte missing", general.substr(0, general.size() - 1)},
        {"second entry cut", general + media.substr(0, media.size() / 2)},
        {"entry size past the end", patched(general, 0, general.size() + 100, 8)},
        {"entry size 0", patched(general, 0, 0, 8)},
        {"entry size below a header", patched(general, 0, 47, 8)},
        {"name length past the entry", patched(general, 10, 0xFFFF, 2)},
        {"name length 0", patched(general, 10, 0, 2)},
        {"data kind 9", edit_media([](EntryHeader& h) { h.data_kind = static_cast<DataKind>(9); })},
        {"colour image of width 0", edit_media([](EntryHeader& h) { h.data_kind = DataKind::colour_image; h.image_width = 0; })},
        {"colour image of huge width",
         edit_media([](EntryHeader& h) { h.data_kind = DataKind::colour_image; h.image_width = 0xFFFFFFFF; })},
        {"grey image of width 0", edit_media([](EntryHeader& h) { h.data_kind = DataKind::grey_image; h.image_width = 0; })},
        {"wave without channels", edit_media([](EntryHeader& h) {
             h.data_kind = DataKind::audio;
             h.sample_width = 2;
             h.channels = 0;
             h.record_length = 2;
         })},
        {"wave records shorter than one sample per channel", edit_media([](EntryHeader& h) {
             h.data_kind = DataKind::audio;
             h.sample_width = 4;
             h.channels = 200;
             h.record_length = 1;
         })},
        {"wave records longer than one sample per channel", edit_media([](EntryHeader& h) {
             h.data_kind = DataKind::audio;
             h.sample_width = 1;
             h.channels = 1;
             h.record_length = 200;
         })},
        {"binary data size past its coded length", edited_entry(dir.file("code"), [](EntryHeader& h) {
             h.data_size *= 2;
         })},
        {"wave without sample width", edit_media([](EntryHeader& h) {
             h.data_kind = DataKind::audio;
             h.sample_width = 0;
             h.channels = 2;
             h.record_length = 2;
         })},
        {"model memory 0", edit_general([](EntryHeader& h) { h.model_memory = 0; })},
        {"model memory not a power of two", edit_general([](EntryHeader& h) { h.model_memory = 5000000; })},
        {"model memory of 2 GiB", edit_general([](EntryHeader& h) { h.model_memory = 0x80000000u; })},
        {"first entry continues a model", edit_general([](EntryHeader& h) { h.reset_flag = 0; })},
        {"negative data size", edit_general([](EntryHeader& h) { h.data_size = -5; })},
        {"data size below the coded length", edit_general([](EntryHeader& h) { h.data_size = 100; })},
        {"text that expands short of the data size",
         edit_general([&](EntryHeader& h) { h.data_size = static_cast<int64_t>(plain_text.size()) + 3000; })},
        {"general data size far past the stream", edit_general([](EntryHeader& h) { h.data_size = int64_t{1} << 40; })},
    };
    expect_refused(dir, cases);
}

// Tiny images whose headers claim the widest row there is: the per-kind
// coders must not pay for the width the data does not fill.
TEST(Safety, ClaimedImageWidthsCostNothingPastTheData) {
    TempDir dir;
    std::vector<std::string> names;
    for (int i = 0; i < 60; ++i) {
        names.push_back("p" + std::to_string(i) + (i % 2 ? ".pgm" : ".ppm"));
        write_file(dir.file(names.back()), (i % 2 ? "P5\n8388608 1\n255\n" : "P6\n2796202 1\n255\n") + random_bytes(50, i));
    }
    add_m0(dir, names);
    for (const EntryHeader& h : read_headers(dir.file("arch"))) EXPECT_NE(h.data_kind, DataKind::general) << h.stored_name;
    const RunResult r = run_taq({"x", "arch", "out"}, dir.path(), 20000);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    for (const std::string& name : names) EXPECT_TRUE(file_holds(dir.file("out/" + name), read_file(dir.file(name))));
}

// A per-kind stream has no framing that could betray a wrong data size;
// only its length can.
TEST(Safety, PerKindDataSizeFarPastTheStreamStops) {
    TempDir dir;
    archive_of(dir, "media", "m.gif", "GIF89a" + random_bytes(20000, 4));
    expect_refused(dir, {{"per-kind data size far past the stream",
                          edited_entry(dir.file("media"), [](EntryHeader& h) { h.data_size = int64_t{1} << 40; })}});
}

}  // namespace
}  // namespace taq::test
