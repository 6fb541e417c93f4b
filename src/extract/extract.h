// decode_entry and the single-process walk over an archive.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive/diagnostics.h"
#include "archive/entry.h"
#include "archive/record.h"
#include "archive/source.h"
#include "archive/versions.h"
#include "extract/staging.h"
#include "platform/platform.h"

namespace taq {

class ArchiveIndex;
class ArchiveWalk;
struct CheckedEntry;
class Engine;
class DigramTransform;
struct EntryHeader;
class Meter;

enum class DecodeResult {
    ok,       // decoded (and written when selected); its check record, if any, verified
    refused,  // decoded but not written: unsafe name or output not writable (error reported)
    corrupt,  // its data failed its check or its stream is broken (error reported); the
              // entry's bounds can be trusted, but the model run it belongs to cannot go on
    damaged,  // the entry itself cannot be trusted (error reported): the walk must scan for
              // the next entry it can trust
    interrupted,  // an interrupt request came in: the run stops
};

// What a run of `t` (or `x`) found.
struct CheckTally {
    uint64_t tested = 0;     // entries decoded
    uint64_t verified = 0;   // ... whose check record matched
    uint64_t unchecked = 0;  // ... that carry no record (the plain format)
    uint64_t damaged = 0;    // entries that failed, or could not be decoded
    uint64_t stretches = 0;      // damaged stretches of the archive passed over
    uint64_t skipped_bytes = 0;  // ... and the bytes they held
};

// What a walk that passed over damage adds to the tally.
void add_walk_damage(CheckTally& tally, const ArchiveWalk& walk);

// What decides, for every way of restoring, whether an entry's file may be
// written here: a stored path that stays below the destination, a
// directory that can be made, and a file there that is not the archive or
// another file of the run. Each refusal is reported (a directory that
// cannot be made once, not for each of its files).
class OutputGuard {
public:
    explicit OutputGuard(Diagnostics& diag) : diag_(diag) {}
    void protect(const platform::FileIdentity& id) { protected_.push_back(id); }
    // The open directory of `name` when the entry may be written there;
    // invalid (reported) when not.
    platform::Directory open(const EntryHeader& h, const OutputName& name, const std::string& archive_path);

private:
    Diagnostics& diag_;
    std::vector<platform::FileIdentity> protected_;
    std::string last_directory_error_;
};

// Owns the decoding model across the entries of a run: a reset entry sizes
// the tables from its own model memory, a continuation entry keeps them.
class Extractor {
public:
    Extractor(bool verbose, Diagnostics& diag);
    ~Extractor();
    Extractor(const Extractor&) = delete;
    Extractor& operator=(const Extractor&) = delete;

    // Decodes the entry at `offset`. When `selected`, its data is written at
    // range_start into the staging file of dest_dir + stored_dir +
    // stored_name (see OutputSizes), which the output sizes create the
    // first time the run meets the file; without them (a child of a
    // parent, which has created it) the staging file of the owner's run
    // must exist already.
    DecodeResult decode_entry(const Source& archive, const std::string& archive_path, uint64_t offset,
                              uint64_t archive_size, const std::string& dest_dir, bool selected);
    // The same for an entry a walk has checked: its header and record are
    // taken as the walk read them.
    DecodeResult decode_entry(const Source& archive, const std::string& archive_path, const CheckedEntry& walked,
                              const std::string& dest_dir, bool selected);
    // Decodes the entry at `offset` into `sink`, with the same checks as
    // decode_entry and no output files. A sink that asks to stop ends the
    // entry as interrupted.
    DecodeResult decode_to(const Source& archive, const std::string& archive_path, uint64_t offset,
                           uint64_t archive_size, Sink& sink);
    DecodeResult decode_to(const Source& archive, const std::string& archive_path, const CheckedEntry& walked,
                           Sink& sink);

