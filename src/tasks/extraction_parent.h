// The parent side of a multi-task `x` run. An archive is handed out by
// model runs (an entry with reset_flag 1 and the reset_flag-0 entries after
// it): each run goes whole, one entry at a time and in archive order, to one
// child, which keeps the run's model state between its jobs. Entries of
// non-solid archives are runs of one, so they spread over all tasks.
// Before anything is posted the parent creates (or empties) every output
// file once, so that children writing pieces of one file at their offsets
// never truncate one another, and a restored file has exactly the size its
// entries cover. Runs that write the same bytes of one file (a file added
// twice) go to one child in archive order, and once a destination's jobs
// are done each file is cut to its newest version's size, as in a single
// process.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "driver/settings.h"
#include "extract/extract.h"
#include "platform/platform.h"
#include "tasks/board.h"

namespace taq {

struct EntryHeader;

// One entry for a child to decode; its data is written only when selected.
struct PlannedJob {
    uint64_t offset = 0;
    bool selected = false;
    bool operator==(const PlannedJob&) const = default;
};
using PlannedRun = std::vector<PlannedJob>;

// Turns one walk over an archive into the job lists that the children get,
// each handed whole to one child.
class RunPlan {
public:
    // The entry at `offset` (in archive order). `out_path` is the file its
    // data goes to when it is selected, empty when it is not.
    void add(const EntryHeader& h, uint64_t offset, const std::string& out_path);
    // Every model run up to its last selected entry (runs without one are
    // dropped); runs that write overlapping bytes of one file joined, in
    // archive order.
    std::vector<PlannedRun> finish();

private:
    size_t root(size_t run);

    struct Span {
        uint64_t start, end;
        size_t run;
    };
    std::vector<PlannedRun> runs_;
    std::vector<size_t> group_;  // union-find over runs_
    std::map<std::string, std::vector<Span>> written_;
};

// How many bytes restoring (or testing) the entries that match any of the
// patterns decodes (the selected ones and the solid-run entries before
// them), up to the first header that cannot be read; for the progress line.
uint64_t bytes_to_decode(const std::string& archive_path, const std::vector<std::string>& patterns);

class ExtractionParent {
public:
    // `testing`: the children only decode and check (`t`).
    ExtractionParent(TaskBoard& board, const Settings& settings, bool testing);

    // Restores every entry of the archive whose file name matches one of
    // `patterns` under `dest_dir` (or, testing, only decodes and checks
    // it), through the children, and waits until they are done with it.
    // Damage is passed over as in a single process. False (messages
    // printed) when anything failed; lost() then tells whether the whole
    // run must stop.
    bool extract(const std::string& archive_path, const std::string& dest_dir,
                 const std::vector<std::string>& patterns);

    // End of the run: stops the children. False when the run failed at any
    // point (a job reported a failure, a child was lost).
    bool finish();

    bool lost() const { return lost_; }
    // What the run found (entries without a record, damage seen by the
    // walk or reported by the children).
    CheckTally tally() const;

    // The argument vector that starts the child of a slot.
    std::vector<std::string> command_line(int slot) const;

private:
    bool prepare_output(const EntryHeader& h, const std::string& archive_path, const std::string& dest_dir,
                        std::string& out_path);
    bool dispatch(const std::vector<PlannedRun>& runs, const std::string& dest_dir);
    bool wait_idle();

    TaskBoard& board_;
    const Settings& settings_;
    bool testing_;
    std::string dest_dir_;  // of the destination being extracted
    std::set<std::string> prepared_;
    bool lost_ = false;
    platform::FileIdentity archive_id_;
    platform::FileIdentity board_id_;
    CheckTally tally_;
};

}  // namespace taq
