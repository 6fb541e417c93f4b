#include "driver/switches.h"

#include <algorithm>
#include <cctype>

#include "tasks/board.h"

namespace taq {

namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// "-t<d>": 0 picks the task count from the processors, 1 is single, 2..8
// are that many tasks; anything else changes nothing.
void apply_tasks(char d, Settings& s) {
    if (d == '0') {
        if (s.processor_count > 1) {
            s.run_mode = RunMode::parent;
            s.task_count = std::min(s.processor_count, kMaxTasks);
        }
    } else if (d == '1') {
        s.run_mode = RunMode::single;
    } else if (d >= '2' && d <= '8') {
        s.run_mode = RunMode::parent;
        s.task_count = static_cast<unsigned>(d - '0');
    }
}

// "-p<d>", d = 1..8: this process is the child of slot d. A parent adds
// ":<board path>", the task board it made for this run.
void apply_slot(const std::string& arg, size_t at, Settings& s) {
    const char d = at < arg.size() ? arg[at] : '\0';
    if (d >= '1' && d <= '8') {
        s.run_mode = RunMode::child;
        s.task_slot = d - '0';
        if (at + 1 < arg.size() && arg[at + 1] == ':') s.board_path = arg.substr(at + 2);
    }
}

void set_level(int level, Settings& s) {
    s.method_level = level;
    s.model_memory = model_memory_for_level(level);
    s.min_match = 3;
}

void set_verbose(Settings& s) {
    s.verbose = true;
    s.verbose_text = " -v ";
}

// One switch argument of `a` (and `u`, which also takes c).
SwitchOutcome parse_add_switch(Command command, const std::string& arg, Settings& s) {
    if (arg.size() < 2) return SwitchOutcome::unknown_option;
    // --name=NAME: the stored path of standard input.
    static const std::string kName = "--name=";
    if (arg.rfind(kName, 0) == 0) {
        if (arg.size() == kName.size()) return SwitchOutcome::unknown_option;
        s.stdin_name = arg.substr(kName.size());
        return SwitchOutcome::ok;
    }
    size_t i = 1;
    while (i < arg.size()) {
        const char c = lower(arg[i]);
        const char next = i + 1 < arg.size() ? arg[i + 1] : '\0';
        switch (c) {
            case 'm':
                if (next >= '0' && next <= '7') {
                    set_level(next - '0', s);
                    return SwitchOutcome::ok;
                }
                if (next == '\0') return SwitchOutcome::unknown_option;
                ++i;  // the character after m is read as a letter
                break;
            case 't':
                apply_tasks(next, s);
                return SwitchOutcome::ok;
            case 'p':
                apply_slot(arg, i + 1, s);
                return SwitchOutcome::ok;
            case 'r':
                s.recurse = true;
                s.recurse_text = " -r ";
                ++i;
                break;
            case 's':
                s.solid = true;
                s.solid_text = " -s ";
                ++i;
                break;
            case 'v':
                set_verbose(s);
                ++i;
                break;
            case 'n':
                s.check_record = false;
                ++i;
                break;
            case 'c':
                if (command != Command::update) return SwitchOutcome::unknown_option;
                s.content_check = true;
                ++i;
                break;
            default:
                return SwitchOutcome::unknown_option;
        }
    }
    return SwitchOutcome::ok;
}

// One switch argument of `x` (and `t`).
SwitchOutcome parse_extract_switch(Command command, const std::string& arg, Settings& s) {
    if (arg.size() < 2) return SwitchOutcome::unknown_option;
    // --until=N or --until=DATE: the tree as of a version.
    static const std::string kUntil = "--until=";
    if (arg.rfind(kUntil, 0) == 0) {
        if (arg.size() == kUntil.size() || (command != Command::extract && command != Command::test))
            return SwitchOutcome::unknown_option;
        s.until = arg.substr(kUntil.size());
        return SwitchOutcome::ok;
    }
    const char digit = arg.size() > 2 ? arg[2] : '\0';
    switch (lower(arg[1])) {
        case 'c':
            // `x -c`: the data to standard output.
            if (command != Command::extract || arg.size() != 2) return SwitchOutcome::unknown_option;
            s.to_stdout = true;
            return SwitchOutcome::ok;
        case 't': apply_tasks(digit, s); return SwitchOutcome::ok;
        case 'p': apply_slot(arg, 2, s); return SwitchOutcome::ok;
        case 'v': set_verbose(s); return SwitchOutcome::ok;
        default: return SwitchOutcome::unknown_option;
    }
}

}  // namespace

Command command_of(const std::string& word) {
    if (word.empty()) return Command::none;
    switch (word[0]) {
        case 'a': return Command::add;
        case 'x': return Command::extract;
        case 'l': return Command::list;
        case 't': return Command::test;
        case 'u': return Command::update;
        case 'v': return Command::versions;
        default: return Command::none;
    }
}

bool parse_password_switch(const std::string& arg, Settings& settings) {
    static const std::string kFile = "--password-file=";
    if (arg == "--password") {
        settings.ask_password = true;
        return true;
    }
    if (arg.rfind(kFile, 0) == 0 && arg.size() > kFile.size()) {
        settings.password_file = arg.substr(kFile.size());
        return true;
    }
    static const std::string kChannel = kKeyChannelSwitch;
    if (arg.rfind(kChannel, 0) == 0 && arg.size() > kChannel.size()) {
        settings.key_channel = arg.substr(kChannel.size());
        return true;
    }
    return false;
}

SwitchOutcome parse_switches(Command command, const std::vector<std::string>& args, size_t first, Settings& settings,
                             size_t* next) {
    size_t i = first;
    // "-" alone is an argument (standard input or output), not a switch.
    for (; i < args.size() && !args[i].empty() && args[i][0] == '-' && args[i] != "-"; ++i) {
        if (parse_password_switch(args[i], settings)) continue;
        const bool adds = command == Command::add || command == Command::update;
        const SwitchOutcome r =
            adds ? parse_add_switch(command, args[i], settings) : parse_extract_switch(command, args[i], settings);
        if (r != SwitchOutcome::ok) {
            if (next) *next = i;
            return r;
        }
    }
    if (next) *next = i;
    return SwitchOutcome::ok;
}

bool is_switch(Command command, const std::string& arg) {
    if (arg == "--help" || arg == "-h" || arg == "--version") return true;
    if (arg.empty() || arg[0] != '-' || arg == "-") return false;
    Settings scratch;
    return parse_switches(command, {arg}, 0, scratch, nullptr) == SwitchOutcome::ok;
}

}  // namespace taq
