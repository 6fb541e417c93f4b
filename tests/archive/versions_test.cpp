// Version markers stacked on an entry's check record, the history read from
// them, --until's dates, and which stored paths `u` takes for deleted.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive/index.h"
#include "archive/update.h"
#include "archive/versions.h"
#include "support/test_support.h"

using namespace taq;

namespace {

std::string bytes_of(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

VersionMarker marker(uint32_t number, std::vector<std::string> deleted = {}) {
    VersionMarker m;
    m.number = number;
    m.started_ns = 1700000000000000000 + number;
    m.added = number * 10;
    m.bytes_stored = 1234;
    m.deleted = std::move(deleted);
    return m;
}

}  // namespace

TEST(Markers, StackedRecordsFormOneRegionReadOldestFirst) {
    CheckRecord own;
    own.data_hash = 42;
    own.file_size = 7;
    const std::string head(30, 'h'), coded(11, 'c');
    const std::string base = bytes_of(serialize_record(own));
    const std::string m1 = bytes_of(serialize_marker_record(own, marker(1, {"dir/gone", "x"}), true));
    const std::string m2 = bytes_of(serialize_marker_record(own, marker(2), true));
    const std::string entry = head + coded + base + m1 + m2;
    const Source src = Source::memory(entry.data(), entry.size());

    CheckRecord top;
    uint64_t region = 0;
    ASSERT_EQ(find_record(src, 0, entry.size(), head.size(), top, region), RecordState::present);
    EXPECT_EQ(region, base.size() + m1.size() + m2.size());
    EXPECT_EQ(top.data_hash, 42u);
    EXPECT_EQ(top.version, 2);
    std::vector<VersionMarker> got;
    ASSERT_TRUE(read_markers(src, 0, entry.size(), head.size(), got));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], marker(1, {"dir/gone", "x"}));
    EXPECT_EQ(got[1], marker(2));
    // A record of the plain kind has no marker, and is no region of two.
    const std::string plain = head + coded + base;
    ASSERT_TRUE(read_markers(Source::memory(plain.data(), plain.size()), 0, plain.size(), head.size(), got));
    EXPECT_TRUE(got.empty());

    // A damaged record below the top: the top still checks the entry and
    // keeps its marker; what lies below is reported, not trusted.
    std::string damaged = entry;
    damaged[head.size() + coded.size() + base.size() + 5] ^= 1;
    const Source bad = Source::memory(damaged.data(), damaged.size());
    ASSERT_EQ(find_record(bad, 0, damaged.size(), head.size(), top, region), RecordState::present);
    EXPECT_EQ(region, m2.size());
    EXPECT_FALSE(read_markers(bad, 0, damaged.size(), head.size(), got));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].number, 2u);

    // What a stopped run leaves after the last entry: one marker record.
    const std::string tail = plain + m1;
    const Source t = Source::memory(tail.data(), tail.size());
    EXPECT_TRUE(pending_marker_at(t, plain.size(), tail.size()));
    EXPECT_FALSE(pending_marker_at(t, plain.size() + 1, tail.size()));
    const std::string record_only = plain + base;
    EXPECT_FALSE(pending_marker_at(Source::memory(record_only.data(), record_only.size()), plain.size(),
                                   record_only.size()));
}

