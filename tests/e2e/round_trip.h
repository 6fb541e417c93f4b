// Helpers of the end-to-end tests: archive with the binary, extract, and
// compare restored files byte for byte; read back the headers taq wrote.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive/entry.h"
#include "support/test_support.h"

namespace taq::test {

using Files = std::vector<std::pair<std::string, std::string>>;  // name, contents

// Equal contents; on a difference says where, without printing megabytes.
::testing::AssertionResult same_bytes(const std::string& got, const std::string& want);
// The file exists and holds exactly `want`.
::testing::AssertionResult file_holds(const std::string& path, const std::string& want);

// Names of the regular files below `root`, relative to it.
std::set<std::string> files_below(const std::string& root);

// Every entry header of an archive, in order (fails the test on a damaged one).
std::vector<EntryHeader> read_headers(const std::string& archive);

// The archive's bytes without the version markers stacked on its entries
// (each entry as the run that wrote it left it; no two runs have the same
// markers, which carry their time).
std::string without_markers(const std::string& archive);

// Runs `taq a -m0 <switches> arch <names...>` in dir; the run must succeed.
void add_m0(const TempDir& dir, const std::vector<std::string>& names, const std::vector<std::string>& switches = {});

// Writes the files into a fresh directory, archives them with -m0, extracts
// the archive into out/ and checks every restored file. Returns the headers.
std::vector<EntryHeader> expect_round_trip(const Files& files, const std::vector<std::string>& switches = {});

// The archive `name` made of a file `file` with these contents, in dir, in
// the plain format (no check record: headers can be edited freely).
std::string archive_of(const TempDir& dir, const std::string& name, const std::string& file,
                       const std::string& contents);

// The first entry of the archive at `path` with its header changed by
// `edit` and its coded data kept; entry_size follows the header's length.
std::string edited_entry(const std::string& path, const std::function<void(EntryHeader&)>& edit);

}  // namespace taq::test
