// Which entries restoring (or testing) a selection decodes and which of
// them it writes, worked out once from the archive's index. A model run
// (an entry that resets the model and the entries that continue it) is
// decoded from its start up to its last selected entry; a run with no
// selected entry is passed over whole.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/index.h"
#include "archive/source.h"
#include "archive/versions.h"

namespace taq {

struct EntryHeader;

class ExtractionPlan {
public:
    // `patterns` are lower-cased wildcards matched against the file part of
    // each entry's stored path. With `view`, only the entries of that tree
    // are selected: none at or past its end, none of a path it has deleted
    // (the view must outlive the plan).
    ExtractionPlan(const Source& archive, uint64_t size, const ArchiveIndex& index, std::vector<std::string> patterns,
                   const VersionView* view = nullptr);

    struct Step {
        bool selected = false;  // its file is restored (or tested)
        bool decode = false;    // its stream is decoded: selected, or a later entry of its run is
    };
    // The entry at `offset`, met in archive order by a walk (also where the
    // walk resumed after damage, off the index's chain). Counts the
    // entry's matches.
    Step step(const EntryHeader& h, uint64_t offset);

    // For each pattern, how many entries step() found it selecting.
    const std::vector<uint64_t>& matched() const { return matched_; }
    // Whether the entry at position k of the index is selected.
    bool selects(size_t k) const { return k < selected_.size() && selected_[k]; }
    // How many bytes the plan decodes up to the first incomplete header.
    uint64_t bytes_to_decode() const { return bytes_to_decode_; }

private:
    // Off the chain: the offset of the run's last selected entry, read
    // from the headers that chain from the run's first entry.
    uint64_t last_selected_off_chain(uint64_t run_start) const;
    bool in_selection(const EntryHeader& h, uint64_t offset) const;

    Source archive_;
    uint64_t size_;
    const ArchiveIndex& index_;
    std::vector<std::string> patterns_;
    const VersionView* view_;
    std::vector<bool> selected_;  // by position in the index
    std::vector<bool> decode_;
    std::vector<uint64_t> matched_;
    uint64_t bytes_to_decode_ = 0;
    // The run the walk is in when it is off the chain.
    bool off_chain_has_selection_ = false;
    uint64_t off_chain_last_ = 0;
};

// Lower-cased file part of stored_dir + stored_name matched against the
// (already lower-cased) pattern.
bool entry_matches(const std::string& stored_dir, const std::string& stored_name, const std::string& pattern);

// Adds one to counts[i] for each pattern i that the entry's file part
// matches.
void count_matches(const EntryHeader& h, const std::vector<std::string>& patterns, std::vector<uint64_t>& counts);

// Whether the file part of an entry's stored path matches any of the
// (lower-cased) patterns.
bool entry_matches_any(const std::string& stored_dir, const std::string& stored_name,
                       const std::vector<std::string>& patterns);

}  // namespace taq
