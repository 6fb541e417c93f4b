#include "extract/plan.h"

#include <algorithm>

#include "archive/entry.h"
#include "archive/paths.h"

namespace taq {

namespace {

// Which of the first `count` entries of the index are decoded, given which
// are selected: going backwards, an entry is decoded when it is selected or
// a later entry of its run is.
std::vector<bool> entries_to_decode(const ArchiveIndex& index, const std::vector<bool>& selected, size_t count) {
    std::vector<bool> decode(count, false);
    bool later = false;  // a later entry of the run at hand is selected
    for (size_t k = count; k-- > 0;) {
        later = later || selected[k];
        decode[k] = later;
        if (index.entries()[k].header.reset_flag) later = false;
    }
    return decode;
}

}  // namespace

bool entry_matches(const std::string& stored_dir, const std::string& stored_name, const std::string& pattern) {
    return match_wildcard(pattern, to_lower_ascii(file_part(stored_dir + stored_name)));
}

bool entry_matches_any(const std::string& stored_dir, const std::string& stored_name,
                       const std::vector<std::string>& patterns) {
    const std::string name = to_lower_ascii(file_part(stored_dir + stored_name));
    for (const auto& p : patterns)
        if (match_wildcard(p, name)) return true;
    return false;
}

void count_matches(const EntryHeader& h, const std::vector<std::string>& patterns, std::vector<uint64_t>& counts) {
    const std::string name = to_lower_ascii(file_part(h.stored_path()));
    for (size_t i = 0; i < patterns.size() && i < counts.size(); ++i)
        if (match_wildcard(patterns[i], name)) ++counts[i];
}

ExtractionPlan::ExtractionPlan(const Source& archive, uint64_t size, const ArchiveIndex& index,
                               std::vector<std::string> patterns, const VersionView* view)
    : archive_(archive),
      size_(size),
      index_(index),
      patterns_(std::move(patterns)),
      view_(view),
      matched_(patterns_.size(), 0) {
    const auto& entries = index_.entries();
    selected_.resize(entries.size());
    for (size_t k = 0; k < entries.size(); ++k) selected_[k] = in_selection(entries[k].header, entries[k].offset);
    decode_ = entries_to_decode(index_, selected_, entries.size());
    // The progress line's total: runs end where the complete headers do.
    const size_t complete = std::min(index_.complete(), entries.size());
    const std::vector<bool> counted = entries_to_decode(index_, selected_, complete);
    for (size_t k = 0; k < complete; ++k)
        if (counted[k]) bytes_to_decode_ += static_cast<uint64_t>(std::max<int64_t>(entries[k].header.data_size, 0));
}

bool ExtractionPlan::in_selection(const EntryHeader& h, uint64_t offset) const {
    if (view_ && (offset >= view_->end || view_->hides(h.stored_path()))) return false;
    return entry_matches_any(h.stored_dir, h.stored_name, patterns_);
}

uint64_t ExtractionPlan::last_selected_off_chain(uint64_t run_start) const {
    EntryHeader r;
    uint64_t last = size_;
    for (uint64_t p = run_start;
         p < size_ && read_header(archive_, p, size_, r, nullptr, true) && (p == run_start || !r.reset_flag);
         p += r.entry_size)
        if (in_selection(r, p)) last = p;
    return last;
}

ExtractionPlan::Step ExtractionPlan::step(const EntryHeader& h, uint64_t offset) {
    Step s;
    const size_t k = index_.find(offset);
    if (k < selected_.size()) {
        s.selected = selected_[k];
        s.decode = decode_[k];
    } else {
        // The walk resumed after damage, where the chain from the start
        // does not reach: the run's headers are read from here.
        if (h.reset_flag) {
            off_chain_last_ = last_selected_off_chain(offset);
            off_chain_has_selection_ = off_chain_last_ < size_;
        }
        s.selected = in_selection(h, offset);
        s.decode = s.selected || (off_chain_has_selection_ && offset < off_chain_last_);
    }
    if (s.selected) count_matches(h, patterns_, matched_);
    return s;
}

}  // namespace taq