namespace {

// An archive made by the binary of the files named, in a fresh run.
void add(const test::TempDir& dir, const std::vector<std::string>& files) {
    std::vector<std::string> args{"a", "-m0", "arch"};
    args.insert(args.end(), files.begin(), files.end());
    const test::RunResult r = test::run_taq(args, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
}

struct Opened {
    platform::File file;
    ArchiveIndex index;
    VersionHistory history;
};

Opened open_archive(const std::string& path) {
    Opened o;
    o.file = platform::File::open(path, platform::File::Mode::read_existing);
    o.index = ArchiveIndex::check(o.file, platform::file_size(path));
    o.history = VersionHistory::read(o.file, o.index);
    return o;
}

}  // namespace

TEST(VersionHistory, EntriesVersionsDeletionsAndDates) {
    test::TempDir dir;
    test::write_file(dir.file("a"), "a1");
    test::write_file(dir.file("b"), "b1");
    add(dir, {"a", "b"});
    test::write_file(dir.file("a"), "a2 longer");
    add(dir, {"a"});
    {
        platform::File f = platform::File::open(dir.file("arch"), platform::File::Mode::write_existing);
        VersionMarker m = marker(3, {"b"});
        std::string why;
        ASSERT_TRUE(append_marker(file_marker_target(f), 0, m, why)) << why;
    }
    Opened o = open_archive(dir.file("arch"));
    const VersionHistory& h = o.history;
    EXPECT_TRUE(h.problems().empty());
    ASSERT_EQ(h.versions().size(), 3u);
    EXPECT_EQ(h.versions()[0].entries, 2u);
    EXPECT_EQ(h.versions()[1].entries, 1u);
    EXPECT_EQ(h.versions()[2].entries, 0u);
    EXPECT_EQ(h.versions()[1].end, h.versions()[2].end);
    EXPECT_EQ(h.next_number(), 4u);
    EXPECT_EQ(h.unmarked_entries(), 0u);

    EXPECT_FALSE(h.view(2).hides("b"));
    EXPECT_TRUE(h.view(3).hides("b"));
    EXPECT_TRUE(h.view(0).hides("b"));
    EXPECT_LT(h.view(1).end, h.view(2).end);
    const PathEvent* a1 = h.newest("a", 1);
    ASSERT_NE(a1, nullptr);
    EXPECT_EQ(a1->version, 1u);
    EXPECT_EQ(h.newest("a")->version, 2u);
    EXPECT_EQ(h.newest("missing"), nullptr);

    // Dates: the last version started at or before them, in local time.
    const int64_t second = h.versions()[1].marker.started_ns / 1000000000;
    platform::CalendarTime t;
    ASSERT_TRUE(platform::to_local_time(second, t));
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    uint32_t number = 0;
    std::string why;
    ASSERT_TRUE(version_until(h, text, number, why)) << why;
    EXPECT_GE(number, 2u);
    EXPECT_TRUE(version_until(h, "2", number, why));
    EXPECT_EQ(number, 2u);
    EXPECT_FALSE(version_until(h, "4", number, why));
    EXPECT_EQ(why, "matches no version: its versions are 1 to 3");
    for (const char* bad : {"2026-13-01", "2026-12-01T25:00", "2026-12-1", "12/01/2026", "", "2026-12-01T10:00:"}) {
        EXPECT_FALSE(version_until(h, bad, number, why)) << bad;
        EXPECT_EQ(why, "is neither a version number nor a date YYYY-MM-DD[THH:MM[:SS]]") << bad;
    }
    EXPECT_FALSE(version_until(h, "1970-01-02", number, why));
    EXPECT_EQ(version_time_text(0), "unknown");
}

TEST(VersionHistory, EntriesNoMarkerClosedAreAdoptedByTheNextRun) {
    test::TempDir dir;
    test::write_file(dir.file("a"), "a");
    const test::RunResult r = test::run_taq({"a", "-m0", "-n", "arch", "a"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    test::write_file(dir.file("b"), "b");
    add(dir, {"b"});
    Opened o = open_archive(dir.file("arch"));
    // The plain entry has no record to take a marker: it joins the run after it.
    ASSERT_EQ(o.history.versions().size(), 1u);
    EXPECT_EQ(o.history.versions()[0].entries, 2u);
    // A run's entries without their marker (a stopped run) become a version of their own.
    test::TempDir dir2;
    test::write_file(dir2.file("a"), "a");
    add(dir2, {"a"});
    std::string bytes = test::read_file(dir2.file("arch"));
    {
        Opened two = open_archive(dir2.file("arch"));
        const IndexEntry& e = two.index.entries()[0];
        CheckRecord rec;
        uint64_t region = 0;
        ASSERT_EQ(find_record(two.file, 0, e.header.entry_size, e.header.header_length(), rec, region),
                  RecordState::present);
        // Cut away the marker: the entry as the run left it before marking.
        bytes = test::read_file(dir2.file("arch"));
        const uint64_t own = kRecordLength;
        bytes.resize(e.header.entry_size - (region - own));
        test::put_le(bytes, 0, bytes.size(), 8);
        test::write_file(dir2.file("arch"), bytes);
    }
    test::write_file(dir2.file("b"), "b");
    add(dir2, {"b"});
    Opened after = open_archive(dir2.file("arch"));
    EXPECT_TRUE(after.history.problems().empty());
    ASSERT_EQ(after.history.versions().size(), 2u);
    EXPECT_EQ(after.history.versions()[0].marker.flags, kMarkerAdopted);
    EXPECT_EQ(after.history.versions()[0].marker.started_ns, 0);
    EXPECT_EQ(after.history.versions()[1].marker.number, 2u);
}

TEST(Update, OnlyWhatAnArgumentWouldListCountsAsDeleted) {
    test::TempDir dir;
    for (const char* f : {"tree/a.txt", "tree/b.log", "tree/sub/c.txt", "tree/kept.txt", "tree/unlisted.txt"})
        test::write_file(dir.file(f), f);
    const test::RunResult r = test::run_taq({"a", "-m0", "-r", "arch", "tree"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    for (const char* f : {"tree/a.txt", "tree/b.log", "tree/sub/c.txt"}) std::filesystem::remove(dir.file(f));
    Opened o = open_archive(dir.file("arch"));
    const std::string cwd = platform::current_directory();
    std::filesystem::current_path(dir.path());
    const std::vector<std::string> args{"tree/*.txt"};
    // tree/unlisted.txt exists but was not listed (as a file that cannot
    // be read): not deleted.
    FileList list = build_file_list({"tree/kept.txt"}, false);
    UpdateRequest request;
    request.args = &args;
    UpdateChoice c = choose_updates(list, request, o.history, o.index);
    EXPECT_EQ(c.deleted, std::vector<std::string>{"tree/a.txt"});
    EXPECT_EQ(c.unchanged, 1u);
    EXPECT_TRUE(c.to_add.empty());
    // Recursing, the subdirectory's file counts too.
    request.recurse = true;
    const std::vector<std::string> tree{"tree"};
    request.args = &tree;
    c = choose_updates(list, request, o.history, o.index);
    EXPECT_EQ(c.deleted, (std::vector<std::string>{"tree/a.txt", "tree/b.log", "tree/sub/c.txt"}));
    std::filesystem::current_path(cwd);
}
