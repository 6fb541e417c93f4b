// Knowing that what was restored is right, and keeping work safe: check
// records catch every damaged entry, readers go on past damage, appends
// survive interruptions and each other, and no run writes where it must not.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "archive/record.h"
#include "archive/walk.h"
#include "e2e/round_trip.h"
#include "platform/platform.h"

namespace taq::test {
namespace {


struct Entry {
    uint64_t offset;
    EntryHeader header;
};

std::vector<Entry> entries_of(const std::string& archive) {
    std::vector<Entry> out;
    uint64_t at = 0;
    for (const EntryHeader& h : read_headers(archive)) {
        out.push_back({at, h});
        at += h.entry_size;
    }
    return out;
}

const Files kThree = {{"a.txt", "first file " + std::string(2000, 'a')},
                      {"b.txt", "second file " + random_bytes(3000, 2)},
                      {"c.txt", "third file " + std::string(2500, 'c')}};

void write_all(const TempDir& dir, const Files& files) {
    for (const auto& [name, data] : files) write_file(dir.file(name), data);
}

// Flips one bit of the archive at `at`.
void flip(const std::string& path, uint64_t at) {
    std::string bytes = read_file(path);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
    write_file(path, bytes);
}

TEST(Trust, AFlippedBitAnywhereInAnEntryIsCaughtAndTheOthersAreRestored) {
    TempDir dir;
    write_all(dir, kThree);
    add_m0(dir, {"a.txt", "b.txt", "c.txt"});
    const std::string clean = read_file(dir.file("arch"));
    const std::vector<Entry> e = entries_of(dir.file("arch"));
    ASSERT_EQ(e.size(), 3u);
    const EntryHeader& b = e[1].header;
    ASSERT_EQ(b.stored_name, "b.txt");
    const uint64_t data = e[1].offset + b.header_length() + 20;
    const uint64_t field = e[1].offset + b.header_length() - 10;  // inside range_start
    const uint64_t record = e[1].offset + b.entry_size - 30;
    for (const uint64_t at : {data, field, record}) {
        SCOPED_TRACE(at);
        write_file(dir.file("arch"), clean);
        flip(dir.file("arch"), at);
        RunResult r = run_taq({"t", "arch"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << r.output;
        EXPECT_TRUE(contains(r.output, "at offset " + std::to_string(e[1].offset))) << r.output;
        EXPECT_TRUE(contains(r.output, "1 damaged")) << r.output;
        EXPECT_FALSE(contains(r.output, " OK! "));

        std::filesystem::remove_all(dir.file("out"));
        r = run_taq({"x", "arch", "out"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << r.output;
        EXPECT_TRUE(contains(r.output, "at offset " + std::to_string(e[1].offset))) << r.output;
        EXPECT_TRUE(file_holds(dir.file("out/a.txt"), kThree[0].second));
        EXPECT_TRUE(file_holds(dir.file("out/c.txt"), kThree[2].second));
        // Nothing that could not be restored may look restored.
        EXPECT_FALSE(file_exists(dir.file("out/b.txt")));
    }
    // The data check names the entry.
    write_file(dir.file("arch"), clean);
    flip(dir.file("arch"), data);
    const RunResult r = run_taq({"x", "arch", "out"}, dir.path());
    EXPECT_TRUE(contains(r.output, "b.txt")) << r.output;
}

TEST(Trust, SalvageGoesOnAfterADamagedHeader) {
    for (const bool plain : {false, true}) {
        SCOPED_TRACE(plain ? "plain format" : "with records");
        TempDir dir;
        write_all(dir, kThree);
        write_all(dir, {{"d.txt", "fourth " + random_bytes(1500, 4)}});
        const std::vector<std::string> n = plain ? std::vector<std::string>{"-n"} : std::vector<std::string>{};
        std::vector<std::string> solid = n;
        solid.push_back("-s");
        // A solid run a, b, then a non-solid c, then another solid run d.
        add_m0(dir, {"a.txt", "b.txt"}, solid);
        add_m0(dir, {"c.txt"}, n);
        add_m0(dir, {"d.txt"}, solid);
        const std::vector<Entry> e = entries_of(dir.file("arch"));
        ASSERT_EQ(e.size(), 4u);
        // Entry a's name length points past the entry: the header is unreadable.
        std::string bytes = read_file(dir.file("arch"));
        put_le(bytes, 10, 60000, 2);
        write_file(dir.file("arch"), bytes);

        RunResult r = run_taq({"l", "arch"}, dir.path());
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(contains(r.output, "'x' restores them")) << r.output;

        r = run_taq({"x", "arch", "out"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << r.output;
        EXPECT_TRUE(contains(r.output, "Skipped bytes 0 to " + std::to_string(e[2].offset))) << r.output;
        // b continues a's model run: lost with it.
        EXPECT_FALSE(file_exists(dir.file("out/a.txt")));
        EXPECT_FALSE(file_exists(dir.file("out/b.txt")));
        EXPECT_TRUE(file_holds(dir.file("out/c.txt"), kThree[2].second));
        EXPECT_TRUE(file_exists(dir.file("out/d.txt")));

        r = run_taq({"t", "-t2", "arch"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << r.output;
    }
}

TEST(Trust, DataDamageInASolidRunLosesOnlyTheRestOfThatRun) {
    TempDir dir;
    write_all(dir, kThree);
    add_m0(dir, {"a.txt", "b.txt"}, {"-s"});
    add_m0(dir, {"c.txt"}, {"-s"});
    const std::vector<Entry> e = entries_of(dir.file("arch"));
    flip(dir.file("arch"), e[0].offset + e[0].header.header_length() + 30);
    for (const char* tasks : {"-t1", "-t2"}) {
        std::filesystem::remove_all(dir.file("out"));
        const RunResult r = run_taq({"x", tasks, "arch", "out"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << r.output;
        EXPECT_FALSE(file_exists(dir.file("out/a.txt"))) << tasks;
        EXPECT_FALSE(file_exists(dir.file("out/b.txt"))) << tasks;
        EXPECT_TRUE(file_holds(dir.file("out/c.txt"), kThree[2].second)) << tasks;
    }
}

// Readers take the tail that a killed `a` leaves for what it is, at the
// offset where the next `a` cuts: not damage, the entries before it are
// all there.
TEST(Trust, ReadersReportAnInterruptedAppendAsSuchNotAsDamage) {
    TempDir dir;
    write_all(dir, kThree);
    add_m0(dir, {"a.txt", "b.txt"});
    const std::string good = read_file(dir.file("arch"));
    std::string tail = good.substr(0, 60);
    put_le(tail, 0, 0, 8);
    write_file(dir.file("arch"), good + tail);
    const std::string notice = "Archive " + dir.file("arch") + ": an interrupted append at offset " +
                               std::to_string(good.size()) + " (the next a cuts it away)\n";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"l", "arch"}, {"t", "arch"}, {"t", "-t2", "arch"}, {"x", "arch", "out"}, {"x", "-t2", "arch", "out2"}}) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        const RunResult r = run_taq(args, dir.path());
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_TRUE(contains(r.output, notice)) << r.output;
        EXPECT_FALSE(contains(r.output, "amaged archive")) << r.output;
        EXPECT_FALSE(contains(r.output, "Skipped bytes")) << r.output;
    }
    EXPECT_TRUE(file_holds(dir.file("out/a.txt"), kThree[0].second));
    EXPECT_TRUE(file_holds(dir.file("out2/b.txt"), kThree[1].second));

    // Damage before the tail is still damage, and the tail no promise.
    std::string spoiled = good;
    spoiled[20] ^= 0x40;
    write_file(dir.file("arch"), spoiled + tail);
    const RunResult r = run_taq({"t", "arch"}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_FALSE(contains(r.output, "interrupted append")) << r.output;
}

TEST(Trust, AnInterruptedRunsTailIsCutAwayBeforeTheNextAppend) {
    TempDir dir;
    write_all(dir, kThree);
    add_m0(dir, {"a.txt"});
    const std::string good = read_file(dir.file("arch"));
    // What a run stopped in the middle of its entry leaves: the header with
    // its size still 0, part of the coded data.
    std::string tail = read_file(dir.file("arch")).substr(0, 60);
    put_le(tail, 0, 0, 8);
    write_file(dir.file("arch"), good + tail);
    RunResult r = run_taq({"a", "-m0", "arch", "b.txt"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "cut back from " + std::to_string(good.size() + 60) + " to " +
                                       std::to_string(good.size()) + " bytes"))
        << r.output;
    r = run_taq({"t", "arch"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    r = run_taq({"x", "arch", "out"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(file_holds(dir.file("out/b.txt"), kThree[1].second));

    // A header cut off by the end of the file (a join stopped early).
    write_file(dir.file("arch"), good + good.substr(0, 20));
    r = run_taq({"a", "-m0", "arch", "c.txt"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(entries_of(dir.file("arch")).size(), 2u);
}

// A file that grows while `a` reads it is stored as it was when the run
// took its size, byte for byte the entry of a file of that size, and the
// run says so and fails.
TEST(Trust, AFileThatGrowsWhileItIsReadIsStoredAtItsFormerSizeAndFailsTheRun) {
    TempDir dir;
    std::string text = random_bytes(3 << 20, 8);
    for (char& c : text) c = static_cast<char>('a' + static_cast<uint8_t>(c) % 26);
    write_file(dir.file("grow"), text);
    write_file(dir.file("ref/grow"), text);
    // Appends once the run has begun writing the entry, long before it has
    // read the file to its end.
    std::atomic<bool> appended{false}, done{false};
    std::thread writer([&] {
        for (int i = 0; i < 60000 && !done; ++i) {
            if (platform::file_size(dir.file("arch")) > 0) {
                std::ofstream(dir.file("grow"), std::ios::app | std::ios::binary) << "written meanwhile";
                appended = true;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const RunResult r = run_taq({"a", "-n", "-m0", "arch", "grow"}, dir.path());
    done = true;
    writer.join();
    ASSERT_TRUE(appended);
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(contains(r.output, "grow: file changed as we read it\n")) << r.output;
    ASSERT_EQ(run_taq({"a", "-n", "-m0", "arch", "grow"}, dir.file("ref")).exit_code, 0);
    EXPECT_TRUE(same_bytes(read_file(dir.file("arch")), read_file(dir.file("ref/arch"))));
}

TEST(Trust, AFileThatIsNotAnArchiveIsNeverTouched) {
    TempDir dir;
    write_all(dir, kThree);
    const std::vector<std::string> users{"Dear diary, today I wrote a long note about archives.\n", "9 bytes!\n",
                                         random_bytes(5000, 11), std::string(100, '\0')};
    for (const std::string& contents : users) {
        write_file(dir.file("notes"), contents);
        const RunResult r = run_taq({"a", "-m0", "notes", "a.txt"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << r.output;
        EXPECT_TRUE(contains(r.output, "nothing written")) << r.output;
        EXPECT_EQ(read_file(dir.file("notes")), contents);
    }
    // Damage in the middle of a real archive is refused too.
    add_m0(dir, {"a.txt", "b.txt"});
    std::string bytes = read_file(dir.file("arch"));
    const std::vector<Entry> e = entries_of(dir.file("arch"));
    put_le(bytes, e[1].offset + 10, 60000, 2);
    write_file(dir.file("arch"), bytes);
    const RunResult r = run_taq({"a", "-m0", "arch", "c.txt"}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_EQ(read_file(dir.file("arch")), bytes);
}

TEST(Trust, TheArchiveNeverGoesIntoItselfNorIsWrittenByItsOwnEntries) {
    TempDir dir;
    write_all(dir, kThree);
    add_m0(dir, {"*"});  // creates arch: not taken in
    RunResult r = run_taq({"a", "-m0", "arch", "*"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "arch: file is the archive; not dumped")) << r.output;
    for (const Entry& e : entries_of(dir.file("arch"))) EXPECT_NE(e.header.stored_name, "arch");

    // An archive that holds an entry named like itself, extracted where it lies.
    TempDir other;
    write_file(other.file("arch"), std::string("an older file called arch"));
    RunResult made = run_taq({"a", "-m0", dir.file("arch"), "arch"}, other.path());
    ASSERT_EQ(made.exit_code, 0) << made.output;
    const std::string before = read_file(dir.file("arch"));
    for (const char* tasks : {"-t1", "-t2"}) {
        r = run_taq({"x", tasks, "arch", "."}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << r.output;
        EXPECT_TRUE(contains(r.output, "is the archive being read")) << r.output;
        EXPECT_EQ(read_file(dir.file("arch")), before) << tasks;
    }
}

TEST(Trust, ConcurrentAddsToOneArchiveBothLand) {
    TempDir dir;
    Files first, second;
    for (int i = 0; i < 6; ++i) {
        first.push_back({"p" + std::to_string(i), random_bytes(40000, 100 + i)});
        second.push_back({"q" + std::to_string(i), random_bytes(40000, 200 + i)});
    }
    write_all(dir, first);
    write_all(dir, second);
    RunResult r1, r2;
    std::thread t1([&] { r1 = run_taq({"a", "-m0", "arch", "p*"}, dir.path()); });
    std::thread t2([&] { r2 = run_taq({"a", "-m0", "arch", "q*"}, dir.path()); });
    t1.join();
    t2.join();
    EXPECT_EQ(r1.exit_code, 0) << r1.output;
    EXPECT_EQ(r2.exit_code, 0) << r2.output;
    const RunResult r = run_taq({"x", "arch", "out"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    for (const Files* files : {&first, &second})
        for (const auto& [name, data] : *files) EXPECT_TRUE(file_holds(dir.file("out/" + name), data));
}

TEST(Trust, TheNewestVersionsSizeWins) {
    TempDir dir;
    const std::string big = random_bytes(8388609, 5);
    write_file(dir.file("f"), big);
    add_m0(dir, {"f"}, {"-t2"});
    const std::string smaller = big.substr(0, 8388608);
    write_file(dir.file("f"), smaller);
    add_m0(dir, {"f"});
    const RunResult r = run_taq({"x", "arch", "out"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(file_holds(dir.file("out/f"), smaller));
}

TEST(Trust, ExtractionNeverWritesThroughALink) {
    TempDir dir, outside;
    write_all(dir, kThree);
    write_file(dir.file("sub/d.txt"), std::string("in a subdirectory"));
    add_m0(dir, {"a.txt", "sub/d.txt"});
    write_file(outside.file("victim"), std::string("keep me"));
    make_dirs(dir.file("out"));
    if (!make_symlink(outside.file("victim"), dir.file("out/a.txt"))) GTEST_SKIP() << "no symbolic links here";
    ASSERT_TRUE(make_symlink(outside.path(), dir.file("out/sub")));
    const RunResult r = run_taq({"x", "arch", "out"}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_EQ(read_file(outside.file("victim")), "keep me");
    EXPECT_FALSE(file_exists(outside.file("d.txt")));
    EXPECT_TRUE(contains(r.output, "is a symbolic link")) << r.output;
    // The link at the file's own place is replaced by the restored file.
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(dir.file("out/a.txt"))));
    EXPECT_TRUE(file_holds(dir.file("out/a.txt"), kThree[0].second));
}

TEST(Trust, TimesPermissionsAndHashesComeBack) {
    TempDir dir;
    write_all(dir, kThree);
    std::filesystem::permissions(dir.file("a.txt"), static_cast<std::filesystem::perms>(04750));
    platform::File f = platform::File::open(dir.file("b.txt"), platform::File::Mode::write_existing);
    ASSERT_TRUE(f.set_metadata({978307200123456789, 0640}));  // 2001
    f.close();
    add_m0(dir, {"a.txt", "b.txt"});
    const RunResult r = run_taq({"x", "arch", "out"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    platform::FileMeta m;
    ASSERT_TRUE(platform::File::open(dir.file("out/a.txt"), platform::File::Mode::read_existing).metadata(m));
    EXPECT_EQ(m.permissions, kept_permissions(0750));  // never set-user-ID
    ASSERT_TRUE(platform::File::open(dir.file("out/b.txt"), platform::File::Mode::read_existing).metadata(m));
    EXPECT_EQ(m.permissions, kept_permissions(0640));
    // As exact as the system keeps times (100 ns on Windows).
    EXPECT_EQ(m.mtime_ns / 100, 978307200123456789 / 100);
    EXPECT_LE(m.mtime_ns, 978307200123456789);

    // The record's hash is that of the restored bytes, computed anew.
    platform::File archive = platform::File::open(dir.file("arch"), platform::File::Mode::read_existing);
    for (const Entry& e : entries_of(dir.file("arch"))) {
        CheckedEntry c;
        std::string why;
        ASSERT_TRUE(check_entry(archive, e.offset, platform::file_size(dir.file("arch")), c, why)) << why;
        ASSERT_EQ(c.record_state, RecordState::present);
        DataHasher h;
        const std::string restored = read_file(dir.file("out/" + e.header.stored_name));
        h.update(restored.data(), restored.size());
        EXPECT_EQ(h.digest(), c.record.data_hash) << e.header.stored_name;
        EXPECT_EQ(c.record.file_size, restored.size());
    }
}

// The summary counts entries, and the stretches the walk passed over
// apart from them: garbage between entries is no entry.
TEST(Trust, TheTallyCountsEntriesAndSkippedStretchesApart) {
    TempDir dir;
    write_all(dir, kThree);
    add_m0(dir, {"a.txt"});
    const std::string one = read_file(dir.file("arch"));
    std::filesystem::remove(dir.file("arch"));
    add_m0(dir, {"b.txt"});
    const std::string two = read_file(dir.file("arch"));
    const std::string garbage = random_bytes(412, 9);
    for (const char* tasks : {"-t1", "-t2"}) {
        write_file(dir.file("arch"), one + garbage + two);
        RunResult r = run_taq({"t", tasks, "arch"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << tasks << r.output;
        EXPECT_TRUE(contains(r.output, " Tested 2 entries: 2 verified, 0 without check record, 0 damaged; "
                                       "1 stretch of 412 bytes skipped \n"))
            << tasks << r.output;
        EXPECT_FALSE(contains(r.output, " OK! ")) << tasks;

        write_file(dir.file("arch"), one + garbage + two + "!");
        r = run_taq({"t", tasks, "arch"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << tasks << r.output;
        EXPECT_TRUE(contains(r.output, " Tested 2 entries: 2 verified, 0 without check record, 0 damaged; "
                                       "2 stretches of 413 bytes skipped \n"))
            << tasks << r.output;

        write_file(dir.file("arch"), one + "!" + two);
        r = run_taq({"t", tasks, "arch"}, dir.path());
        EXPECT_TRUE(contains(r.output, " 0 damaged; 1 stretch of 1 byte skipped \n")) << tasks << r.output;
    }
    // An entry whose header fails its check is a damaged entry, and its
    // bytes a stretch passed over.
    std::string bytes = one + two;
    write_file(dir.file("arch"), bytes);
    const std::vector<Entry> e = entries_of(dir.file("arch"));
    ASSERT_EQ(e.size(), 2u);
    bytes[one.size() + e[1].header.header_length() - 10] ^= 0x10;  // inside b's range_start
    write_file(dir.file("arch"), bytes);
    const RunResult r = run_taq({"t", "arch"}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_TRUE(contains(r.output, " Tested 2 entries: 1 verified, 0 without check record, 1 damaged; 1 stretch of " +
                                       std::to_string(two.size()) + " bytes skipped \n"))
        << r.output;
}

TEST(Trust, TheTallyOfAFailedPlainEntryIsTheSameWithTasks) {
    TempDir dir;
    const std::string plain = archive_of(dir, "plain", "a.txt", "plain words, no record");
    // A second entry whose range no system can write: it fails its test.
    const std::string bad = edited_entry(dir.file("plain"), [](EntryHeader& h) { h.range_start = (uint64_t{1} << 63) - 4; });
    write_file(dir.file("arch"), plain + bad);
    for (const char* tasks : {"-t1", "-t2"}) {
        const RunResult r = run_taq({"t", tasks, "arch"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << tasks << r.output;
        EXPECT_TRUE(contains(r.output, " Tested 2 entries: 0 verified, 1 without check record, 1 damaged"))
            << tasks << r.output;
    }
}

// The entry of `path` (one file) moved to start at `range_start`, its
// check record (if any) made to match the new header.
std::string moved_entry(const std::string& path, uint64_t range_start) {
    platform::File archive = platform::File::open(path, platform::File::Mode::read_existing);
    CheckedEntry c;
    std::string why;
    EXPECT_TRUE(check_entry(archive, 0, platform::file_size(path), c, why)) << why;
    const std::string bytes = read_file(path);
    EntryHeader h = c.header;
    const std::string coded =
        bytes.substr(h.header_length(), h.entry_size - h.header_length() - c.record_length);
    h.range_start = range_start;
    h.entry_size = h.header_length() + coded.size() + (c.record_state == RecordState::present ? kRecordLength : 0);
    const std::vector<uint8_t> head = serialize_header(h);
    std::string out = std::string(head.begin(), head.end()) + coded;
    if (c.record_state == RecordState::present) {
        c.record.header_hash = header_hash(head);
        c.record.version = 1;
        c.record.flags = 0;
        const std::vector<uint8_t> rec = serialize_record(c.record);
        out += std::string(rec.begin(), rec.end());
    }
    return out;
}

// An entry whose bytes could never be written where they belong fails `t`
// as it fails `x`, named, and before any output is touched.
TEST(Trust, AnEntryWhoseRangeCannotBeWrittenIsRefused) {
    TempDir dir;
    write_all(dir, kThree);
    add_m0(dir, {"b.txt"});
    const std::string b = read_file(dir.file("arch"));
    std::filesystem::remove(dir.file("arch"));
    struct Case {
        const char* what;
        std::vector<std::string> switches;
        uint64_t range_start;
        const char* why;
    };
    const Case cases[] = {
        {"past its record's file size", {}, uint64_t{1} << 44, "past the file's size in its check record (2011)"},
        {"past any file", {"-n"}, (uint64_t{1} << 63) - 100, "past the largest file this system can write"},
        {"wrapping around", {"-n"}, ~uint64_t{0} - 10, "past the largest file this system can write"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        add_m0(dir, {"a.txt"}, c.switches);
        const std::string forged = moved_entry(dir.file("arch"), c.range_start);
        write_file(dir.file("arch"), forged + b);
        const std::string line = "Error: a.txt in archive " + dir.file("arch") +
                                 " at offset 0 cannot be restored: its range " + std::to_string(c.range_start) +
                                 "+2011 lies " + c.why + "\n";
        for (const char* tasks : {"-t1", "-t2"}) {
            RunResult r = run_taq({"t", tasks, "arch"}, dir.path());
            EXPECT_EQ(r.exit_code, 1) << tasks << r.output;
            EXPECT_TRUE(contains(r.output, line)) << tasks << r.output;
            // (Through tasks a child's damaged entry ends the handing out of jobs.)
            if (std::string(tasks) == "-t1") {
                EXPECT_TRUE(contains(r.output, " Tested 2 entries: 1 verified, 0 without check record, 1 damaged"))
                    << r.output;
            }
            EXPECT_TRUE(contains(r.output, " 1 damaged")) << tasks << r.output;

            std::filesystem::remove_all(dir.file("out"));
            r = run_taq({"x", tasks, "arch", "out"}, dir.path());
            EXPECT_EQ(r.exit_code, 1) << tasks << r.output;
            EXPECT_TRUE(contains(r.output, line)) << tasks << r.output;
            EXPECT_FALSE(contains(r.output, "too large")) << tasks << r.output;
            EXPECT_FALSE(file_exists(dir.file("out/a.txt"))) << tasks;
            EXPECT_TRUE(file_holds(dir.file("out/b.txt"), kThree[1].second)) << tasks;
        }
        std::filesystem::remove(dir.file("arch"));
    }
}

TEST(Trust, PlainFormatArchivesTestCleanWithoutRecords) {
    TempDir dir;
    const RunResult r =
        run_taq({"t", "-v", test_data_dir() + "/vectors/archives/solid.m0.taq"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "no record")) << r.output;
    EXPECT_TRUE(contains(r.output, "0 verified")) << r.output;
    EXPECT_TRUE(contains(r.output, " 0 damaged")) << r.output;
}

}  // namespace
}  // namespace taq::test
