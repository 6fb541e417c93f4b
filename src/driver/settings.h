// Process-wide settings of one run, filled at start-up and by the command
// line, read by every later step.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/options.h"

namespace taq {

enum class RunMode { single = 0, parent = 1, child = 2 };

enum class Command { none, add, extract, list, test, update, versions };

struct Settings {
    // From the platform at start-up.
    std::string exe_path;
    std::string cwd;
    std::string board_path;  // a child's task board: from -p<d>:<path>, else cwd + "/master.tmp"
    unsigned processor_count = 1;

    // From the switches.
    RunMode run_mode = RunMode::single;
    unsigned task_count = 1;  // used in parent mode only
    int task_slot = 0;        // 1..8 in child mode
    int method_level = kDefaultMethodLevel;
    uint32_t model_memory = model_memory_for_level(kDefaultMethodLevel);
    uint8_t min_match = 3;
    bool recurse = false;
    bool solid = false;
    bool verbose = false;
    bool check_record = true;  // `a -n`: the plain format, no check records
    bool to_stdout = false;    // `x -c`: the data to standard output, the messages to standard error
    bool content_check = false;  // `u -c`: unchanged files are also compared by their contents
    std::string until;           // `x`, `t` --until=: the version (number or date) to restore or test
    // An encrypted archive: --password (asked on the terminal) or
    // --password-file=FILE (its first line).
    bool ask_password = false;
    std::string password_file;
    bool encrypted() const { return ask_password || !password_file.empty(); }
    // A task of an encrypted archive's run: where its parent hands it the keys.
    std::string key_channel;
    std::string stdin_name;  // `a archive -`: the stored path of standard input (--name=; "stdin" without)
    // Passed on to child command lines: " -r ", " -v ", " -s " or empty.
    std::string recurse_text;
    std::string verbose_text;
    std::string solid_text;

    // The switches as the core takes them.
    RunOptions run_options() const {
        RunOptions o;
        o.level = method_level;
        o.solid = solid;
        o.check_records = check_record;
        o.tasks = task_count;
        o.recurse = recurse;
        o.verbose = verbose;
        return o;
    }

    // From the arguments and the run.
    std::string archive_path;
    int64_t archive_size_before = 0;
    uint64_t total_input = 0;
};

// Fills the start-up part of the settings from the platform.
Settings startup_settings();

}  // namespace taq
