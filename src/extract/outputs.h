// The files that `x` restores: where each goes (never through a symbolic
// link, however deep), and how each ends once every entry is decoded: the
// size of its newest version, its time and permissions, or removed when it
// could not be restored completely.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "archive/record.h"
#include "platform/platform.h"

namespace taq {

// An output file: the destination directory (a path the user named), and
// below it the stored directory and name of an entry.
struct OutputName {
    std::string dest_dir;
    std::string stored_dir;
    std::string name;
    // The path as messages show it.
    std::string display() const;
};

// Opens the directory an output goes into: dest_dir (created when missing),
// then each component of stored_dir, created when missing and never
// through a link. On failure `error` says why.
platform::Directory open_output_directory(const OutputName& out, std::string& error);

// Opens the output file itself (see Directory::open_file).
platform::File open_output(const OutputName& out, platform::File::Mode mode, std::string& error);

// How each restored file must end. Several entries may write one file: the
// pieces of one version (disjoint ranges, in any archive order) and
// versions added by later runs. The newest version decides: its record's
// whole-file size (or, without records, the end of its pieces), and the
// time and permissions of its record. A longer older one or a stale file
// must not leave its tail behind.
class OutputSizes {
public:
    // An entry that writes [range_start, range_start + size) of `path`, in
    // archive order, with its record when it has one.
    void add(const std::string& path, uint64_t range_start, uint64_t size, const CheckRecord* record = nullptr);
    void add(const OutputName& out, uint64_t range_start, uint64_t size, const CheckRecord* record);
    // The entry added last for `path` was not restored completely.
    void mark_failed(const std::string& path);
    uint64_t final_size(const std::string& path) const;

    // Ends every recorded file: a file whose newest version could not be
    // restored, or whose pieces do not cover the size its record gives, is
    // removed; every other file is cut to its final size, checked against
    // the records of its newest version, and given their time and
    // permissions. False (messages printed) when any file could not be
    // ended as it should.
    bool apply() const;

private:
    struct Range {
        uint64_t start, size;
        bool has_record = false;
        CheckRecord record;
        bool failed = false;
    };
    struct File {
        OutputName name;
        std::vector<Range> ranges;
    };
    // Indices into ranges of the newest version, newest first.
    std::vector<size_t> newest_version(const std::vector<Range>& ranges) const;
    std::map<std::string, File> files_;
};

}  // namespace taq
