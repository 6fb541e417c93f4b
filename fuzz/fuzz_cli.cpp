// Arbitrary argument vectors (the input split at zero bytes) through the
// command word, the switch parser of `a` and of `x` and `t`, and the archive-name and
// destination rules, resolved against a scratch working folder that holds a
// file and a folder. Only the rules run, never a command: nothing is
// created, which the check of the scratch folder confirms.
#include <unistd.h>

#include "archive/paths.h"
#include "driver/commands.h"
#include "driver/switches.h"
#include "extract/extract.h"
#include "extract/plan.h"
#include "fuzz_support.h"

using namespace taq;

namespace {

std::string cwd;
std::vector<std::string> expected_tree;

void check_settings(const Settings& s) {
    fuzz::check(s.method_level >= 0 && s.method_level <= 7, "method level");
    fuzz::check(s.model_memory == model_memory_for_level(s.method_level), "model memory");
    fuzz::check(s.task_count >= 1 && s.task_count <= kMaxTasks, "task count");
    fuzz::check(s.run_mode != RunMode::child || (s.task_slot >= 1 && s.task_slot <= 8), "task slot");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    cwd = fuzz::scratch_root() + "/cwd";
    fuzz::make_dirs(cwd + "/photos/2024");
    const uint8_t text[] = "notes";
    fuzz::write_file(cwd + "/notes.txt", text, sizeof text);
    if (::chdir(cwd.c_str()) != 0) fuzz::fail("cannot enter the scratch folder");
    expected_tree = fuzz::tree(cwd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"taq"};
    std::string word;
    for (size_t i = 0; i < size && args.size() < 64; ++i) {
        if (data[i] == 0) {
            args.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    args.push_back(word);

    command_of(args.size() > 1 ? args[1] : "");
    for (const Command as : {Command::add, Command::extract}) {
        Settings s;
        s.cwd = cwd;
        s.processor_count = 2;
        size_t next = 0;
        const SwitchOutcome outcome = parse_switches(as, args, 2, s, &next);
        fuzz::check(next >= 2 || args.size() < 2, "switches end before they begin");
        fuzz::check(next <= args.size(), "switches end past the arguments");
        if (outcome != SwitchOutcome::ok) continue;
        check_settings(s);
        if (next >= args.size()) continue;
        if (as == Command::add) {
            const std::vector<std::string> files(args.begin() + static_cast<std::ptrdiff_t>(next) + 1, args.end());
            const AddTarget t = form_add_target(args[next], files, cwd);
            fuzz::check(!t.archive_path.empty() && !t.files.empty(), "add target without archive or files");
            for (const std::string& f : t.files) split_argument(f);
        } else {
            for (size_t i = next + 1; i < args.size(); ++i) {
                const Destination d = prepare_destination(args[i], cwd);
                fuzz::check(!d.pattern.empty() && d.pattern == to_lower_ascii(d.pattern), "destination pattern");
                fuzz::check(d.dir.empty() || is_separator(d.dir.back()), "destination folder");
                path_fits(d.dir);
                entry_matches("dir/", "Name.TXT", d.pattern);
            }
        }
    }
    // The wildcard matcher on text of any shape: the last two arguments.
    match_wildcard(args[args.size() - 1], args.size() > 1 ? args[args.size() - 2] : "");
    fuzz::check(fuzz::tree(cwd) == expected_tree, "the rules changed the working folder");
    return 0;
}
