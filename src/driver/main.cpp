#include "driver/commands.h"

int main(int argc, char** argv) { return taq::run_main(argc, argv); }
