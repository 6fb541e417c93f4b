// Encrypted archives below the command line: the compressor writing through
// a SealedWriter, the readers reading SealedArchive::plain(). Keys are
// derived with few rounds here (an archive's header carries its count).
#include <gtest/gtest.h>

#include <cstring>

#include "archive/append.h"
#include "archive/index.h"
#include "archive/sealed.h"
#include "archive/walk.h"
#include "compress/compress.h"
#include "extract/extract.h"
#include "platform/crypto.h"
#include "support/test_support.h"

namespace taq::test {
namespace {

// A build without the cryptography library refuses encrypted archives:
// nothing to test there.
class Sealed : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::crypto_available()) GTEST_SKIP() << "this build has no cryptography";
    }
};

constexpr uint32_t kFewRounds = 1000;
const char* const kPassword = "correct horse";

using Named = std::vector<std::pair<std::string, std::string>>;

bool add_sealed(const TempDir& dir, const Named& files, bool solid = false, const std::string& password = kPassword) {
    return add_encrypted(dir.path(), dir.file("arch"), files, password, solid, kFewRounds);
}

struct Opened {
    platform::File file;
    SealedArchive sealed;
    SealedStatus status = SealedStatus::failed;
};

std::unique_ptr<Opened> open_sealed(const std::string& path, const std::string& password = kPassword) {
    auto o = std::make_unique<Opened>();
    o->file = platform::File::open(path, platform::File::Mode::read_existing);
    o->status = o->sealed.open(o->file, password);
    return o;
}

// Restores every entry into dir/out; true when the walk found nothing wrong.
bool restore(const TempDir& dir, Opened& o, Messages& msgs) {
    Extractor extractor(false, msgs.diag);
    return extract_entries(extractor, o.sealed.plain(), o.sealed.plain_size(), nullptr, dir.file("arch"),
                           dir.file("out"), {"*"});
}

// Three entries: one of several frames between two small ones.
Named three_files() {
    return {{"alpha.txt", "the first file " + random_bytes(100, 1)},
            {"bravo.bin", random_bytes(300000, 2)},
            {"charlie.txt", repeated("the third one, repeated. ", 5000)}};
}

void flip(const std::string& path, uint64_t at) {
    std::string bytes = read_file(path);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x04);
    write_file(path, bytes);
}

TEST_F(Sealed, RoundTripSolidAndNotHidingEveryName) {
    for (const bool solid : {false, true}) {
        SCOPED_TRACE(solid ? "solid" : "not solid");
        TempDir dir;
        const Named files = three_files();
        ASSERT_TRUE(add_sealed(dir, files, solid));
        const std::string container = read_file(dir.file("arch"));
        for (const auto& [name, data] : files) EXPECT_FALSE(contains(container, name)) << name;
        EXPECT_FALSE(contains(container, "the third one"));

        const auto o = open_sealed(dir.file("arch"));
        ASSERT_EQ(o->status, SealedStatus::ok);
        EXPECT_TRUE(o->sealed.damage().empty());
        EXPECT_GE(o->sealed.frames().size(), 6u);
        Messages msgs;
        ASSERT_TRUE(restore(dir, *o, msgs)) << msgs.text;
        for (const auto& [name, data] : files) EXPECT_EQ(read_file(dir.file("out/" + name)), data) << name;
        // The plain archive inside is one that plain readers take.
        const ArchiveIndex index = ArchiveIndex::check(o->sealed.plain(), o->sealed.plain_size());
        EXPECT_EQ(index.entries().size(), files.size());
        EXPECT_EQ(index.sound_end(), o->sealed.plain_size());
    }
}

