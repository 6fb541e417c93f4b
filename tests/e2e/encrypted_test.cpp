// Encrypted archives through the command line: --password-file on a, x, t
// and l, the refusals, damage found in every part of the container, and
// the archives made on the other systems. Archives that only need to
// exist are made through the library with few key-derivation rounds; the
// command line always derives with the full count.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "archive/sealed.h"
#include "e2e/round_trip.h"
#include "platform/crypto.h"
#include "support/test_support.h"

namespace taq::test {
namespace {

// A build without the cryptography library refuses encrypted archives:
// nothing to test there.
class Encrypted : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::crypto_available()) GTEST_SKIP() << "this build has no cryptography";
    }
};

const char* const kPassword = "a long and secret passphrase";

// dir holds "pw" (the password), "bad" (another one) and a library-made
// archive "arch" of `files`.
Files make_archive(const TempDir& dir, const Files& files) {
    write_file(dir.file("pw"), std::string(kPassword) + "\n");
    write_file(dir.file("bad"), "not the password\n");
    EXPECT_TRUE(add_encrypted(dir.path(), dir.file("arch"), files, kPassword));
    return files;
}

Files two_files() { return {{"ledger-2025.txt", repeated("income and taxes. ", 3000)}, {"mail.bin", random_bytes(150000, 4)}}; }

TEST_F(Encrypted, RoundTripOneTaskAndTwoSolidAndNotWithNoNameInTheBytes) {
    for (const std::vector<std::string>& switches :
         {std::vector<std::string>{"-t1"}, std::vector<std::string>{"-t2", "-s"}}) {
        SCOPED_TRACE(switches[0]);
        TempDir dir;
        const Files files = two_files();
        for (const auto& [name, data] : files) write_file(dir.file("in/" + name), data);
        write_file(dir.file("pw"), std::string(kPassword) + "\r\n");
        std::vector<std::string> args{"a", "-m0", "--password-file=pw"};
        args.insert(args.end(), switches.begin(), switches.end());
        args.insert(args.end(), {"arch", "in/ledger-2025.txt", "in/mail.bin"});
        RunResult r = run_taq(args, dir.path());
        ASSERT_EQ(r.exit_code, 0) << r.output;
        const std::string bytes = read_file(dir.file("arch"));
        for (const char* part : {"ledger", "mail", "in/", "income"}) EXPECT_FALSE(contains(bytes, part)) << part;

        r = run_taq({"l", "--password-file=pw", "arch"}, dir.path());
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_TRUE(contains(r.output, "in/ledger-2025.txt")) << r.output;
        r = run_taq({"x", "--password-file=pw", "arch", "out/"}, dir.path());
        ASSERT_EQ(r.exit_code, 0) << r.output;
        for (const auto& [name, data] : files) EXPECT_TRUE(file_holds(dir.file("out/in/" + name), data)) << name;
    }
}

