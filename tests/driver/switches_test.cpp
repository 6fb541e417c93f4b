#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/commands.h"
#include "driver/switches.h"
#include "support/test_support.h"

namespace taq {
namespace {

struct Parsed {
    SwitchOutcome outcome;
    Settings settings;
    size_t next = 0;
};

Parsed parse(Command command, std::vector<std::string> switches, unsigned processors = 2) {
    std::vector<std::string> args = {"taq", command == Command::add ? "a" : "x"};
    args.insert(args.end(), switches.begin(), switches.end());
    args.push_back("archive");
    Parsed p;
    p.settings.processor_count = processors;
    p.outcome = parse_switches(command, args, 2, p.settings, &p.next);
    return p;
}

TEST(Command, FirstCharacterAloneCaseSensitive) {
    EXPECT_EQ(command_of("add"), Command::add);
    EXPECT_EQ(command_of("a"), Command::add);
    EXPECT_EQ(command_of("xtract"), Command::extract);
    EXPECT_EQ(command_of("list"), Command::list);
    EXPECT_EQ(command_of("X"), Command::none);
    EXPECT_EQ(command_of("A"), Command::none);
    EXPECT_EQ(command_of(""), Command::none);
    EXPECT_EQ(command_of("test"), Command::test);
    EXPECT_EQ(command_of("T"), Command::none);
}

TEST(Switches, DefaultsAndArchiveIndex) {
    Parsed p = parse(Command::add, {});
    EXPECT_EQ(p.outcome, SwitchOutcome::ok);
    EXPECT_EQ(p.next, 2u);
    EXPECT_EQ(p.settings.run_mode, RunMode::single);
    EXPECT_EQ(p.settings.method_level, 5);
    EXPECT_EQ(p.settings.model_memory, 134217728u);
    EXPECT_EQ(p.settings.min_match, 3);

    p = parse(Command::add, {"-r", "-m2"});
    EXPECT_EQ(p.next, 4u);
}

TEST(Switches, MethodLevels) {
    for (int level = 0; level <= 7; ++level) {
        Parsed p = parse(Command::add, {"-m" + std::to_string(level)});
        ASSERT_EQ(p.outcome, SwitchOutcome::ok);
        EXPECT_EQ(p.settings.method_level, level);
        EXPECT_EQ(p.settings.model_memory, 4194304u << level);
    }
    EXPECT_EQ(parse(Command::add, {"-m7"}).settings.model_memory, 536870912u);
    EXPECT_EQ(parse(Command::add, {"-m8"}).outcome, SwitchOutcome::unknown_option);
    EXPECT_EQ(parse(Command::add, {"-m9"}).outcome, SwitchOutcome::unknown_option);
    EXPECT_EQ(parse(Command::add, {"-m"}).outcome, SwitchOutcome::unknown_option);
    // "-" alone is the archive (standard output), not a switch: parsing stops there.
    EXPECT_EQ(parse(Command::add, {"-"}).outcome, SwitchOutcome::ok);
    EXPECT_EQ(parse(Command::add, {"-"}).next, 2u);
    EXPECT_EQ(parse(Command::add, {"--name=db.sql"}).settings.stdin_name, "db.sql");
    EXPECT_EQ(parse(Command::add, {"--name="}).outcome, SwitchOutcome::unknown_option);
    EXPECT_EQ(parse(Command::add, {"-q"}).outcome, SwitchOutcome::unknown_option);
    // After m, a non-digit is read as the next letter; the level stays.
    Parsed p = parse(Command::add, {"-mr"});
    EXPECT_EQ(p.outcome, SwitchOutcome::ok);
    EXPECT_TRUE(p.settings.recurse);
    EXPECT_EQ(p.settings.method_level, 5);
    // m ends the argument: what follows the digit is ignored.
    p = parse(Command::add, {"-m3q"});
    EXPECT_EQ(p.outcome, SwitchOutcome::ok);
    EXPECT_EQ(p.settings.method_level, 3);
}

TEST(Switches, TaskCountsAndLastRunModeWins) {
    Parsed p = parse(Command::add, {"-t1", "-t4"});
    EXPECT_EQ(p.settings.run_mode, RunMode::parent);
    EXPECT_EQ(p.settings.task_count, 4u);
    EXPECT_EQ(parse(Command::add, {"-t4", "-t1"}).settings.run_mode, RunMode::single);

    EXPECT_EQ(parse(Command::add, {"-t0"}, 1).settings.run_mode, RunMode::single);
    p = parse(Command::add, {"-t0"}, 16);
    EXPECT_EQ(p.settings.run_mode, RunMode::parent);
    EXPECT_EQ(p.settings.task_count, 8u);
    EXPECT_EQ(parse(Command::add, {"-t0"}, 3).settings.task_count, 3u);

    EXPECT_EQ(parse(Command::add, {"-t9"}).settings.run_mode, RunMode::single);
    EXPECT_EQ(parse(Command::add, {"-t"}).outcome, SwitchOutcome::ok);

    p = parse(Command::add, {"-t4", "-p3"});
    EXPECT_EQ(p.settings.run_mode, RunMode::child);
    EXPECT_EQ(p.settings.task_slot, 3);
    EXPECT_EQ(parse(Command::add, {"-p3", "-T2"}).settings.run_mode, RunMode::parent);
    EXPECT_EQ(parse(Command::add, {"-p9"}).settings.run_mode, RunMode::single);
    EXPECT_EQ(parse(Command::add, {"-p0"}).settings.run_mode, RunMode::single);
}

TEST(Switches, CombinedLettersInAdd) {
    Parsed p = parse(Command::add, {"-RsV"});
    EXPECT_EQ(p.outcome, SwitchOutcome::ok);
    EXPECT_TRUE(p.settings.recurse);
    EXPECT_TRUE(p.settings.solid);
    EXPECT_TRUE(p.settings.verbose);
    EXPECT_EQ(p.settings.recurse_text, " -r ");
    EXPECT_EQ(p.settings.solid_text, " -s ");
    EXPECT_EQ(p.settings.verbose_text, " -v ");

    p = parse(Command::add, {"-rt4"});
    EXPECT_TRUE(p.settings.recurse);
    EXPECT_EQ(p.settings.task_count, 4u);
    p = parse(Command::add, {"-vM2"});
    EXPECT_TRUE(p.settings.verbose);
    EXPECT_EQ(p.settings.method_level, 2);
    EXPECT_EQ(parse(Command::add, {"-rq"}).outcome, SwitchOutcome::unknown_option);

    // -n leaves the check records out; they are on by default.
    EXPECT_TRUE(parse(Command::add, {}).settings.check_record);
    p = parse(Command::add, {"-Nr"});
    EXPECT_FALSE(p.settings.check_record);
    EXPECT_TRUE(p.settings.recurse);
    EXPECT_EQ(parse(Command::extract, {"-n"}).outcome, SwitchOutcome::unknown_option);
    EXPECT_EQ(parse(Command::test, {"-n"}).outcome, SwitchOutcome::unknown_option);
}

TEST(Switches, ExtractReadsOnlyTheFirstLetter) {
    Parsed p = parse(Command::extract, {"-v", "-T3"});
    EXPECT_EQ(p.outcome, SwitchOutcome::ok);
    EXPECT_TRUE(p.settings.verbose);
    EXPECT_EQ(p.settings.task_count, 3u);
    EXPECT_EQ(p.next, 4u);
    p = parse(Command::extract, {"-vr"});
    EXPECT_EQ(p.outcome, SwitchOutcome::ok);
    EXPECT_FALSE(p.settings.recurse);
    EXPECT_EQ(parse(Command::extract, {"-p2"}).settings.task_slot, 2);
    for (const char* letter : {"-m5", "-r", "-s", "-x", "-cv"})
        EXPECT_EQ(parse(Command::extract, {letter}).outcome, SwitchOutcome::unknown_option) << letter;
    EXPECT_TRUE(parse(Command::extract, {"-c"}).settings.to_stdout);
    EXPECT_EQ(parse(Command::test, {"-c"}).outcome, SwitchOutcome::unknown_option);
}

TEST(Switches, WhatCountsAsASwitchOfACommand) {
    for (const char* arg : {"-m0", "-rs", "-N", "-t2", "-p1", "-V", "--help", "-h", "--version"})
        EXPECT_TRUE(is_switch(Command::add, arg)) << arg;
    for (const char* arg : {"-foo.txt", "-m8", "-m", "-", "x", "", "./-v", "--verbose"})
        EXPECT_FALSE(is_switch(Command::add, arg)) << arg;
    for (const Command c : {Command::extract, Command::test}) {
        for (const char* arg : {"-v", "-T3", "-p2", "--help"}) EXPECT_TRUE(is_switch(c, arg)) << arg;
        for (const char* arg : {"-m5", "-r", "-n", "-x.txt", "-"}) EXPECT_FALSE(is_switch(c, arg)) << arg;
    }
}

TEST(Switches, ChildSlotCarriesItsBoard) {
    for (Command c : {Command::add, Command::extract}) {
        Parsed p = parse(c, {"-p2:/work dir/.taq-board-7"});
        EXPECT_EQ(p.settings.run_mode, RunMode::child);
        EXPECT_EQ(p.settings.task_slot, 2);
        EXPECT_EQ(p.settings.board_path, "/work dir/.taq-board-7");
        // Without one the board path keeps its default.
        EXPECT_EQ(parse(c, {"-p3"}).settings.board_path, Settings{}.board_path);
        EXPECT_EQ(parse(c, {"-p9:/b"}).settings.board_path, Settings{}.board_path);
    }
}

TEST(AddTarget, ArchiveNameRules) {
    test::TempDir tmp;
    const std::string cwd = tmp.path() + "/work.d";  // a dot in the current directory
    test::make_dirs(cwd + "/mydir");

    AddTarget t = form_add_target("arch", {"f1", "f2"}, cwd);
    EXPECT_EQ(t.archive_path, cwd + "/arch");
    EXPECT_EQ(t.files, (std::vector<std::string>{"f1", "f2"}));

    t = form_add_target("mydir", {}, cwd);
    EXPECT_EQ(t.archive_path, cwd + "/mydir.taq");
    EXPECT_EQ(t.files, (std::vector<std::string>{"mydir/*"}));

    t = form_add_target("mydir/", {}, cwd);
    EXPECT_EQ(t.archive_path, cwd + "/mydir.taq");
    EXPECT_EQ(t.files, (std::vector<std::string>{"mydir/"}));

    t = form_add_target("notes.txt", {}, cwd);
    EXPECT_EQ(t.archive_path, cwd + "/work.d.taq");
    EXPECT_EQ(t.files, (std::vector<std::string>{"notes.txt"}));

    t = form_add_target("mydir/*.bmp", {}, cwd);
    EXPECT_EQ(t.archive_path, cwd + "/mydir.taq");
    EXPECT_EQ(t.files, (std::vector<std::string>{"mydir/*.bmp"}));

    t = form_add_target("arch", {}, cwd);
    EXPECT_EQ(t.archive_path, cwd + "/arch");
    EXPECT_EQ(t.files, (std::vector<std::string>{cwd + "/*"}));

    t = form_add_target(cwd + "/mydir", {}, "/elsewhere");
    EXPECT_EQ(t.archive_path, "/elsewhere/mydir.taq");
    EXPECT_EQ(t.files, (std::vector<std::string>{cwd + "/mydir/*"}));
}

TEST(Destination, DirectoryAndLowerCasedWildcard) {
    const std::string cwd = "/home/u/my.proj";
    Destination d = prepare_destination("out", cwd);
    EXPECT_EQ(d.dir, cwd + "/out/");
    EXPECT_EQ(d.pattern, "*");
    d = prepare_destination("out\\*.BMP", cwd);
    EXPECT_EQ(d.dir, cwd + "/out\\");
    EXPECT_EQ(d.pattern, "*.bmp");
    d = prepare_destination("out/", cwd);
    EXPECT_EQ(d.dir, cwd + "/out/");
    EXPECT_EQ(d.pattern, "*");
    d = prepare_destination("*", cwd);
    EXPECT_EQ(d.dir, cwd + "/");
    EXPECT_EQ(d.pattern, "*");
    d = prepare_destination("..", cwd);
    EXPECT_EQ(d.dir, cwd + "/../");
    EXPECT_EQ(d.pattern, "*");
    d = prepare_destination("/abs/Notes.TXT", cwd);
    EXPECT_EQ(d.dir, "/abs/");
    EXPECT_EQ(d.pattern, "notes.txt");
}

}  // namespace
}  // namespace taq
