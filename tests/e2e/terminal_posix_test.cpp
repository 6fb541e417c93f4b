// Runs on a pseudo-terminal (through script(1)): the progress line of `a`,
// `x` and `t` shows on a terminal and nowhere else, and leaves the output
// and the archive as they are without one.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "e2e/round_trip.h"
#include "support/test_support.h"

using namespace taq::test;

namespace {

// Runs `command` with sh on a pseudo-terminal in `cwd`: standard output and
// error are the terminal unless the command redirects them.
RunResult run_on_terminal(const std::string& command, const std::string& cwd) {
    return run_program("/usr/bin/script", {"-q", "-e", "-c", command, "/dev/null"}, cwd);
}

std::string taq_command(const std::string& args) { return "'" + taq_binary() + "' " + args; }

// Text of made-up words: codes at a few MB/s at -m0, so that a few MB keep
// a run going for some redraws of the line.
std::string pseudo_text(size_t n, uint32_t seed) {
    const std::string letters = random_bytes(4096, seed);
    std::vector<std::string> words;
    for (size_t i = 0; i + 8 <= letters.size(); i += 8) {
        std::string w;
        for (size_t k = 0; k < 2u + static_cast<unsigned char>(letters[i]) % 6u; ++k)
            w += static_cast<char>('a' + static_cast<unsigned char>(letters[i + 1 + k]) % 26);
        words.push_back(w);
    }
    const std::string picks = random_bytes(n, seed + 1);
    std::string text;
    for (size_t i = 0; text.size() < n; ++i) {
        text += words[static_cast<unsigned char>(picks[i % picks.size()]) % words.size()];
        text += i % 12 == 11 ? '\n' : ' ';
    }
    text.resize(n);
    return text;
}

// The percentages of the progress lines drawn, in order.
std::vector<int> percentages(const std::string& terminal) {
    static const std::regex line("\r *([0-9]+)% +[0-9]+\\.[0-9]+ MB/s +[-0-9:]+ left");
    std::vector<int> out;
    for (auto it = std::sregex_iterator(terminal.begin(), terminal.end(), line); it != std::sregex_iterator(); ++it)
        out.push_back(std::stoi((*it)[1]));
    return out;
}

// The line is taken off the terminal at the end: blanks, then the cursor
// back at the start.
bool ends_cleared(const std::string& terminal) {
    return terminal.size() >= 2 && terminal.back() == '\r' && terminal[terminal.size() - 2] == ' ';
}

TEST(Terminal, ProgressOnlyWhereAPersonWatches) {
    TempDir dir;
    const std::string text = pseudo_text(3 << 20, 7);
    write_file(dir.file("input.txt"), text);

    const RunResult plain = run_taq({"a", "-m0", "arch", "input.txt"}, dir.path());
    ASSERT_EQ(plain.exit_code, 0) << plain.output;
    EXPECT_EQ(plain.output.find('\r'), std::string::npos);
    // (Each run's version marker holds its own time.)
    const std::string archive = without_markers(dir.file("arch"));
    ASSERT_TRUE(std::remove(dir.file("arch").c_str()) == 0);

    // Standard output to a file, standard error on the terminal.
    RunResult tty = run_on_terminal(taq_command("a -m0 arch input.txt > said"), dir.path());
    EXPECT_EQ(tty.exit_code, 0) << tty.output;
    EXPECT_EQ(read_file(dir.file("said")), plain.output);
    EXPECT_EQ(without_markers(dir.file("arch")), archive);
    EXPECT_FALSE(percentages(tty.output).empty()) << tty.output;
    EXPECT_NE(tty.output.find(" left  input.txt"), std::string::npos) << tty.output;
    EXPECT_TRUE(ends_cleared(tty.output)) << tty.output;

    // Both on the terminal: the line is cleared before the closing message.
    ASSERT_TRUE(std::remove(dir.file("arch").c_str()) == 0);
    tty = run_on_terminal(taq_command("a -m0 arch input.txt"), dir.path());
    EXPECT_EQ(without_markers(dir.file("arch")), archive);
    const size_t closing = tty.output.find(" Compressed ");
    ASSERT_NE(closing, std::string::npos) << tty.output;
    EXPECT_TRUE(ends_cleared(tty.output.substr(0, closing))) << tty.output;

    const RunResult plain_x = run_taq({"x", "arch", "out"}, dir.path());
    ASSERT_EQ(plain_x.exit_code, 0) << plain_x.output;
    EXPECT_EQ(plain_x.output.find('\r'), std::string::npos);
    std::remove(dir.file("out/input.txt").c_str());
    tty = run_on_terminal(taq_command("x arch out > said"), dir.path());
    EXPECT_EQ(tty.exit_code, 0) << tty.output;
    EXPECT_EQ(read_file(dir.file("said")), plain_x.output);
    EXPECT_TRUE(read_file(dir.file("out/input.txt")) == text);
    EXPECT_FALSE(percentages(tty.output).empty()) << tty.output;
    EXPECT_NE(tty.output.find(" left  input.txt"), std::string::npos) << tty.output;
    EXPECT_TRUE(ends_cleared(tty.output)) << tty.output;

    const RunResult plain_t = run_taq({"t", "arch"}, dir.path());
    ASSERT_EQ(plain_t.exit_code, 0) << plain_t.output;
    tty = run_on_terminal(taq_command("t arch > said"), dir.path());
    EXPECT_EQ(tty.exit_code, 0) << tty.output;
    EXPECT_EQ(read_file(dir.file("said")), plain_t.output);
    EXPECT_FALSE(percentages(tty.output).empty()) << tty.output;
    EXPECT_TRUE(ends_cleared(tty.output)) << tty.output;
    // An archive through a pipe has no known size: bytes and speed, no share.
    tty = run_on_terminal("cat arch | " + taq_command("t - > said"), dir.path());
    EXPECT_EQ(tty.exit_code, 0) << tty.output;
    EXPECT_TRUE(percentages(tty.output).empty()) << tty.output;
    EXPECT_TRUE(std::regex_search(tty.output, std::regex(" MB +[0-9.]+ MB/s  input\\.txt"))) << tty.output;
    EXPECT_TRUE(ends_cleared(tty.output)) << tty.output;
}

TEST(Terminal, TasksShowOneLineForTheRun) {
    TempDir dir;
    write_file(dir.file("in/one.txt"), pseudo_text(5 << 19, 11));
    write_file(dir.file("in/two.txt"), pseudo_text(5 << 19, 12));
    const RunResult plain = run_taq({"a", "-m0", "-t2", "arch", "in/*"}, dir.path());
    ASSERT_EQ(plain.exit_code, 0) << plain.output;
    ASSERT_TRUE(std::remove(dir.file("arch").c_str()) == 0);

    const RunResult tty = run_on_terminal(taq_command("a -m0 -t2 arch 'in/*' > said"), dir.path());
    EXPECT_EQ(tty.exit_code, 0) << tty.output;
    EXPECT_EQ(read_file(dir.file("said")), plain.output);
    // The children's counts reach the parent's line, which never goes back.
    const std::vector<int> shown = percentages(tty.output);
    ASSERT_FALSE(shown.empty()) << tty.output;
    EXPECT_GT(shown.back(), 0) << tty.output;
    for (size_t i = 1; i < shown.size(); ++i) EXPECT_GE(shown[i], shown[i - 1]) << tty.output;
    EXPECT_TRUE(ends_cleared(tty.output)) << tty.output;

    const RunResult x = run_on_terminal(taq_command("x -t2 arch out > said"), dir.path());
    EXPECT_EQ(x.exit_code, 0) << x.output;
    EXPECT_FALSE(percentages(x.output).empty()) << x.output;
    EXPECT_TRUE(read_file(dir.file("out/in/two.txt")) == read_file(dir.file("in/two.txt")));
}

}  // namespace

TEST(Terminal, APasswordIsAskedTwiceForANewArchive) {
    TempDir dir;
    write_file(dir.file("f"), "kept under a password");
    write_file(dir.file("pw"), "typed twice\n");
    // The answers wait in the terminal's input before they are asked for;
    // the pipe stays open until the run is over.
    const RunResult r = run_program(
        "/bin/sh",
        {"-c", "(printf 'typed twice\\ntyped twice\\n'; sleep 1) | /usr/bin/script -q -e -c \"" +
                   taq_command("a -m0 --password arch f") + "\" /dev/null"},
        dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "Password: ") && contains(r.output, "Repeat password: ")) << r.output;
    const RunResult t = run_taq({"t", "--password-file=pw", "arch"}, dir.path());
    EXPECT_EQ(t.exit_code, 0) << t.output;
}