// Versions live inside the encryption: `u` and `v` take the password, the
// deleted paths in the markers are hidden like every name.
TEST_F(Encrypted, UpdatesKeepVersionsInsideTheContainer) {
    TempDir dir;
    write_file(dir.file("pw"), std::string(kPassword) + "\n");
    write_file(dir.file("tree/kept-notes.txt"), "kept");
    write_file(dir.file("tree/gone-diary.txt"), "deleted later");
    RunResult r = run_taq({"a", "-m0", "-r", "--password-file=pw", "arch", "tree"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    std::filesystem::remove(dir.file("tree/gone-diary.txt"));
    r = run_taq({"u", "-m0", "-r", "--password-file=pw", "arch", "tree"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, " Files: 0 added, 1 unchanged, 1 deleted \n")) << r.output;
    const std::string bytes = read_file(dir.file("arch"));
    for (const char* part : {"diary", "notes", "tree/"}) EXPECT_FALSE(contains(bytes, part)) << part;
    r = run_taq({"v", "--password-file=pw", "arch"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, " n.2 versions in archive ")) << r.output;
    r = run_taq({"v", "arch"}, dir.path());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    r = run_taq({"x", "--until=1", "--password-file=pw", "arch", "one"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(file_holds(dir.file("one/tree/gone-diary.txt"), "deleted later"));
    r = run_taq({"x", "--password-file=pw", "arch", "two"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(files_below(dir.file("two")), std::set<std::string>{"tree/kept-notes.txt"});
}

TEST_F(Encrypted, AWrongPasswordIsOneLineAndWritesNothing) {
    TempDir dir;
    make_archive(dir, two_files());
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = run_taq({"x", "--password-file=bad", "arch", "out/"}, dir.path());
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(contains(r.output, "\nwrong password, or the archive is not encrypted with it\n")) << r.output;
    EXPECT_TRUE(files_below(dir.path() + "/out").empty());
    if (!under_emulator()) {
        EXPECT_LT(ms, 1000);
    }
    // Without a password the archive says what it is; a plain one opened
    // with a password gets the wrong password's line.
    EXPECT_TRUE(contains(run_taq({"t", "arch"}, dir.path()).output, "is encrypted: give its password"));
    write_file(dir.file("f"), "plain");
    ASSERT_EQ(run_taq({"a", "-m0", "plain", "f"}, dir.path()).exit_code, 0);
    EXPECT_TRUE(contains(run_taq({"t", "--password-file=pw", "plain"}, dir.path()).output,
                         "\nwrong password, or the archive is not encrypted with it\n"));
}

TEST_F(Encrypted, AppendNeedsTheSamePasswordAndNeverMixesPlainAndEncrypted) {
    TempDir dir;
    make_archive(dir, two_files());
    write_file(dir.file("new.txt"), "added by the command line");
    const std::string before = read_file(dir.file("arch"));
    const std::vector<std::vector<std::string>> refused{
        {"a", "-m0", "--password-file=bad", "arch", "new.txt"},
        {"a", "-m0", "arch", "new.txt"},
        {"a", "-m0", "--password-file=missing", "arch", "new.txt"},
        {"a", "-m0", "--password-file=empty", "arch", "new.txt"},
        {"a", "-m0", "--password", "arch", "new.txt"},  // no terminal to ask on
    };
    write_file(dir.file("empty"), "\n");
    for (const auto& args : refused) {
        SCOPED_TRACE(args[2]);
        const RunResult r = run_taq(args, dir.path());
        EXPECT_EQ(r.exit_code, 1) << r.output;
        EXPECT_TRUE(read_file(dir.file("arch")) == before);
    }
    RunResult r = run_taq({"a", "-m0", "--password-file=pw", "arch", "new.txt"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    r = run_taq({"t", "--password-file=pw", "arch"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "Tested 3 entries: 3 verified")) << r.output;

    // A plain archive is not made partly encrypted.
    ASSERT_EQ(run_taq({"a", "-m0", "plain", "new.txt"}, dir.path()).exit_code, 0);
    const std::string plain = read_file(dir.file("plain"));
    r = run_taq({"a", "-m0", "--password-file=pw", "plain", "new.txt"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(contains(r.output, "is not encrypted")) << r.output;
    EXPECT_TRUE(read_file(dir.file("plain")) == plain);
}

TEST_F(Encrypted, AFlippedBitInEveryRegionFailsNamingTheRange) {
    TempDir dir;
    make_archive(dir, two_files());
    const std::string good = read_file(dir.file("arch"));
    platform::File f = platform::File::open(dir.file("arch"), platform::File::Mode::read_existing);
    SealedArchive sealed;
    ASSERT_EQ(sealed.open(f, kPassword), SealedStatus::ok);
    const std::vector<SealedFrame> frames = sealed.frames();
    ASSERT_GE(frames.size(), 3u);
    const SealedFrame& names = frames[0];
    const SealedFrame& data = frames[frames.size() - 2];
    const std::vector<std::pair<const char*, uint64_t>> regions{
        {"version", 8},
        {"rounds", 13},
        {"salt", 20},
        {"password check", 40},
        {"names frame", names.at + kFrameHeadBytes + 10},
        {"data frame", data.at + kFrameHeadBytes + 1000},
        {"frame length", data.at + 17},
        {"tag", names.at + kFrameOverhead + names.length - 2},
    };
    for (const auto& [region, at] : regions) {
        SCOPED_TRACE(region);
        std::string bytes = good;
        bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
        write_file(dir.file("arch"), bytes);
        RunResult r = run_taq({"t", "--password-file=pw", "arch"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << r.output;
        EXPECT_TRUE(contains(r.output, "Error: damaged archive " + dir.file("arch") + " at offset ")) << r.output;
        r = run_taq({"x", "--password-file=pw", "arch", "out/"}, dir.path());
        EXPECT_EQ(r.exit_code, 1) << r.output;
        // Whatever was restored is exact.
        for (const auto& [name, contents] : two_files())
            if (file_exists(dir.file("out/" + name))) {
                EXPECT_TRUE(file_holds(dir.file("out/" + name), contents));
            }
    }
}

TEST_F(Encrypted, AKilledAddLeavesATailThatTheNextAddCuts) {
    TempDir dir;
    make_archive(dir, two_files());
    const std::string good = read_file(dir.file("arch"));
    write_file(dir.file("arch"), good.substr(0, good.size() - 300));
    write_file(dir.file("later.txt"), "after the crash");
    RunResult r = run_taq({"a", "-m0", "--password-file=pw", "arch", "later.txt"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "left incomplete: cut back from")) << r.output;
    r = run_taq({"x", "--password-file=pw", "arch", "out/"}, dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(file_holds(dir.file("out/ledger-2025.txt"), two_files()[0].second));
    EXPECT_TRUE(file_holds(dir.file("out/later.txt"), "after the crash"));
    EXPECT_FALSE(file_exists(dir.file("out/mail.bin")));
}

// Archives made by the command line of each system, with this password:
// both open on every system (under wine, the Linux-made one; on Linux the
// one made under wine).
TEST_F(Encrypted, ArchivesMadeOnEachSystemOpen) {
    const std::string dir = test_data_dir() + "/cross";
    TempDir out;
    write_file(out.file("pw"), "taq cross password\n");
    const std::string want = read_file(test_data_dir() + "/vectors/inputs/fields.c");
    ASSERT_FALSE(want.empty());
    for (const char* made_on : {"linux", "windows"}) {
        SCOPED_TRACE(made_on);
        const std::string archive = dir + "/encrypted-" + made_on + ".taq";
        ASSERT_TRUE(file_exists(archive));
        const RunResult r = run_taq({"x", "--password-file=pw", archive, std::string(made_on) + "/"}, out.path());
        ASSERT_EQ(r.exit_code, 0) << r.output;
        EXPECT_TRUE(file_holds(out.file(std::string(made_on) + "/fields.c"), want));
    }
}

}  // namespace
}  // namespace taq::test
