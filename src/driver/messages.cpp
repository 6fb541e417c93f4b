#include "driver/messages.h"

#include <cstdio>

namespace taq {

namespace {

const char* const kUsage[] = {
    "Usage: TAQ <command> -<switch ..> <archive> <files...> <in path> <out path>",
    "<Commands>",
    " a                 Add files to archive",
    " x                 Extract files in destination path",
    " l                 List archive",
    "",
    "<Switches>",
    " t<0...8>         number of task (0=autodetect,default=1)",
    " r                Recurse subdirectories",
    " s                Solid Mode ON",
    " v                Verbose Mode",
    " m                [default -m4] Compression Method/Memory (-m0 ... -m7)",
    "",
    "< Examples of compression >",
    "TAQ a c:\\archive c:\\infile",
    "TAQ a -m0 c:\\archive c:\\infile",
    "TAQ a -r -t4 c:\\archive c:\\path",
    "TAQ a -r -s archive path",
    "TAQ a -r archive path\\*.bmp",
    "TAQ a -r -m2 -t2 archive *",
    "< Example of decompression >",
    "TAQ x -t0 c:\\archive c:\\outpath",
    "TAQ x -t4 archive outpath",
    "TAQ x archive outpath\\*.bmp",
    "",
    "<System Requirements>",
    " Min 32 Mb x task - Max 1.6 GB x task for compression",
    " Min 32 Mb x task - Max 1.6 GB x task for decompression",
    " Suppor for multi method for compression/decompression",
    "",
};

// What this archiver adds to the commands and switches above.
const char* const kUsageAdditions[] = {
    " t                 Test archive: decode and check, write nothing",
    " n                No check records: the plain format (a only)",
    " u                 Update: add only new and changed files (a's switches)",
    " v                 Versions of the archive, or of the files named",
    " c                u: also compare the contents of unchanged-looking files",
    " --until=N|DATE   x, t: the tree as of version N or date YYYY-MM-DD[THH:MM[:SS]]",
};

// What `--help` says after the usage text.
const char* const kHelpAddendum[] = {
    " -h, --help       This text;  --version  the version line",
    " --password       Encrypted archive (a, x, t, l): the password asked on the terminal",
    " --password-file=FILE  The same, the password the first line of FILE",
    "",
    "Without -m the level is 5 (model memory 128 MiB). Files are stored without",
    "their leading '/'; a destination whose last part holds neither '.' nor '*'",
    "is a directory, otherwise its last part is the wildcard. Progress is shown",
    "on standard error when it is a terminal.",
    "Exit code 0: everything done; 1: anything failed. Manual: man taq",
};

}  // namespace

void print_help_addendum() {
    for (const char* line : kHelpAddendum) std::puts(line);
}

void print_banner() { std::puts("TAQ Archiver v.0.60d Kelvo"); }

void print_usage() {
    for (const char* line : kUsage) std::puts(line);
    for (const char* line : kUsageAdditions) std::puts(line);
}

void print_unknown_option() { std::puts("\n Unknown option! "); }

}  // namespace taq
