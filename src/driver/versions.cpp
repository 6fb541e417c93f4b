#include "driver/versions.h"

#include <cstdio>

#include "driver/commands.h"
#include "driver/encrypted.h"
#include "driver/switches.h"
#include "driver/messages.h"
#include "extract/plan.h"
#include "platform/platform.h"

namespace taq {

namespace {

unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }

// The record that speaks for one version of a path: its first piece's.
const IndexEntry* first_piece(const ArchiveIndex& index, const PathEvent& e) {
    for (size_t k : e.entries)
        if (index.entries()[k].record_state == RecordState::present) return &index.entries()[k];
    return e.entries.empty() ? nullptr : &index.entries()[e.entries.front()];
}

}  // namespace

MarkerTarget sealed_marker_target(SealedWriter& w) {
    MarkerTarget t;
    t.archive = Source::callback(&SealedWriter::read_plain, &w, w.size());
    t.size = w.size();
    t.write_at = [&w](uint64_t at, const void* data, size_t n) { return w.write_at(at, data, n); };
    t.sync = [&w] { return w.sync(); };
    t.error = [&w] { return w.error(); };
    return t;
}

bool RunJournal::begin(const Source& archive, const ArchiveIndex& index, Target target) {
    index_ = &index;
    target_ = std::move(target);
    history_ = VersionHistory::read(archive, index);
    print_version_problems(history_, false);
    bool has_entry = false;
    for (const IndexEntry& e : index.entries()) {
        if (!e.sound) break;
        has_entry = true;
        last_entry_ = e.offset;
        last_has_record_ = e.record_state == RecordState::present;
    }
    number_ = history_.next_number();
    before_ = target_().size;
    if (!has_entry || history_.unmarked_entries() == 0 || !last_has_record_) return true;
    // The entries that no version closed: an older archiver's, or those of
    // a run that was stopped before it closed its own.
    VersionMarker adopted;
    adopted.number = number_;
    adopted.flags = kMarkerAdopted;
    adopted.added = history_.unmarked_files();
    adopted.bytes_stored = history_.unmarked_bytes();
    std::string why;
    if (!append_marker(target_(), last_entry_, adopted, why)) {
        std::printf("Error: cannot record version %u of archive %s (%s)\n", number_, s_.archive_path.c_str(),
                    why.c_str());
        return false;
    }
    ++number_;
    before_ = target_().size;
    s_.archive_size_before = static_cast<int64_t>(platform::file_size(s_.archive_path));
    return true;
}

UpdateChoice RunJournal::choose(const FileList& list, const std::vector<std::string>& args) {
    UpdateRequest request;
    request.args = &args;
    request.recurse = s_.recurse;
    request.content = s_.content_check;
    UpdateChoice c = choose_updates(list, request, history_, *index_);
    if (s_.verbose) {
        for (const FileListEntry& f : c.to_add) std::printf("added %s\n", f.path.c_str());
        for (const std::string& d : c.deleted) std::printf("deleted %s\n", d.c_str());
    }
    return c;
}

bool RunJournal::finish(const UpdateChoice& choice) {
    const MarkerTarget target = target_();
    const uint64_t final_size = target.size;
    VersionMarker m;
    m.number = number_;
    m.started_ns = started_;
    m.unchanged = choice.unchanged;
    m.deleted = choice.deleted;
    m.bytes_stored = final_size > before_ ? final_size - before_ : 0;
    if (final_size > before_) {
        const ArchiveIndex added = ArchiveIndex::read(target.archive, final_size, before_);
        for (const IndexEntry& e : added.entries())
            if (e.header.range_start == 0) ++m.added;
    }
    added_ = m.added;
    // A run that stored nothing in an empty archive has nothing to mark.
    if (final_size == 0) return true;
    if (final_size == before_ && !last_has_record_) {
        std::printf("Version %u not recorded: the last entry of archive %s has no check record\n", number_,
                    s_.archive_path.c_str());
        return true;
    }
    std::string why;
    if (append_marker(target, final_size > before_ ? before_ : last_entry_, m, why)) return true;
    std::printf("Error: cannot record version %u of archive %s (%s)\n", number_, s_.archive_path.c_str(),
                why.c_str());
    return false;
}

void RunJournal::print_summary(const UpdateChoice& choice) const {
    std::printf(" Files: %llu added, %llu unchanged, %llu deleted \n", ull(added_), ull(choice.unchanged),
                ull(choice.deleted.size()));
}

void print_version_problems(const VersionHistory& history, bool as_errors) {
    for (const std::string& p : history.problems())
        std::printf("%s: %s\n", as_errors ? "Error" : "Warning", p.c_str());
}