TEST_F(Sealed, AppendTakesTheSamePasswordAndFreshNonces) {
    TempDir dir;
    ASSERT_TRUE(add_sealed(dir, {{"one", random_bytes(70000, 3)}}));
    const std::string before = read_file(dir.file("arch"));
    EXPECT_FALSE(add_sealed(dir, {{"two", "never written"}}, false, "another password"));
    EXPECT_TRUE(read_file(dir.file("arch")) == before);
    ASSERT_TRUE(add_sealed(dir, {{"two", "added later"}}));
    const auto o = open_sealed(dir.file("arch"));
    ASSERT_EQ(o->status, SealedStatus::ok);
    EXPECT_TRUE(o->sealed.damage().empty());
    // Every frame has a nonce of its own, the ones sealed anew included.
    const std::string container = read_file(dir.file("arch"));
    std::set<std::string> nonces;
    for (const SealedFrame& f : o->sealed.frames()) nonces.insert(container.substr(f.at + 20, 12));
    EXPECT_EQ(nonces.size(), o->sealed.frames().size());
    Messages msgs;
    ASSERT_TRUE(restore(dir, *o, msgs)) << msgs.text;
    EXPECT_EQ(read_file(dir.file("out/two")), "added later");
}

TEST_F(Sealed, WrongPasswordAndEveryHeaderByteAreTold) {
    TempDir dir;
    ASSERT_TRUE(add_sealed(dir, {{"f", "contents"}}));
    EXPECT_EQ(open_sealed(dir.file("arch"), "wrong")->status, SealedStatus::wrong_password);
    const std::string good = read_file(dir.file("arch"));
    // Magic, version and methods, rounds, salt, password check, checksum.
    for (uint64_t at = 0; at < kSealedHeaderBytes; ++at) {
        write_file(dir.file("arch"), good);
        flip(dir.file("arch"), at);
        EXPECT_EQ(open_sealed(dir.file("arch"))->status, SealedStatus::damaged_header) << "byte " << at;
    }
    // A plain archive, and a reader of plain archives handed this one.
    write_file(dir.file("plain"), make_entry("f", ""));
    platform::File plain = platform::File::open(dir.file("plain"), platform::File::Mode::read_existing);
    SealedArchive s;
    EXPECT_EQ(s.open(plain, kPassword), SealedStatus::not_sealed);
    platform::File sealed = platform::File::open(dir.file("arch"), platform::File::Mode::read_existing);
    write_file(dir.file("arch"), good);
    const AppendCheck c = check_for_append(sealed, good.size());
    EXPECT_EQ(c.state, AppendCheck::refused);
    EXPECT_EQ(c.good_end, 0u);
}

TEST_F(Sealed, AFlippedBitInAnyFrameIsFoundAndTheOtherEntriesRestore) {
    TempDir dir;
    const Named files = three_files();
    ASSERT_TRUE(add_sealed(dir, files));
    const std::string good = read_file(dir.file("arch"));
    const auto clean = open_sealed(dir.file("arch"));
    const std::vector<SealedFrame> frames = clean->sealed.frames();
    ASSERT_GE(frames.size(), 4u);
    // The first frame (the first entry's names), one in the middle of the
    // second entry's data, the last one; in each the marker, plain offset,
    // length, nonce, ciphertext and tag.
    for (const size_t k : {size_t{0}, size_t{2}, frames.size() - 1}) {
        const SealedFrame& f = frames[k];
        for (const uint64_t in : {uint64_t{3}, uint64_t{10}, uint64_t{17}, uint64_t{25},
                                  uint64_t{kFrameHeadBytes + 1}, uint64_t{kFrameOverhead + f.length - 1}}) {
            SCOPED_TRACE(testing::Message() << "frame " << k << " byte " << in);
            write_file(dir.file("arch"), good);
            flip(dir.file("arch"), f.at + in);
            const auto o = open_sealed(dir.file("arch"));
            ASSERT_EQ(o->status, SealedStatus::ok);
            ASSERT_FALSE(o->sealed.damage().empty());
            EXPECT_LE(o->sealed.damage().front().from, f.at + in);
            EXPECT_GT(o->sealed.damage().front().to, f.at + in);
            Messages msgs;
            TempDir out_dir;
            Extractor extractor(false, msgs.diag);
            // (Damage in the last frame leaves a shorter plain archive that is
            // sound: only the container tells.)
            const bool walked = extract_entries(extractor, o->sealed.plain(), o->sealed.plain_size(), nullptr,
                                                "arch", out_dir.path(), {"*"});
            EXPECT_EQ(walked, k == frames.size() - 1);
            // The entry the damage is in is not written at all; the others are exact.
            size_t restored = 0;
            for (const auto& [name, data] : files) {
                if (!file_exists(out_dir.file(name))) continue;
                EXPECT_EQ(read_file(out_dir.file(name)), data) << name;
                ++restored;
            }
            EXPECT_EQ(restored, files.size() - 1) << msgs.text;
        }
    }
}

