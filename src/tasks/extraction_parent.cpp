#include "tasks/extraction_parent.h"

#include <algorithm>
#include <map>

#include "archive/entry.h"
#include "archive/index.h"
#include "archive/paths.h"
#include "archive/walk.h"
#include "extract/extract.h"
#include "extract/plan.h"
#include "platform/platform.h"

namespace taq {

using platform::File;

ExtractionParent::ExtractionParent(TaskBoard& board, std::string archive_path, bool verbose, bool testing,
                                   Diagnostics& diag)
    : board_(board), archive_path_(std::move(archive_path)), verbose_(verbose), diag_(diag), testing_(testing) {
    board_.set_diagnostics(diag_);
    board_.set_command_line([this](int slot) { return command_line(slot); });
    // A failed test job (one entry each) that had no record was counted
    // among the entries without one.
    board_.set_on_result([this](int slot, JobResult r) {
        if (r != JobResult::ok && unchecked_.count(in_flight_[static_cast<size_t>(slot)])) ++failed_unchecked_;
    });
    if (platform::file_identity(board_.path(), board_id_)) guard_.protect(board_id_);
}

CheckTally ExtractionParent::tally() const {
    CheckTally t = tally_;
    // Each failed job is one entry that could not be decoded or checked.
    const uint64_t failed = std::min<uint64_t>(board_.failures(), t.tested);
    t.damaged += failed;
    t.tested -= failed;
    t.unchecked -= std::min(t.unchecked, failed_unchecked_);
    t.verified = t.tested >= t.unchecked ? t.tested - t.unchecked : 0;
    return t;
}

std::vector<std::string> ExtractionParent::command_line(int slot) const {
    std::vector<std::string> args{testing_ ? "t" : "x"};
    if (verbose_) args.push_back("-v");
    args.push_back("-p" + std::to_string(slot) + ":" + board_.path());
    args.push_back(archive_path_);
    args.push_back(dest_dir_);
    return args;
}

// Refuses what decode_entry would refuse, then stages the output file the
// first time this run meets it, for the children to write into.
bool ExtractionParent::prepare_output(const EntryHeader& h, const std::string& archive_path,
                                      const std::string& dest_dir, OutputSizes& sizes, std::string& out_path) {
    const OutputName name{dest_dir, h.stored_dir, h.stored_name};
    out_path = name.display();
    if (safe_stored_path(h.stored_dir, h.stored_name) && sizes.staged(name)) return true;
    platform::Directory dir = guard_.open(h, name, archive_path);
    if (!dir) return false;
    std::string error;
    if (!sizes.stage(name, dir, error)) {
        diag_.error(text("Error: ", error, "\n"));
        return false;
    }
    return true;
}

size_t RunPlan::root(size_t run) {
    while (group_[run] != run) run = group_[run] = group_[group_[run]];
    return run;
}

void RunPlan::add(const EntryHeader& h, uint64_t offset, const std::string& out_path) {
    if (h.reset_flag || runs_.empty()) {
        group_.push_back(runs_.size());
        runs_.emplace_back();
    }
    const size_t run = runs_.size() - 1;
    runs_.back().push_back(PlannedJob{offset, !out_path.empty()});
    if (out_path.empty() || out_path == kTestedOnly || h.data_size <= 0) return;
    // A file added twice: the later entry must be written after the earlier
    // one, as in a single process.
    const Span span{h.range_start, h.range_start + static_cast<uint64_t>(h.data_size), run};
    auto& spans = written_[out_path];
    for (const Span& s : spans)
        if (s.start < span.end && span.start < s.end) group_[root(run)] = root(s.run);
    spans.push_back(span);
}

std::vector<PlannedRun> RunPlan::finish() {
    std::vector<PlannedRun> out;
    std::map<size_t, size_t> index_of_group;
    for (size_t i = 0; i < runs_.size(); ++i) {
        PlannedRun& run = runs_[i];
        while (!run.empty() && !run.back().selected) run.pop_back();
        if (run.empty()) continue;
        const auto [at, fresh] = index_of_group.try_emplace(root(i), out.size());
        if (fresh) out.emplace_back();
        out[at->second].insert(out[at->second].end(), run.begin(), run.end());
    }
    runs_.clear();
    group_.clear();
    written_.clear();
    return out;
}

std::vector<Share> make_shares(const std::vector<PlannedRun>& runs, const EntrySpans& spans, uint64_t target,
                               uint32_t max_batch) {
    max_batch = std::clamp<uint32_t>(max_batch, 1, kMaxBatchEntries);
    std::vector<Share> shares;
    uint64_t work = 0;  // of the last share
    bool open = false;  // the last share takes more runs
    uint64_t next = 0;  // where the last batch's entries end
    for (const PlannedRun& run : runs) {
        if (!open) {
            shares.emplace_back();
            work = 0;
            open = true;
        }
        Share& share = shares.back();
        for (const PlannedJob& job : run) {
            const auto it = spans.find(job.offset);
            const EntrySpan span = it == spans.end() ? EntrySpan{job.offset, 0} : it->second;
            if (share.empty() || share.back().count >= max_batch || next != job.offset)
                share.push_back(Batch{job.offset, 0, 0});
            Batch& batch = share.back();
            if (job.selected) batch.selected |= uint64_t{1} << batch.count;
            ++batch.count;
            next = span.end;
            work += span.data_size;
        }
        if (work >= target) open = false;
    }
    return shares;
}

namespace {

// Several shares per task, so that the tasks end at about the same time.
uint64_t share_target(uint64_t work, unsigned slots) { return work / (4 * std::max(1u, slots)); }

}  // namespace

// Whether children would restore the selection faster than the parent
// alone: enough data to decode, in at least two shares. Looks at the
// headers up to the first damage, silently.
bool ExtractionParent::tasks_pay(const ArchiveIndex& index, const ExtractionPlan& plan,
                                 const std::string& dest_dir) {
    if (testing_) return true;
    const uint64_t work = plan.bytes_to_decode();
    if (work < kLocalWork) return false;
    RunPlan probe;
    EntrySpans spans;
    for (size_t k = 0; k < index.complete(); ++k) {
        const EntryHeader& h = index.entries()[k].header;
        const uint64_t position = index.entries()[k].offset;
        probe.add(h, position,
                  plan.selects(k) ? OutputName{dest_dir, h.stored_dir, h.stored_name}.display() : std::string());
        spans[position] = EntrySpan{position + h.entry_size, static_cast<uint64_t>(std::max<int64_t>(h.data_size, 0))};
    }
    return make_shares(probe.finish(), spans, share_target(work, board_.slots())).size() >= 2;
}

bool ExtractionParent::extract(const std::string& archive_path, const std::string& dest_dir,
                               const std::vector<std::string>& patterns, std::vector<uint64_t>* matched,
                               const VersionView* view) {
    File file = source_ ? File() : File::open(archive_path, File::Mode::read_existing);
    if (!source_ && !file) {
        diag_.error(text("Error: cannot open Archive file ", archive_path, "\n"));
        return false;
    }
    if (dest_dir.size() >= kBoardPathRoom) {
        diag_.error(text("Error: path too long ", dest_dir, "\n"));
        return false;
    }
    const Source archive = source_ ? *source_ : Source(file);
    const uint64_t whole = source_ ? source_size_ : platform::file_size(archive_path);
    // The run's index when the caller has one for this archive, else one read now.
    const bool given = index_ && index_path_ == archive_path && index_->archive_size() == whole;
    ArchiveIndex own;
    if (!given) own = ArchiveIndex::check(archive, whole);
    const ArchiveIndex& index = given ? *index_ : own;
    const uint64_t size = view ? std::min(whole, view->end) : whole;
    ExtractionPlan selection(archive, size, index, patterns, view);
    if (!tasks_pay(index, selection, dest_dir)) {
        if (!extractor_) {
            extractor_ = std::make_unique<Extractor>(verbose_, diag_);
            extractor_->protect(board_id_);
            extractor_->set_stop_on_interrupt(true);
        }
        if (source_)
            return extract_entries(*extractor_, archive, whole, source_id_known_ ? &archive_id_ : nullptr, archive_path,
                                   dest_dir, patterns, matched, &index, view);
        return extract_entries(*extractor_, archive_path, dest_dir, patterns, matched, &index, view);
    }
    if (source_ ? source_id_known_ : file.identity(archive_id_)) guard_.protect(archive_id_);
    bool ok = true;
    RunPlan plan;
    OutputSizes sizes(diag_);
    EntrySpans spans;
    uint64_t work = 0;
    ArchiveWalk walk(archive, archive_path, size, diag_);
    walk.use_index(index);
    CaseClashes clashes(diag_);
    for (CheckedEntry e; walk.next(e); walk.skip(e)) {
        const EntryHeader& h = e.header;
        const bool m = selection.step(h, e.offset).selected;
        if (m && testing_) {
            clashes.note(h.stored_path());
            sizes.add(h.stored_path(), h.range_start, static_cast<uint64_t>(std::max<int64_t>(h.data_size, 0)),
                      e.record_state == RecordState::present ? &e.record : nullptr);
        }
        spans[e.offset] = EntrySpan{e.offset + h.entry_size, static_cast<uint64_t>(std::max<int64_t>(h.data_size, 0))};
        work += spans[e.offset].data_size;
        std::string out_path;
        if (m && testing_) {
            out_path = kTestedOnly;
        } else if (m && !prepare_output(h, archive_path, dest_dir, sizes, out_path)) {
            out_path.clear();
            ok = false;
        }
        plan.add(h, e.offset, out_path);
        if (m) {
            ++tally_.tested;
            if (e.record_state != RecordState::present) {
                ++tally_.unchecked;
                unchecked_.insert(e.offset);
            }
        }
        if (!out_path.empty() && !testing_)
            sizes.add(OutputName{dest_dir, h.stored_dir, h.stored_name}, h.range_start,
                      static_cast<uint64_t>(h.data_size), e.record_state == RecordState::present ? &e.record : nullptr);
    }
    if (matched) *matched = selection.matched();
    if (walk.damaged()) {
        ok = false;
        add_walk_damage(tally_, walk);
    }
    diag_.flush();
    // A test counts each failed job as one damaged entry: one entry a job.
    const std::vector<Share> shares =
        make_shares(plan.finish(), spans, share_target(work, board_.slots()), testing_ ? 1 : kMaxBatchEntries);
    if (!dispatch(shares, dest_dir)) {
        // The children must let go of the staging files before `sizes`
        // removes them.
        if (lost_) board_.kill_all();
        return false;
    }
    // Every job is done: as in a single process, each file ends at its
    // newest version's size.
    if (testing_) return sizes.check_covered() && ok;
    return sizes.apply() && ok;
}

bool ExtractionParent::dispatch(const std::vector<Share>& shares, const std::string& dest_dir) {
    dest_dir_ = dest_dir;
    struct SlotWork {
        const Share* share = nullptr;
        size_t next = 0;
    };
    std::array<SlotWork, kMaxSlots + 1> work{};
    size_t next_share = 0;
    Backoff backoff;
    for (;;) {
        if (!board_.poll()) {
            lost_ = true;
            return false;
        }
        // A child met a damaged entry: hand out nothing more, as a single
        // process stops its walk there.
        if (board_.take_fatal()) {
            wait_idle();
            return false;
        }
        bool pending = false;
        bool progress = false;
        for (unsigned s = 1; s <= board_.slots(); ++s) {
            SlotWork& w = work[s];
            const bool in_share = w.share && w.next < w.share->size();
            if (!in_share && next_share >= shares.size()) continue;
            pending = true;
            const int slot = static_cast<int>(s);
            if (!board_.idle(slot)) continue;
            if (!in_share) w = SlotWork{&shares[next_share++], 0};
            const Batch& batch = (*w.share)[w.next++];
            in_flight_[s] = batch.offset;
            if (!board_.post(slot, ExtractJob{batch.offset, dest_dir, testing_ ? 0 : batch.selected, batch.count})) {
                lost_ = true;
                return false;
            }
            progress = true;
        }
        if (!pending) break;
        if (progress)
            backoff.reset();
        else
            backoff.pause();
    }
    return wait_idle() && !board_.take_fatal();
}

// Waits until every posted job of this destination is done.
bool ExtractionParent::wait_idle() {
    Backoff backoff;
    while (board_.any_busy()) {
        if (!board_.poll()) {
            lost_ = true;
            return false;
        }
        for (unsigned s = 1; s <= board_.slots(); ++s) board_.idle(static_cast<int>(s));
        backoff.pause();
    }
    return true;
}

bool ExtractionParent::finish() {
    diag_.info(" Decompression verify \n");
    diag_.flush();
    if (!board_.stop_all()) {
        lost_ = true;
        return false;
    }
    return board_.worst_result() == JobResult::ok;
}

}  // namespace taq
