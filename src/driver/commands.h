// The three commands and the process's main routine.
#pragma once

#include <string>
#include <vector>

#include "archive/diagnostics.h"
#include "driver/settings.h"

namespace taq {

// The command line's diagnostics: every message on standard output.
Diagnostics& console();
// False (with a message) when the system could not take the path.
bool check_path(const std::string& path);

// Archive path and file arguments of `a`. With file arguments the archive
// argument is only resolved. Alone, a directory argument (or the directory
// of a dotted or wildcard argument) names the archive "<cwd>/<dir>.taq" and
// supplies the files; any other argument is the archive for every file of
// the current directory.
struct AddTarget {
    std::string archive_path;
    std::vector<std::string> files;
};
AddTarget form_add_target(const std::string& archive_arg, const std::vector<std::string>& file_args,
                          const std::string& cwd);

// One destination argument of `x`: the directory to restore into (ends
// with a separator) and the lower-cased wildcard ("*" when none). A last
// component without '.' or '*' is a directory to restore everything into.
struct Destination {
    std::string dir;
    std::string pattern;
};
Destination prepare_destination(const std::string& arg, const std::string& cwd);

// Each takes the whole argument vector (args[0] the program, args[1] the
// command word) and returns the exit code.
int run_add(Settings& settings, const std::vector<std::string>& args);
// `a` or `u` (which adds only what changed).
int run_add(Settings& settings, const std::vector<std::string>& args, Command command);
int run_update(Settings& settings, const std::vector<std::string>& args);
int run_extract(Settings& settings, const std::vector<std::string>& args);
int run_list(Settings& settings, const std::vector<std::string>& args);
// `t`: decodes the selected entries without writing anything and checks
// them against their records; 0 only when every one is sound.
int run_test(Settings& settings, const std::vector<std::string>& args);

int run_main(int argc, char** argv);

}  // namespace taq
