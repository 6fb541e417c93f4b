// The archive as a journal of runs. Every run of `a` and `u` is one
// version: it ends with a version marker stacked on the archive's last
// entry (see record.h), so that the entries of each version, the time it
// started and the paths it found deleted can be told, and the tree as it
// stood after any version worked out again.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/index.h"
#include "archive/record.h"
#include "archive/source.h"
#include "platform/platform.h"

namespace taq {

struct VersionInfo {
    VersionMarker marker;
    uint64_t end = 0;        // where its entries end: the end of the entry that carries its marker
    uint64_t entries = 0;    // how many entries it added
    bool deletions_trusted = true;
};

// One stored path in one version: stored there (the index positions of
// that version's entries of it, in archive order), or found deleted.
struct PathEvent {
    uint32_t version = 0;  // 0: entries that no version closed yet
    bool deleted = false;
    std::vector<size_t> entries;
};

// The tree as of a version: the entries before `end`, less the paths gone.
struct VersionView {
    uint64_t end = UINT64_MAX;
    std::set<std::string> deleted;  // stored paths
    bool hides(const std::string& stored_path) const { return deleted.count(stored_path) != 0; }
};

class VersionHistory {
public:
    VersionHistory() = default;

    // The versions of the archive whose checked index is `index`: its sound
    // entries in order, with the markers stacked on them. A marker that
    // cannot be trusted (damaged, numbered out of order, deleting a path
    // never stored) is passed over or has its deletions ignored, with a
    // line in problems(): it never hides a file.
    static VersionHistory read(const Source& archive, const ArchiveIndex& index);

    const std::vector<VersionInfo>& versions() const { return versions_; }
    const std::vector<std::string>& problems() const { return problems_; }
    // Entries after the last marker: written by an older archiver or by a
    // run that was stopped before it added its marker.
    uint64_t unmarked_entries() const { return unmarked_; }
    uint64_t unmarked_bytes() const { return unmarked_bytes_; }
    // How many distinct stored paths those entries hold.
    uint64_t unmarked_files() const;
    // The number the next version gets.
    uint32_t next_number() const { return versions_.empty() ? 1 : versions_.back().marker.number + 1; }

    // What happened to each stored path, in archive order.
    const std::map<std::string, std::vector<PathEvent>>& paths() const { return paths_; }
    // The version with this number; null when there is none.
    const VersionInfo* find(uint32_t number) const;
    // The tree after version `number` (0: the newest, with the entries that
    // no version closed yet).
    VersionView view(uint32_t number) const;

    // The newest event of `path` up to version `number` (0: all); null when
    // the path has none.
    const PathEvent* newest(const std::string& path, uint32_t number = 0) const;

private:
    std::vector<VersionInfo> versions_;
    std::vector<std::string> problems_;
    std::map<std::string, std::vector<PathEvent>> paths_;
    uint64_t unmarked_ = 0;
    uint64_t unmarked_bytes_ = 0;
};

// Which version `--until=` names: a number, or a date
// "YYYY-MM-DD[THH:MM[:SS]]" in local time (the last version that started at
// or before it; a date alone means its end). False, with `error` set, when
// the text is neither or no version matches.
bool version_until(const VersionHistory& history, const std::string& text, uint32_t& number, std::string& error);

// Where a marker goes: `archive` reads the archive as it stands (`size`
// bytes), `write_at` writes at a position of it, `sync` makes what was
// written durable (a file of its own, or the archive inside a container).
struct MarkerTarget {
    Source archive;
    uint64_t size = 0;
    std::function<bool(uint64_t position, const void* data, size_t n)> write_at;
    std::function<bool()> sync;
    std::function<std::string()> error;  // the system's reason for a failure
};

// An archive file of its own as a marker's target (its size as it is now).
MarkerTarget file_marker_target(platform::File& archive);

// Stacks `marker` on the last entry of the archive (the chain of entries
// from `chain_from`, where an entry starts, must reach its end), growing
// that entry to take it in: the record is written and synced first, the
// entry's new size last. False, with `error` set, when the archive is not
// as expected (no entry, a last entry without a check record) or cannot be
// written; the archive then is as before or ends in a tail that the next
// writer cuts away.
bool append_marker(const MarkerTarget& target, uint64_t chain_from, const VersionMarker& marker, std::string& error);

// "2026-12-11 14:03:27" in local time; "unknown" for 0.
std::string version_time_text(int64_t ns);

}  // namespace taq
