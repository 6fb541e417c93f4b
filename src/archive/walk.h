// Walking an archive when it may be damaged: entries are self-contained, so
// a reader that meets a damaged entry can go on at the next one it can
// trust; and a writer must tell an archive whose last entry was cut short
// by a crash (cut that tail away, append) from anything else (refuse).
#pragma once

#include <cstdint>
#include <string>

#include "archive/diagnostics.h"
#include "archive/entry.h"
#include "archive/index.h"
#include "archive/record.h"
#include "platform/platform.h"

namespace taq {

// One entry as a reader checked it: a header that reads, is plausible,
// and (when there is a record) matches its record's header check.
struct CheckedEntry {
    EntryHeader header;
    RecordState record_state = RecordState::absent;
    CheckRecord record;
    uint64_t record_length = 0;
    uint64_t offset = 0;
};

// Reads and checks the entry at `offset`; on failure `why` says what is
// wrong. Plausibility assumes a decoded model run is there (continuation
// entries are judged by the caller, who knows).
bool check_entry(const Source& archive, uint64_t offset, uint64_t size, CheckedEntry& out, std::string& why);
// The same for an entry whose whole header has been read into out.header
// (at out.offset); out's record fields are filled in.
bool check_read_entry(const Source& archive, CheckedEntry& out, std::string& why);

// Whether a reader may resume at `offset`: an entry that starts a model
// run, checks out, and either carries a record (whose header check
// matched) or begins a chain of entries that walks cleanly to the end.
bool trusted_start(const Source& archive, uint64_t offset, uint64_t size);

// The first offset from `from` on where trusted_start holds; `size` when
// there is none.
uint64_t find_trusted_entry(const Source& archive, uint64_t from, uint64_t size);

// Entry by entry through an archive, past damage. Every damaged stretch is
// reported (the damage, then the byte range passed over) and the walk goes
// on at the next entry it can trust. The entries a stretch held are those
// whose headers still chain from its start within it; garbage holds none.
// Sound entries followed by an interrupted append are no damage: the tail
// gets its own line and the walk ends there.
class ArchiveWalk {
public:
    ArchiveWalk(const Source& archive, std::string archive_path, uint64_t size, Diagnostics& diag)
        : archive_(archive), path_(std::move(archive_path)), size_(size), diag_(diag) {}

    // Entries that `index` (checked, of this archive, outliving the walk)
    // found sound are taken from it instead of being read again.
    void use_index(const ArchiveIndex& index) {
        if (index.checked() && index.archive_size() == size_) index_ = &index;
    }
    // The next entry; false at the end of the archive.
    bool next(CheckedEntry& e);
    // The entry at `offset` (returned by next) proved damaged while it was
    // decoded and its bounds cannot be trusted: go on after it by scanning.
    void resume_after(uint64_t offset);
    // Moves past the entry returned last (its bounds are trusted).
    void skip(const CheckedEntry& e) { position_ = e.offset + e.header.entry_size; }
    // How many damaged stretches the walk has passed over, ...
    unsigned damaged() const { return damaged_; }
    // ... how many bytes they held, ...
    uint64_t skipped_bytes() const { return skipped_bytes_; }
    // ... and how many entries were in them (not counting those handed to
    // resume_after, which their decoder has counted).
    uint64_t damaged_entries() const { return damaged_entries_; }

private:
    void pass_damage(uint64_t from, const std::string& why, bool first_counted);

    Source archive_;
    std::string path_;
    uint64_t size_;
    Diagnostics& diag_;
    const ArchiveIndex* index_ = nullptr;
    uint64_t position_ = 0;
    unsigned damaged_ = 0;
    uint64_t skipped_bytes_ = 0;
    uint64_t damaged_entries_ = 0;
};

// Whether the bytes from `offset` (where the complete entries end) to
// `size` are what a writer stopped in the middle of an entry leaves (a
// crash, kill -9): one unfinished entry and nothing after it. This is the
// tail that check_for_append finds incomplete and the next `a` cuts away.
// With `unsettled_only` the entry's size must also still be the
// placeholder 0 (or cut off): an entry whose size was written was complete
// once, and losing its end is damage, whatever the next `a` makes of it.
bool interrupted_append_at(const Source& archive, uint64_t offset, uint64_t size, bool unsettled_only = false);
// The line that reports such a tail to a reader, which is no damage.
std::string interrupted_append_message(const std::string& archive, uint64_t offset);

// What a writer finds at the end of an existing archive.
struct AppendCheck {
    enum State {
        clean,       // complete entries up to the end (or an empty file)
        incomplete,  // complete entries, then the remains of one that a crash cut short
        refused,     // damaged, or not an archive at all: never to be touched
    } state = clean;
    uint64_t good_end = 0;  // end of the last complete entry
    std::string why;        // for refused: what is wrong at good_end
};
// `keep` (when given) receives the checked index that the check read.
AppendCheck check_for_append(const Source& archive, uint64_t size, ArchiveIndex* keep = nullptr);

}  // namespace taq
