// Fixed texts of the command-line driver.
#pragma once

namespace taq {

void print_banner();
void print_usage();
// "\n Unknown option! " as a line.
void print_unknown_option();

}  // namespace taq