TEST_F(Sealed, AFrameCutShortAtTheEndIsCutAwayByTheNextAppend) {
    TempDir dir;
    ASSERT_TRUE(add_sealed(dir, {{"kept", random_bytes(1000, 5)}, {"cut", random_bytes(90000, 6)}}));
    const std::string good = read_file(dir.file("arch"));
    // A killed writer: the last frame half written.
    write_file(dir.file("arch"), good.substr(0, good.size() - 500));
    {
        const auto o = open_sealed(dir.file("arch"));
        ASSERT_EQ(o->status, SealedStatus::ok);
        EXPECT_TRUE(o->sealed.damage_is_tail());
    }
    // A whole last frame that fails its check is damage, not a tail.
    write_file(dir.file("arch"), good);
    flip(dir.file("arch"), good.size() - 3);
    EXPECT_FALSE(open_sealed(dir.file("arch"))->sealed.damage_is_tail());

    write_file(dir.file("arch"), good.substr(0, good.size() - 500));
    {
        const auto o = open_sealed(dir.file("arch"));
        const AppendCheck c = check_for_append(o->sealed.plain(), o->sealed.plain_size());
        ASSERT_EQ(c.state, AppendCheck::incomplete);
        std::string error;
        const auto w = SealedWriter::append(dir.file("arch"), o->sealed, error);
        ASSERT_TRUE(w && w->truncate(c.good_end) && w->sync()) << error;
    }
    ASSERT_TRUE(add_sealed(dir, {{"later", "after the repair"}}));
    const auto o = open_sealed(dir.file("arch"));
    EXPECT_TRUE(o->sealed.damage().empty());
    Messages msgs;
    ASSERT_TRUE(restore(dir, *o, msgs)) << msgs.text;
    EXPECT_EQ(read_file(dir.file("out/kept")), random_bytes(1000, 5));
    EXPECT_EQ(read_file(dir.file("out/later")), "after the repair");
    EXPECT_FALSE(file_exists(dir.file("out/cut")));
}

TEST_F(Sealed, FramesMovedBetweenArchivesOrReorderedAreDamage) {
    TempDir a, b;
    ASSERT_TRUE(add_sealed(a, {{"f", random_bytes(150000, 7)}}));
    ASSERT_TRUE(add_sealed(b, {{"f", random_bytes(150000, 8)}}));
    const auto oa = open_sealed(a.file("arch"));
    const SealedFrame f = oa->sealed.frames()[1];
    const size_t n = kFrameOverhead + f.length;
    std::string bytes_a = read_file(a.file("arch"));
    std::string bytes_b = read_file(b.file("arch"));
    // The same password, another salt.
    bytes_b.replace(f.at, n, bytes_a.substr(f.at, n));
    write_file(b.file("arch"), bytes_b);
    EXPECT_FALSE(open_sealed(b.file("arch"))->sealed.damage().empty());
    // The first two frames swapped.
    const SealedFrame g = oa->sealed.frames()[0];
    ASSERT_EQ(g.length, f.length);
    const std::string first = bytes_a.substr(g.at, n);
    bytes_a.replace(g.at, n, bytes_a.substr(f.at, n));
    bytes_a.replace(f.at, n, first);
    write_file(a.file("arch"), bytes_a);
    EXPECT_FALSE(open_sealed(a.file("arch"))->sealed.damage().empty());
}