    // Where the ranges written by decode_entry are recorded and their files
    // staged (none: null).
    void set_output_sizes(OutputSizes* sizes) { sizes_ = sizes; }
    // Without output sizes: whose run's staging files are written.
    void set_staging_owner(platform::ProcessId owner) { staging_owner_ = owner; }
    // Whether an interrupt request stops decoding (at the next segment).
    void set_stop_on_interrupt(bool on) { stop_on_interrupt_ = on; }
    bool stops_on_interrupt() const { return stop_on_interrupt_; }
    // About how much the run will decode; lets the model choose its page
    // size before the tables are first touched.
    void expect_output(uint64_t bytes) { expected_output_ = bytes; }
    // On how many threads the model maps its tables in (1 when several
    // decoding processes share the machine).
    void set_populate_threads(unsigned n) { populate_threads_ = n; }
    // Where the decoded bytes are counted (for progress); null: nowhere.
    void set_meter(Meter* meter) { meter_ = meter; }
    // Testing (`t`): nothing is written; with verbose, one line per entry.
    void set_testing(bool on) { testing_ = on; }
    bool testing() const { return testing_; }
    // A file that no entry may write: the archive being read, the task
    // board, part archives.
    void protect(const platform::FileIdentity& id) { guard_.protect(id); }
    // The model run in progress is lost (an entry of it was damaged): the
    // entries that continue it cannot be decoded until the next run starts.
    void drop_model() { model_ok_ = false; }
    CheckTally& tally() { return tally_; }
    // The last entry failed because its model's memory could not be had.
    bool out_of_memory() const { return out_of_memory_; }
    Diagnostics& diagnostics() { return diag_; }

private:
    // An entry as its checks found it, before its stream is decoded.
    struct EntryToDecode {
        EntryHeader header;
        CheckRecord record;
        uint64_t record_length = 0;
        bool checked = false;
        // What a broken stream makes of the entry: with a record its
        // bounds still hold.
        DecodeResult broken = DecodeResult::damaged;
    };
    DecodeResult fail_entry(const EntryHeader& h, DecodeResult r, const std::string& out_path);
    // The header, its plausibility, its record and its range; ok or what
    // the entry's failure is (reported).
    // `to_file`: the data goes to a file here, which must be able to
    // hold its range.
    DecodeResult check_entry_for_decode(const Source& archive, const std::string& archive_path, uint64_t offset,
                                        uint64_t archive_size, bool to_file, EntryToDecode& e);
    DecodeResult check_entry_for_decode(const CheckedEntry& walked, const std::string& archive_path, bool to_file,
                                        EntryToDecode& e);
    DecodeResult damaged_entry(const EntryHeader& h, const std::string& archive_path, uint64_t offset,
                               const std::string& why);
    // What the model and the format allow of a header that reads: ok or
    // the failure (reported).
    DecodeResult judge_header(const EntryHeader& h, const std::string& archive_path, uint64_t offset);
    // Whether the entry's range can be written where it belongs.
    DecodeResult judge_range(EntryToDecode& e, const std::string& archive_path, uint64_t offset, bool to_file);
    DecodeResult restore_entry(const Source& archive, const std::string& archive_path, uint64_t offset,
                               const EntryToDecode& e, const std::string& dest_dir, bool selected);
    // The staging file the entry's data goes to; invalid (reported,
    // `selected` cleared, `result` refused) when it may not or cannot be
    // written.
    platform::File open_output(const EntryHeader& h, const OutputName& name, const std::string& archive_path,
                               bool& selected, DecodeResult& result);
    // The model for the entry: reset (and sized) for the start of a run.
    bool prepare_model(const EntryHeader& h);
    DecodeResult decode_stream(const Source& archive, const std::string& archive_path, uint64_t offset,
                               const EntryToDecode& e, Sink& sink, const std::string& written);

    // The largest file that the archive's directory can hold (asked once
    // per archive).
    uint64_t largest_file(const std::string& archive_path);

    bool verbose_;
    Diagnostics& diag_;
    bool out_of_memory_ = false;
    bool testing_ = false;
    std::string limit_archive_;
    uint64_t largest_file_ = 0;
    Meter* meter_ = nullptr;
    bool model_ok_ = false;
    CheckTally tally_;
    OutputGuard guard_;
    platform::ProcessId staging_owner_ = 0;
    bool stop_on_interrupt_ = false;
    uint64_t expected_output_ = 0;
    unsigned populate_threads_;
    OutputSizes* sizes_ = nullptr;
    std::unique_ptr<Engine> engine_;
    std::unique_ptr<DigramTransform> digram_;
    DataHasher hasher_;
};

// Output sizes set on an extractor for as long as this lives.
class ScopedOutputSizes {
public:
    ScopedOutputSizes(Extractor& extractor, OutputSizes& sizes) : extractor_(extractor) {
        extractor.set_output_sizes(&sizes);
    }
    ~ScopedOutputSizes() { extractor_.set_output_sizes(nullptr); }
    ScopedOutputSizes(const ScopedOutputSizes&) = delete;
    ScopedOutputSizes& operator=(const ScopedOutputSizes&) = delete;

private:
    Extractor& extractor_;
};

// The single-process walk: every matching entry is restored under dest_dir
// (or, when the extractor is testing, only decoded and checked); the
// entries of a solid run before its last matching one are decoded too
// (written only when they match; see ExtractionPlan). `index`: the
// archive's headers when the caller has read them (read here when not). Damage is reported and passed over: the
// walk goes on at the next entry it can trust. Returns false when anything
// failed (every failure is reported to the extractor's diagnostics). `matched` (when given)
// receives, for each pattern, how many entries it selected.
// `view` (when given): only the tree as of that version (see VersionView).
bool extract_entries(Extractor& extractor, const std::string& archive_path, const std::string& dest_dir,
                     const std::vector<std::string>& patterns, std::vector<uint64_t>* matched = nullptr,
                     const ArchiveIndex* index = nullptr, const VersionView* view = nullptr);
// The same over any source of `size` bytes (the plain archive inside an
// encrypted one); `self` (when known) is the archive file, which no
// restore may overwrite.
bool extract_entries(Extractor& extractor, const Source& archive, uint64_t size, const platform::FileIdentity* self,
                     const std::string& archive_path, const std::string& dest_dir,
                     const std::vector<std::string>& patterns, std::vector<uint64_t>* matched = nullptr,
                     const ArchiveIndex* index = nullptr, const VersionView* view = nullptr);
inline bool extract_entries(Extractor& extractor, const std::string& archive_path, const std::string& dest_dir,
                            const std::string& pattern, std::vector<uint64_t>* matched = nullptr) {
    return extract_entries(extractor, archive_path, dest_dir, std::vector<std::string>{pattern}, matched);
}

// Whether an entry's stored path may be written under a destination: not
// absolute, no ".." component, no separator in the name.
bool safe_stored_path(const std::string& stored_dir, const std::string& stored_name);

}  // namespace taq
