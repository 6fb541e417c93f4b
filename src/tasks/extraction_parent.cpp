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

namespace {

size_t find_root(std::vector<size_t>& parent, size_t i) {
    while (parent[i] != i) i = parent[i] = parent[parent[i]];
    return i;
}

}  // namespace

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
    std::vector<Run> runs;
    // Runs that write the same bytes of a file (a file added twice) must
    // run in archive order, as in a single process: they form one group.
    std::vector<size_t> group;
    struct Span {
        uint64_t start, end;
        size_t run;
    };
    std::map<std::string, std::vector<Span>> written;
    for (uint64_t position = 0; position < size;) {
        EntryHeader h;
        std::string why;
        if (!read_header(archive, position, size, h, &why)) {
            // As a single process does: what comes before the damage is restored.
            std::printf("%s", damaged_archive_message(archive_path, position, why).c_str());
            ok = false;
            break;
        }
        if (h.reset_flag || runs.empty()) {
            runs.emplace_back();
            group.push_back(group.size());
        }
        bool selected = entry_matches(h.stored_dir, h.stored_name, pattern);
        std::string out_path;
        if (selected && !prepare_output(h, archive_path, dest_dir, out_path)) {
            selected = false;
            ok = false;
        }
        if (selected && h.data_size > 0) {
            const size_t run = runs.size() - 1;
            const Span span{h.range_start, h.range_start + static_cast<uint64_t>(h.data_size), run};
            for (const Span& s : written[out_path])
                if (s.start < span.end && span.start < s.end) group[find_root(group, run)] = find_root(group, s.run);
            written[out_path].push_back(span);
        }
        runs.back().push_back(Job{position, selected});
        position += h.entry_size;
    }
    // A run is decoded up to its last selected entry; one without any is
    // passed over.
    std::vector<Run> wanted;
    std::map<size_t, size_t> index_of_group;
    for (size_t i = 0; i < runs.size(); ++i) {
        Run& run = runs[i];
        while (!run.empty() && !run.back().selected) run.pop_back();
        if (run.empty()) continue;
        const auto [at, fresh] = index_of_group.try_emplace(find_root(group, i), wanted.size());
        if (fresh) wanted.emplace_back();
        wanted[at->second].insert(wanted[at->second].end(), run.begin(), run.end());
    }
    std::fflush(stdout);
    return dispatch(wanted, dest_dir) && ok;
}

bool ExtractionParent::dispatch(const std::vector<Run>& runs, const std::string& dest_dir) {
    dest_dir_ = dest_dir;
    struct SlotWork {
        const Run* run = nullptr;
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
            const Job& job = (*w.run)[w.next++];
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