// What the tasks of a run do with the keys they are handed: a part archive
// sealed with the run's keys (no password), joined into the archive with
// some of its entries left out; the bytes handed over give the same keys.
TEST_F(Sealed, PartsSealedWithHandedKeysJoinTheArchive) {
    TempDir dir;
    ASSERT_TRUE(add_sealed(dir, {{"first", "in the archive before the run"}}));
    Messages msgs;
    SealedAppend archive;
    ASSERT_TRUE(archive.open(dir.file("arch"), kPassword, kFewRounds, msgs.diag)) << msgs.text;
    SealedWriter& writer = *archive.writer();

    uint8_t handed[kHandedKeyBytes];
    keys_to_bytes(writer.keys(), handed);
    SealedKeys keys;
    ASSERT_TRUE(keys_from_bytes(handed, sizeof handed, keys));
    EXPECT_FALSE(keys_from_bytes(handed, sizeof handed - 1, keys));
    ASSERT_TRUE(keys_from_bytes(handed, sizeof handed, keys));
    EXPECT_EQ(std::memcmp(keys.marker, writer.keys().marker, sizeof keys.marker), 0);

    // Parts of a solid run and of one that is not.
    const Named files = three_files();
    for (const bool solid : {false, true}) {
        const std::string part = dir.file(solid ? "part-solid" : "part");
        SealedAppend target;
        ASSERT_TRUE(target.open(part, keys, msgs.diag)) << msgs.text;
        ASSERT_TRUE(add_sealed_files(dir.path(), part, *target.writer(), files, solid));
    }
    // A part opens with the password too (the same salt and rounds), not
    // with the keys of another archive.
    EXPECT_EQ(open_sealed(dir.file("part"))->status, SealedStatus::ok);
    TempDir other;
    ASSERT_TRUE(add_sealed(other, {{"f", "x"}}));
    platform::File part_file = platform::File::open(dir.file("part"), platform::File::Mode::read_existing);
    SealedArchive with_other;
    EXPECT_EQ(with_other.open(part_file, open_sealed(other.file("arch"))->sealed.keys()), SealedStatus::wrong_password);

    // The solid part cannot lose its middle entry: the last one goes on
    // with its model.
    const uint64_t before = writer.size();
    EXPECT_FALSE(append_sealed(msgs.diag, dir.file("part-solid"), writer, dir.file("arch"), {true, false, true}));
    EXPECT_TRUE(contains(msgs.text, "depends on them")) << msgs.text;
    EXPECT_EQ(writer.size(), before);
    ASSERT_TRUE(append_sealed(msgs.diag, dir.file("part"), writer, dir.file("arch"), {true, false, true})) << msgs.text;
    ASSERT_TRUE(writer.sync());

    const auto o = open_sealed(dir.file("arch"));
    ASSERT_EQ(o->status, SealedStatus::ok);
    EXPECT_TRUE(o->sealed.damage().empty());
    // Each joined entry starts a frame of its own.
    const ArchiveIndex index = ArchiveIndex::check(o->sealed.plain(), o->sealed.plain_size());
    ASSERT_EQ(index.entries().size(), 3u);
    for (const IndexEntry& e : index.entries()) {
        bool starts = false;
        for (const SealedFrame& f : o->sealed.frames()) starts = starts || f.plain == e.offset;
        EXPECT_TRUE(starts) << e.offset;
    }
    ASSERT_TRUE(restore(dir, *o, msgs)) << msgs.text;
    EXPECT_EQ(read_file(dir.file("out/first")), "in the archive before the run");
    EXPECT_EQ(read_file(dir.file("out/alpha.txt")), files[0].second);
    EXPECT_FALSE(file_exists(dir.file("out/bravo.bin")));
    EXPECT_EQ(read_file(dir.file("out/charlie.txt")), files[2].second);
}

}  // namespace
}  // namespace taq::test