bool choose_version_view(const Settings& s, const Source& archive, const ArchiveIndex& index, bool testing,
                         std::optional<VersionView>& view, bool& bad) {
    view.reset();
    const VersionHistory history = VersionHistory::read(archive, index);
    print_version_problems(history, testing);
    bad = !history.problems().empty();
    if (s.until.empty()) {
        if (!testing) view = history.view(0);
        return true;
    }
    uint32_t number = 0;
    std::string why;
    if (!version_until(history, s.until, number, why)) {
        std::printf("Error: --until=%s %s (archive %s)\n", s.until.c_str(), why.c_str(), s.archive_path.c_str());
        return false;
    }
    view = history.view(number);
    return true;
}

int run_versions(Settings& s, const std::vector<std::string>& args) {
    // The password switches stand before the archive, as in the other commands.
    size_t at = 2;
    while (at < args.size() && parse_password_switch(args[at], s)) ++at;
    if (args.size() < at + 1) {
        print_banner();
        print_usage();
        return 1;
    }
    s.archive_path = collapse_separators(resolve_argument(args[at], s.cwd));
    if (!check_path(s.archive_path)) return 1;
    std::printf("Archive Versions ... %s \n", s.archive_path.c_str());
    const std::vector<std::string> wildcards(args.begin() + static_cast<std::ptrdiff_t>(at) + 1, args.end());
    std::vector<std::string> patterns;
    for (const std::string& w : wildcards) patterns.push_back(to_lower_ascii(w));
    WholeArchive whole(console());
    if (!whole.open(s)) return 1;
    const ArchiveIndex& index = whole.index;
    const VersionHistory history = VersionHistory::read(whole.source(), index);
    print_version_problems(history, false);
    bool ok = !whole.bytes.damaged();
    if (index.sound_end() < whole.size()) {
        std::printf("Warning: archive %s is damaged at offset %llu: the versions after it are not shown\n",
                    s.archive_path.c_str(), ull(index.sound_end()));
        ok = false;
    }
    if (patterns.empty()) {
        for (const VersionInfo& v : history.versions()) {
            const VersionMarker& m = v.marker;
            std::printf(" %6u  %s  %llu added, %llu deleted, %llu bytes%s\n", m.number,
                        version_time_text(m.started_ns).c_str(), ull(m.added), ull(m.deleted.size()),
                        ull(m.bytes_stored), m.flags & kMarkerAdopted ? "  (entries of earlier runs)" : "");
        }
        if (history.unmarked_entries() != 0)
            std::printf("      -  (a run that did not finish)  %llu files, %llu bytes\n", ull(history.unmarked_files()),
                        ull(history.unmarked_bytes()));
        std::printf(" n.%llu versions in archive %s \n", ull(history.versions().size()), s.archive_path.c_str());
        return ok ? 0 : 1;
    }
    std::vector<uint64_t> matched(patterns.size(), 0);
    uint64_t listed = 0;
    for (const auto& [path, events] : history.paths()) {
        const std::string name = to_lower_ascii(file_part(path));
        bool any = false;
        for (size_t i = 0; i < patterns.size(); ++i)
            if (match_wildcard(patterns[i], name)) {
                any = true;
                ++matched[i];
            }
        if (!any) continue;
        ++listed;
        std::printf("%s\n", path.c_str());
        for (const PathEvent& e : events) {
            const std::string number = e.version == 0 ? std::string("-") : std::to_string(e.version);
            if (e.deleted) {
                std::printf(" %6s  deleted\n", number.c_str());
                continue;
            }
            const IndexEntry* piece = first_piece(index, e);
            if (!piece) continue;
            const bool recorded = piece->record_state == RecordState::present;
            uint64_t bytes = recorded ? piece->record.file_size : 0;
            if (!recorded)
                for (size_t k : e.entries)
                    bytes += static_cast<uint64_t>(std::max<int64_t>(index.entries()[k].header.data_size, 0));
            std::printf(" %6s  %s  %llu bytes\n", number.c_str(),
                        recorded ? version_time_text(piece->record.meta.mtime_ns).c_str() : "unknown", ull(bytes));
        }
    }
    for (size_t i = 0; i < patterns.size(); ++i)
        if (matched[i] == 0) {
            std::printf("Error: %s: not found in archive %s\n", wildcards[i].c_str(), s.archive_path.c_str());
            ok = false;
        }
    std::printf(" n.%llu files in archive %s \n", ull(listed), s.archive_path.c_str());
    return ok ? 0 : 1;
}

}  // namespace taq
