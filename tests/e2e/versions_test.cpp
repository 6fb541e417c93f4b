// Backups over time: `u` stores only what changed since the newest
// version, every run is a version, and `x`/`t` take the tree as of any of
// them (--until), files that `u` found deleted left out.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "archive/bytes.h"
#include "archive/index.h"
#include "archive/versions.h"
#include "e2e/round_trip.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace taq::test {
namespace {

using Tree = std::map<std::string, std::string>;  // path below the tree, contents

void write_tree(const TempDir& dir, const Tree& tree) {
    for (const auto& [name, data] : tree) write_file(dir.file("tree/" + name), data);
}

// Sets a file's time and permission bits, keeping its contents.
void set_meta(const std::string& path, int64_t mtime_ns, uint32_t permissions) {
    platform::File f = platform::File::open(path, platform::File::Mode::write_existing);
    ASSERT_TRUE(f.valid()) << path;
    platform::FileMeta m;
    m.mtime_ns = mtime_ns;
    m.permissions = permissions;
    ASSERT_TRUE(f.set_metadata(m)) << path;
}

platform::FileMeta meta_of(const std::string& path) {
    platform::File f = platform::File::open(path, platform::File::Mode::read_existing);
    platform::FileMeta m;
    EXPECT_TRUE(f.valid() && f.metadata(m)) << path;
    return m;
}

// The restored tree under `root`/tree equals `want`, file for file.
void expect_tree(const std::string& root, const Tree& want) {
    std::set<std::string> names;
    for (const auto& [name, data] : want) {
        names.insert("tree/" + name);
        EXPECT_TRUE(file_holds(root + "/tree/" + name, data)) << name;
    }
    EXPECT_EQ(files_below(root), names);
}

RunResult run_ok(const std::vector<std::string>& args, const TempDir& dir) {
    RunResult r = run_taq(args, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return r;
}

TEST(Versions, UpdateStoresWhatChangedAndRestoresEveryVersion) {
    for (const char* tasks : {"-t1", "-t2"}) {
        SCOPED_TRACE(tasks);
        TempDir dir;
        Tree first{{"same.txt", "never changes " + random_bytes(3000, 1)},
                   {"timed.txt", "new time, same bytes"},
                   {"quiet.txt", "contents change, size and time do not"},
                   {"gone.txt", "deleted before the second run"},
                   {"mode.txt", "its permission bits change"},
                   {"sub/deep.bin", random_bytes(20000, 2)}};
        write_tree(dir, first);
        run_ok({"a", "-m0", "-r", tasks, "arch", "tree"}, dir);

        const platform::FileMeta quiet = meta_of(dir.file("tree/quiet.txt"));
        const platform::FileMeta timed = meta_of(dir.file("tree/timed.txt"));
        // A time that goes backwards is a change too.
        set_meta(dir.file("tree/timed.txt"), timed.mtime_ns - 86400000000000, timed.permissions);
        write_file(dir.file("tree/quiet.txt"), "CONTENTS CHANGE, size and time do not");
        set_meta(dir.file("tree/quiet.txt"), quiet.mtime_ns, quiet.permissions);
        std::filesystem::remove(dir.file("tree/gone.txt"));
        set_meta(dir.file("tree/mode.txt"), meta_of(dir.file("tree/mode.txt")).mtime_ns, 0444);
        write_file(dir.file("tree/added.txt"), "new in the second run");
        Tree second = first;
        second.erase("gone.txt");
        second["added.txt"] = "new in the second run";

        RunResult r = run_ok({"u", "-m0", "-r", "-v", tasks, "arch", "tree"}, dir);
        EXPECT_TRUE(contains(r.output, " Files: 3 added, 3 unchanged, 1 deleted \n")) << r.output;
        EXPECT_TRUE(contains(r.output, "added tree/timed.txt\n")) << r.output;
        EXPECT_TRUE(contains(r.output, "deleted tree/gone.txt\n")) << r.output;
        EXPECT_FALSE(contains(r.output, "added tree/quiet.txt")) << r.output;
        // -c reads what looks unchanged and finds the quiet change.
        r = run_ok({"u", "-m0", "-r", "-c", tasks, "arch", "tree"}, dir);
        EXPECT_TRUE(contains(r.output, " Files: 1 added, 5 unchanged, 0 deleted \n")) << r.output;
        Tree third = second;
        third["quiet.txt"] = "CONTENTS CHANGE, size and time do not";

        r = run_ok({"v", "arch"}, dir);
        EXPECT_TRUE(contains(r.output, "6 added, 0 deleted, ")) << r.output;
        EXPECT_TRUE(contains(r.output, "3 added, 1 deleted, ")) << r.output;
        EXPECT_TRUE(contains(r.output, " n.3 versions in archive ")) << r.output;
        r = run_ok({"v", "arch", "gone.txt", "quiet.txt"}, dir);
        EXPECT_TRUE(contains(r.output, "tree/gone.txt\n      1  ")) << r.output;
        EXPECT_TRUE(contains(r.output, "      2  deleted\n")) << r.output;
        EXPECT_TRUE(contains(r.output, " n.2 files in archive ")) << r.output;

        run_ok({"x", tasks, "--until=1", "arch", "v1"}, dir);
        expect_tree(dir.file("v1"), first);
        run_ok({"x", tasks, "--until=2", "arch", "v2"}, dir);
        expect_tree(dir.file("v2"), second);
        // Without --until: the newest tree, the deleted file left out.
        run_ok({"x", tasks, "arch", "v3"}, dir);
        expect_tree(dir.file("v3"), third);
        EXPECT_EQ(meta_of(dir.file("v1/tree/mode.txt")).permissions & 0200, 0200u);
        EXPECT_EQ(meta_of(dir.file("v3/tree/mode.txt")).permissions & 0222, 0u);
        // A date after every run is the newest version.
        run_ok({"x", tasks, "--until=2999-01-01", "arch", "v4"}, dir);
        expect_tree(dir.file("v4"), third);
        for (const char* until : {"--until=1", "--until=3"}) {
            r = run_ok({"t", tasks, until, "arch"}, dir);
            EXPECT_TRUE(contains(r.output, " OK! ")) << r.output;
        }
        // (Read-only files would outlive the directory on some systems.)
        for (const char* f : {"tree/mode.txt", "v3/tree/mode.txt", "v4/tree/mode.txt"})
            set_meta(dir.file(f), meta_of(dir.file(f)).mtime_ns, 0644);
    }
}

TEST(Versions, AnUnchangedRunAddsOnlyItsMarker) {
    TempDir dir;
    for (int i = 0; i < 40; ++i) write_file(dir.file("tree/f" + std::to_string(i)), random_bytes(500, 10 + i));
    run_ok({"a", "-m0", "-r", "arch", "tree"}, dir);
    const uint64_t before = platform::file_size(dir.file("arch"));
    RunResult r = run_ok({"u", "-m0", "-r", "arch", "tree"}, dir);
    EXPECT_TRUE(contains(r.output, " Files: 0 added, 40 unchanged, 0 deleted \n")) << r.output;
    const uint64_t grown = platform::file_size(dir.file("arch")) - before;
    EXPECT_GT(grown, 0u);
    EXPECT_LT(grown, 1024u);
    r = run_ok({"v", "arch"}, dir);
    EXPECT_TRUE(contains(r.output, "0 added, 0 deleted, 0 bytes\n")) << r.output;
    // Both versions hold the whole tree.
    run_ok({"x", "--until=1", "arch", "one"}, dir);
    run_ok({"x", "arch", "two"}, dir);
    EXPECT_EQ(files_below(dir.file("one")).size(), 40u);
    EXPECT_EQ(files_below(dir.file("two")).size(), 40u);
}

// What a reader of the plain format sees: the records stripped (as such a
// reader never reads them), the newest copy of every file is restored.
TEST(Versions, APlainReaderStillRestoresTheNewestCopies) {
    TempDir dir;
    write_tree(dir, {{"a.txt", "first a"}, {"b.txt", "first b"}});
    run_ok({"a", "-m0", "-r", "arch", "tree"}, dir);
    write_file(dir.file("tree/a.txt"), "second a, longer");
    run_ok({"u", "-m0", "-r", "arch", "tree"}, dir);
    run_ok({"u", "-m0", "-r", "arch", "tree"}, dir);
    // Every record out, each entry_size cut back (the vectors' comparison).
    const std::string bytes = read_file(dir.file("arch"));
    platform::File f = platform::File::open(dir.file("arch"), platform::File::Mode::read_existing);
    std::string plain;
    const ArchiveIndex index = ArchiveIndex::read(f, bytes.size());
    for (const IndexEntry& e : index.entries()) {
        CheckRecord rec;
        uint64_t len = 0;
        ASSERT_EQ(find_record(f, e.offset, e.header.entry_size, e.header.header_length(), rec, len),
                  RecordState::present);
        std::string entry = bytes.substr(e.offset, e.header.entry_size - len);
        entry.replace(0, 8, le_bytes(entry.size(), 8));
        plain += entry;
    }
    write_file(dir.file("plain"), plain);
    RunResult r = run_ok({"t", "plain"}, dir);
    EXPECT_TRUE(contains(r.output, "3 entries: 0 verified, 3 without check record")) << r.output;
    run_ok({"x", "plain", "out"}, dir);
    expect_tree(dir.file("out"), {{"a.txt", "second a, longer"}, {"b.txt", "first b"}});
}

TEST(Versions, BadRequestsAreRefused) {
    TempDir dir;
    write_tree(dir, {{"a.txt", "a"}});
    run_ok({"a", "-m0", "-r", "arch", "tree"}, dir);
    run_ok({"u", "-m0", "-r", "arch", "tree"}, dir);
    for (const char* until : {"--until=3", "--until=1999-12-31"}) {
        RunResult r = run_taq({"x", until, "arch", "out"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << r.output;
        EXPECT_TRUE(contains(r.output, "matches no version: its versions are 1 to 2 (archive ")) << r.output;
        EXPECT_FALSE(file_exists(dir.file("out")));
    }
    RunResult r = run_taq({"t", "--until=yesterday", "arch"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(contains(r.output, "is neither a version number nor a date")) << r.output;
    // `u` refuses what `a` refuses, in the same words, and writes nothing.
    write_file(dir.file("notes"), std::string(300, 'n'));
    const RunResult a = run_taq({"a", "-m0", "notes", "tree/a.txt"}, dir.path());
    r = run_taq({"u", "-m0", "notes", "tree/a.txt"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(a.exit_code, 1);
    EXPECT_TRUE(contains(r.output, "is not an archive that can be added to")) << r.output;
    EXPECT_EQ(read_file(dir.file("notes")), std::string(300, 'n'));
    r = run_taq({"u", "-n", "arch", "tree/a.txt"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(contains(r.output, "-n cannot go with it")) << r.output;
}

// A marker that cannot be trusted never deletes a file: `t` reports it,
// `x` says so and restores the file.
TEST(Versions, AnUntrustedMarkerNeverHidesAFile) {
    TempDir dir;
    write_tree(dir, {{"a.txt", "kept"}});
    run_ok({"a", "-m0", "-r", "arch", "tree"}, dir);
    {
        platform::File f = platform::File::open(dir.file("arch"), platform::File::Mode::write_existing);
        VersionMarker bad;
        bad.number = 2;
        bad.deleted = {"tree/a.txt", "tree/never-stored.txt"};
        std::string why;
        ASSERT_TRUE(append_marker(file_marker_target(f), 0, bad, why)) << why;
        VersionMarker again;
        again.number = 2;  // out of order
        again.deleted = {"tree/a.txt"};
        ASSERT_TRUE(append_marker(file_marker_target(f), 0, again, why)) << why;
    }
    RunResult r = run_taq({"t", "arch"}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "Error: version 2 (its marker in the entry at offset 0) deletes "
                                   "tree/never-stored.txt, which no earlier version stored: its deletions are "
                                   "ignored\n"))
        << r.output;
    EXPECT_TRUE(contains(r.output, "Error: version marker 2 in the entry at offset 0 comes after version 2: passed over"))
        << r.output;
    r = run_taq({"x", "arch", "out"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "Warning: version 2")) << r.output;
    EXPECT_TRUE(file_holds(dir.file("out/tree/a.txt"), "kept"));
}

TEST(Versions, AKilledUpdateIsRepairedByTheNext) {
    TempDir dir;
    Tree first;
    for (int i = 0; i < 8; ++i) first["f" + std::to_string(i)] = random_bytes(40000, 70 + i);
    write_tree(dir, first);
    run_ok({"a", "-m0", "-r", "arch", "tree"}, dir);
    const std::string one = read_file(dir.file("arch"));

    // Stopped after its marker was written and before the last entry took
    // it in: the next run cuts it away.
    {
        platform::File f = platform::File::open(dir.file("arch"), platform::File::Mode::write_existing);
        CheckRecord rec;
        VersionMarker m;
        m.number = 2;
        const std::vector<uint8_t> tail = serialize_marker_record(rec, m, true);
        ASSERT_TRUE(f.seek(one.size()) && f.write(tail.data(), tail.size()));
    }
    RunResult r = run_ok({"t", "arch"}, dir);
    EXPECT_TRUE(contains(r.output, "an interrupted append at offset " + std::to_string(one.size()))) << r.output;
    r = run_ok({"u", "-m0", "-r", "arch", "tree"}, dir);
    EXPECT_TRUE(contains(r.output, "cut back from ")) << r.output;
    EXPECT_TRUE(contains(r.output, " Files: 0 added, 8 unchanged, 0 deleted")) << r.output;

    for (auto& [name, data] : first) {
        data = random_bytes(40000, 90 + static_cast<uint32_t>(name[1]));
        write_file(dir.file("tree/" + name), data);
    }
    const std::string two = read_file(dir.file("arch"));
    for (const char* tasks : {"-t1", "-t2"}) {
        for (int k = 1; k <= 4; ++k) {
            SCOPED_TRACE(std::string(tasks) + " kill " + std::to_string(k));
            write_file(dir.file("arch"), two);
            const int pid = start_taq({"u", "-m0", "-r", tasks, "arch", "tree"}, dir.path());
            std::this_thread::sleep_for(std::chrono::milliseconds(40 * k));
            kill_group(pid);
            r = run_ok({"u", "-m0", "-r", tasks, "arch", "tree"}, dir);
            r = run_ok({"t", "arch"}, dir);
            // The versions the kill could not touch restore exactly.
            std::filesystem::remove_all(dir.file("out"));
            run_ok({"x", "--until=1", "arch", "out"}, dir);
            EXPECT_EQ(files_below(dir.file("out")).size(), first.size());
            std::filesystem::remove_all(dir.file("out"));
            run_ok({"x", "arch", "out"}, dir);
            expect_tree(dir.file("out"), first);
        }
    }
}

}  // namespace
}  // namespace taq::test
