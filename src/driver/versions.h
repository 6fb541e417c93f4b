// The command line's side of versions: the journal that each run of `a` and
// `u` keeps, `v`, and the tree that `x` and `t` take (--until).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/index.h"
#include "archive/lock.h"
#include "archive/paths.h"
#include "archive/sealed.h"
#include "archive/source.h"
#include "archive/update.h"
#include "archive/versions.h"
#include "driver/settings.h"

namespace taq {

// One run of `a` or `u` as a version of the archive it holds.
class RunJournal {
public:
    // The archive as the run found it (`archive`, its checked index), and
    // how to write to it as it stands at any moment (positions and sizes
    // those of the archive of entries, whatever container holds it).
    using Target = std::function<MarkerTarget()>;
    RunJournal(Settings& s, int64_t started) : s_(s), started_(started) {}

    // Reads the archive's versions; the entries that no version closed (an
    // older archiver's, or a stopped run's) become a version of their own
    // first. False (message printed) when the run must stop.
    bool begin(const Source& archive, const ArchiveIndex& index, Target target);
    // `u`: what to store of `list` (the file arguments `args`), each added
    // and deleted file named with -v.
    UpdateChoice choose(const FileList& list, const std::vector<std::string>& args);
    // Closes the run's version with its marker. False (message printed)
    // when the marker could not be written.
    bool finish(const UpdateChoice& choice);
    // `u`'s last line: files added, unchanged and deleted.
    void print_summary(const UpdateChoice& choice) const;

private:
    Settings& s_;
    int64_t started_;
    const ArchiveIndex* index_ = nullptr;
    Target target_;
    VersionHistory history_;
    uint32_t number_ = 1;
    uint64_t before_ = 0;            // the archive's size once the run's own entries may follow
    uint64_t last_entry_ = 0;        // the last entry when the run began, at this offset
    bool last_has_record_ = false;
    uint64_t added_ = 0;
};

// How a marker is written to the plain archive inside an encrypted one.
MarkerTarget sealed_marker_target(SealedWriter& writer);

// Prints the problems of a history: for `t` as errors, else as warnings.
void print_version_problems(const VersionHistory& history, bool as_errors);

// The tree that `x` (or `t`, `testing`) works on in the archive whose
// checked index is `index`: --until's version; without it, for `x` the
// newest tree (no file that `u` found deleted), for `t` every entry
// (nullopt). False (message printed) when --until names no version; `bad`
// is set when a marker could not be trusted (reported).
bool choose_version_view(const Settings& s, const Source& archive, const ArchiveIndex& index, bool testing,
                         std::optional<VersionView>& view, bool& bad);

int run_versions(Settings& s, const std::vector<std::string>& args);

}  // namespace taq
