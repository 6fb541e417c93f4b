#include "tasks/extraction_parent.h"

#include <cstdio>
#include <map>

#include "archive/entry.h"
#include "archive/paths.h"
#include "extract/extract.h"
#include "platform/platform.h"

namespace taq {

using platform::File;

ExtractionParent::ExtractionParent(TaskBoard& board, const Settings& settings)
    : board_(board), settings_(settings) {
    board_.set_command_line([this](int slot) { return command_line(slot); });
}

std::vector<std::string> ExtractionParent::command_line(int slot) const {
    std::vector<std::string> args{"x"};
    if (settings_.verbose) args.push_back("-v");
    args.push_back("-p" + std::to_string(slot) + ":" + board_.path());
    args.push_back(settings_.archive_path);
    args.push_back(dest_dir_);
    return args;
}

// Refuses what decode_entry would refuse, then creates or empties the
// output file the first time this run meets it.
bool ExtractionParent::prepare_output(const EntryHeader& h, const std::string& archive_path,
                                      const std::string& dest_dir, std::string& out_path) {
    if (!safe_stored_path(h.stored_dir, h.stored_name)) {
        std::printf("Error: unsafe path in archive %s: %s%s (not restored)\n", archive_path.c_str(),
                    h.stored_dir.c_str(), h.stored_name.c_str());
        return false;
    }
    const std::string out_dir = dest_dir + "/" + h.stored_dir;
    out_path = collapse_separators(out_dir + h.stored_name);
    if (out_path.size() >= kBoardPathRoom || !path_fits(out_path)) {
        std::printf("Error: path too long %s\n", out_path.c_str());
        return false;
    }
    if (prepared_.count(out_path)) return true;
    make_directories(collapse_separators(out_dir));
    if (!File::open(out_path, File::Mode::create)) {
        std::printf("Error: cannot open Output file %s\n", out_path.c_str());
        return false;
    }
    prepared_.insert(out_path);
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
    if (out_path.empty() || h.data_size <= 0) return;
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

bool ExtractionParent::extract(const std::string& archive_path, const std::string& dest_dir,
                               const std::string& pattern) {
    File archive = File::open(archive_path, File::Mode::read_existing);
    if (!archive) {
        std::printf("Error: cannot open Archive file %s\n", archive_path.c_str());
        return false;
    }
    if (dest_dir.size() >= kBoardPathRoom) {
        std::printf("Error: path too long %s\n", dest_dir.c_str());
        return false;
    }
    const uint64_t size = platform::file_size(archive_path);
    bool ok = true;
    RunPlan plan;
    OutputSizes sizes;
    for (uint64_t position = 0; position < size;) {
        EntryHeader h;
        std::string why;
        if (!read_header(archive, position, size, h, &why)) {
            // As a single process does: what comes before the damage is restored.
            std::printf("%s", damaged_archive_message(archive_path, position, why).c_str());
            ok = false;
            break;
        }
        std::string out_path;
        if (entry_matches(h.stored_dir, h.stored_name, pattern) &&
            !prepare_output(h, archive_path, dest_dir, out_path)) {
            out_path.clear();
            ok = false;
        }
        plan.add(h, position, out_path);
        if (!out_path.empty()) sizes.add(out_path, h.range_start, static_cast<uint64_t>(h.data_size));
        position += h.entry_size;
    }
    std::fflush(stdout);
    if (!dispatch(plan.finish(), dest_dir)) return false;
    // Every job is done: as in a single process, each file ends at its
    // newest version's size.
    return sizes.apply() && ok;
}

bool ExtractionParent::dispatch(const std::vector<PlannedRun>& runs, const std::string& dest_dir) {
    dest_dir_ = dest_dir;
    struct SlotWork {
        const PlannedRun* run = nullptr;
        size_t next = 0;
    };
    std::array<SlotWork, kMaxSlots + 1> work{};
    size_t next_run = 0;
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
            const bool in_run = w.run && w.next < w.run->size();
            if (!in_run && next_run >= runs.size()) continue;
            pending = true;
            const int slot = static_cast<int>(s);
            if (!board_.idle(slot)) continue;
            if (!in_run) w = SlotWork{&runs[next_run++], 0};
            const PlannedJob& job = (*w.run)[w.next++];
            if (!board_.post(slot, ExtractJob{job.offset, dest_dir, job.selected})) {
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
    std::puts(" Decompression verify ");
    std::fflush(stdout);
    if (!board_.stop_all()) {
        lost_ = true;
        return false;
    }
    return board_.worst_result() == JobResult::ok;
}

}  // namespace taq
