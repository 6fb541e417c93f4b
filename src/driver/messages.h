// Fixed texts of the command-line driver.
#pragma once

namespace taq {

void print_banner();
void print_usage();
// What `--help` adds after the usage text: the later commands and switches,
// exit codes and where the manual is.
void print_help_addendum();
// "\n Unknown option! " as a line.
void print_unknown_option();

}  // namespace taq
