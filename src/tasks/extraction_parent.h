// The parent side of a multi-task `x` run. An archive is handed out by
// model runs (an entry with reset_flag 1 and the reset_flag-0 entries after
// it): each run goes whole, in archive order, to one child, which keeps the
// run's model state between its jobs. Neighbouring runs are joined into
// shares of several per task, and a share goes in batches of up to 64
// entries, so that many small entries do not each pay for a handoff; work
// that would not gain from tasks (one share, or little data) is restored by
// the parent itself, as a single process does.
// Before anything is posted the parent stages every output file once (see
// OutputSizes), so that children writing pieces of one file at their
// offsets never truncate one another, and a restored file has exactly the
// size its entries cover. Runs that write the same bytes of one file (a file added
// twice) go to one child in archive order, and once a destination's jobs
// are done each file is cut to its newest version's size and put in place,
// as in a single process.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive/diagnostics.h"
#include "archive/index.h"
#include "extract/extract.h"
#include "platform/platform.h"
#include "tasks/board.h"

namespace taq {

struct EntryHeader;
class ExtractionPlan;

// One entry for a child to decode; its data is written only when selected.
struct PlannedJob {
    uint64_t offset = 0;
    bool selected = false;
    bool operator==(const PlannedJob&) const = default;
};
using PlannedRun = std::vector<PlannedJob>;

// The out_path of a selected entry whose data is only decoded and checked.
inline const std::string kTestedOnly = "-";

// Turns one walk over an archive into the job lists that the children get,
// each handed whole to one child.
class RunPlan {
public:
    // The entry at `offset` (in archive order). `out_path` is the file its
    // data goes to when it is selected, empty when it is not, and
    // kTestedOnly when its data goes nowhere (`t`: no order needed).
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

// Where an entry ends and how many bytes it decodes to.
struct EntrySpan {
    uint64_t end = 0;
    uint64_t data_size = 0;
};
using EntrySpans = std::map<uint64_t, EntrySpan>;  // by offset

// A job for one child (see ExtractJob), and what one child gets handed, job
// by job in order.
struct Batch {
    uint64_t offset = 0;
    uint32_t count = 0;
    uint64_t selected = 0;
    bool operator==(const Batch&) const = default;
};
using Share = std::vector<Batch>;

// Joins the planned runs, in order, into shares of at least `target`
// decoded bytes each (the last one may hold less), and cuts each share into
// batches of at most `max_batch` (up to kMaxBatchEntries) entries that
// follow each other in the archive.
std::vector<Share> make_shares(const std::vector<PlannedRun>& runs, const EntrySpans& spans, uint64_t target,
                               uint32_t max_batch = kMaxBatchEntries);

// Decoding work below this many bytes is done in the parent itself: it
// would cost children more to start than they could save.
constexpr uint64_t kLocalWork = 1048576;

class ExtractionParent {
public:
    // `testing`: the children only decode and check (`t`).
    // `archive_path` is the archive the children are started on.
    ExtractionParent(TaskBoard& board, std::string archive_path, bool verbose, bool testing, Diagnostics& diag);

    // Restores every entry of the archive whose file name matches one of
    // `patterns` under `dest_dir` (or, testing, only decodes and checks
    // it), through the children, and waits until they are done with it.
    // Damage is passed over as in a single process. False (errors
    // reported) when anything failed; lost() then tells whether the whole
    // run must stop. `matched` (when given) receives, for each pattern, how
    // many entries it selected.
    // `view` (when given): only the tree as of that version.
    bool extract(const std::string& archive_path, const std::string& dest_dir,
                 const std::vector<std::string>& patterns, std::vector<uint64_t>* matched = nullptr,
                 const VersionView* view = nullptr);

    // End of the run: stops the children. False when the run failed at any
    // point (a job reported a failure, a child was lost).
    bool finish();

    bool lost() const { return lost_; }
    // The headers of the archive at `archive_path`, read by the caller for
    // the whole run (kept by reference; read anew when the archive's size
    // differs).
    void use_index(const std::string& archive_path, const ArchiveIndex& index) {
        index_path_ = archive_path;
        index_ = &index;
    }
    // The entries are read from `archive` (`size` bytes: the plain archive
    // inside an encrypted one, kept by reference) instead of the file;
    // `self` (when known) is the archive file, which no restore may
    // overwrite. The children are handed the keys by the board.
    void use_source(const Source& archive, uint64_t size, const platform::FileIdentity* self) {
        source_ = &archive;
        source_size_ = size;
        if (self) archive_id_ = *self;
        source_id_known_ = self != nullptr;
    }
    // What the run found (entries without a record, damage seen by the
    // walk or reported by the children).
    CheckTally tally() const;

    // The argument vector that starts the child of a slot.
    std::vector<std::string> command_line(int slot) const;

private:
    bool prepare_output(const EntryHeader& h, const std::string& archive_path, const std::string& dest_dir,
                        OutputSizes& sizes, std::string& out_path);
    bool tasks_pay(const ArchiveIndex& index, const ExtractionPlan& plan, const std::string& dest_dir);
    bool dispatch(const std::vector<Share>& shares, const std::string& dest_dir);
    bool wait_idle();

    TaskBoard& board_;
    std::string archive_path_;
    bool verbose_;
    Diagnostics& diag_;
    bool testing_;
    std::string dest_dir_;  // of the destination being extracted
    std::string index_path_;
    const ArchiveIndex* index_ = nullptr;
    OutputGuard guard_{diag_};
    bool lost_ = false;
    platform::FileIdentity archive_id_;
    platform::FileIdentity board_id_;
    CheckTally tally_;
    std::set<uint64_t> unchecked_;  // offsets of the selected entries without a record
    std::array<uint64_t, kMaxSlots + 1> in_flight_{};  // offset of each slot's last job
    uint64_t failed_unchecked_ = 0;
    std::unique_ptr<Extractor> extractor_;  // for work done here
    const Source* source_ = nullptr;        // see use_source
    uint64_t source_size_ = 0;
    bool source_id_known_ = false;
};

}  // namespace taq
