// The files that `x` restores: where each goes (never through a symbolic
// link, however deep), and how each ends once every entry is decoded.
//
// A file is never restored in place. Its entries are written into a new
// file beside it (a staging file, created exclusively under a name of
// TAQ's own, ".taq-<owner>-<key>.tmp"), which is checked, given its size,
// time and permissions, and only then renamed over the final name. What
// stood there before is replaced, never opened: hard links to it keep
// their contents, a read-only file is replaced as any other, and an
// interrupted run leaves at the final name the old file or nothing, never
// a partial one. Staging files of a run are removed on every failure; ones
// that a killed run left behind are removed by the next run that restores
// into the same directory, once their owner is gone.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/diagnostics.h"
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

// The name of the staging file of `name` for the run of process `owner`:
// the same for every process of that run (a parent and its children).
std::string staging_name(platform::ProcessId owner, const std::string& name);
// Whether `name` is a staging name; `owner` receives its run's process.
bool parse_staging_name(const std::string& name, platform::ProcessId& owner);
// Removes the staging files in `dir` whose run is gone (never those of
// `self`, nor of a process that is still alive).
void remove_stale_staging(platform::Directory& dir, platform::ProcessId self);

// For `t` where names that differ only in case reach one file: warns, once
// a pair, of stored paths that a restore here would write into one file.
class CaseClashes {
public:
    explicit CaseClashes(Diagnostics& diag) : diag_(diag) {}
    void note(const std::string& stored_path);

private:
    Diagnostics& diag_;
    std::map<std::string, std::string> first_;  // the first spelling, by the lower-case path
    std::set<std::string> warned_;
};

// How each restored file must end. Several entries may write one file: the
// pieces of one version (disjoint ranges, in any archive order) and
// versions added by later runs. The newest version decides: its record's
// whole-file size (or, without records, the end of its pieces), and the
// time and permissions of its record. A longer older one must not leave
// its tail behind.
class OutputSizes {
public:
    // The process whose run the staging files belong to (this one unless
    // set).
    explicit OutputSizes(Diagnostics& diag);
    OutputSizes(Diagnostics& diag, platform::ProcessId owner);
    // Removes every staging file that apply() did not put in place.
    ~OutputSizes();
    OutputSizes(const OutputSizes&) = delete;
    OutputSizes& operator=(const OutputSizes&) = delete;

    platform::ProcessId owner() const { return owner_; }

    // Creates the staging file of `out` in `dir` (its directory), the first
    // time this run meets the file: stale staging files of the directory
    // are cleared first, once per run. Later calls only open it. Invalid
    // (with `error` set) on failure.
    platform::File stage(const OutputName& out, platform::Directory& dir, std::string& error);
    bool staged(const OutputName& out) const;

    // An entry that writes [range_start, range_start + size) of `path`, in
    // archive order, with its record when it has one.
    void add(const std::string& path, uint64_t range_start, uint64_t size, const CheckRecord* record = nullptr);
    void add(const OutputName& out, uint64_t range_start, uint64_t size, const CheckRecord* record);
    // The entry added last for `path` was not restored completely.
    void mark_failed(const std::string& path);
    uint64_t final_size(const std::string& path) const;
    // Which of the entries added for `path` (their places in the order of
    // add()) make its newest version.
    std::vector<size_t> newest_pieces(const std::string& path) const;
    // Pieces of a file (their offsets) that a plain archive leaves open to
    // doubt: they may belong to the newest version or to an older one, and
    // are left out.
    std::vector<uint64_t> left_out(const std::string& path) const;

    // Ends every recorded file, in the archive order of its newest entry: a
    // file whose newest version could not be restored, or whose pieces do
    // not cover the size its record gives, is not put in place; every other
    // file is cut to its final size, checked against the records of its
    // newest version, given their time and permissions and renamed into
    // place. Two stored paths that reach one file here (a system that folds
    // case) leave the newer one and fail the run. False (errors reported)
    // when any file could not be ended as it should.
    bool apply();
    // For `t`, which writes nothing: false (an error reported for each) when
    // the newest version of a file does not cover the size its record
    // gives, which `x` would not restore.
    bool check_covered() const;
    // Removes every staging file not yet put in place.
    void discard();

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
        uint64_t newest = 0;   // order of its newest entry
        bool staged = false;   // its staging file exists
        bool placed = false;   // renamed into place
    };
    struct Version {
        std::vector<size_t> pieces;  // indices into ranges, newest first
        std::vector<size_t> left_out;
    };
    // The newest version of a file.
    Version newest_version(const std::vector<Range>& ranges) const;
    bool apply_file(const std::string& path, File& file,
                    std::map<std::pair<uint64_t, uint64_t>, std::string>& placed);

    Diagnostics& diag_;
    platform::ProcessId owner_;
    uint64_t order_ = 0;
    std::map<std::string, File> files_;
    std::set<std::string> swept_;  // directories cleared of stale staging files
};

}  // namespace taq
