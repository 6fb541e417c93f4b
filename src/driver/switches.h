// The command word and the switch grammar of `a` and `x`.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "driver/settings.h"

namespace taq {

// The command is chosen by the first character of the first argument alone
// ('a', 'x', 'l', 't', and 'u', 'v'; case matters).
Command command_of(const std::string& word);

enum class SwitchOutcome { ok, unknown_option };

// Reads the switch arguments (those beginning with '-') of `a`, `x` or `t` from
// args[first] on and applies them to `settings`; *next receives the index
// of the first argument that is not a switch. Letters are matched without
// regard to case; when several switches set the run mode the last wins.
//   a, u: m<0..7> ends the argument (another character after m is read as
//      a further letter), t<d> and p<d> end it, r s v n (and for u c) may
//      be followed by further letters.
//   x, t: only the letter after '-' counts (t, v, p), its digit is the
//      character after it; --until=N or --until=DATE.
// A child's "-p<d>" may carry ":<board path>" after the digit.
SwitchOutcome parse_switches(Command command, const std::vector<std::string>& args, size_t first, Settings& settings,
                             size_t* next);

// --password or --password-file=FILE, the same for every command that
// reads or writes an archive: true when `arg` is one (and was applied).
bool parse_password_switch(const std::string& arg, Settings& settings);

// Whether `arg` is a switch of `command`: one that parse_switches would
// take (and apply) there, or --help, -h, --version. After the archive such
// an argument is refused rather than taken for a name.
bool is_switch(Command command, const std::string& arg);

}  // namespace taq
