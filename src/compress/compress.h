// compress_entry: one byte range of one file becomes one entry at the end
// of the archive.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/diagnostics.h"
#include "archive/entry.h"
#include "archive/record.h"
#include "archive/source.h"
#include "platform/platform.h"

namespace taq {

class SealedWriter;

struct CompressOptions {
    std::string archive_path;          // archive (or a child's part archive)
    uint32_t model_memory = 134217728; // M, 4 MiB << method level
    bool solid = false;
    bool verbose = false;  // a line for each entry as it is written
    bool recurse = false;  // stored paths with repeated separators collapsed
    bool check_record = true;  // false: the plain format, no record after the coded stream
    // A child task's part archive: hidden where the system has the notion,
    // and the tables mapped in on one thread (the other tasks have the
    // other processors).
    bool part_archive = false;
    // false: a scratch archive that no later run reads back (entries
    // handed on as soon as they are settled): settling writes the sizes
    // without syncing first.
    bool durable = true;
    // An encrypted archive: everything goes through its writer (which
    // outlives the compressor), never to the file at archive_path itself.
    SealedWriter* sealed = nullptr;
};

enum class EntryResult {
    written,       // the archive has grown by one entry
    input_failed,  // input could not be opened or read completely: error reported, archive unchanged
    output_failed, // archive could not be opened or written: error reported, archive unchanged
    changed,       // written as far as the range goes, but the file grew while it was read: error reported
    interrupted,   // an interrupt request came (platform::interrupted()): archive unchanged, nothing reported
};

class Engine;
class Analyser;
class ArchiveOutput;
class DigramTransform;
class DataHasher;
class Meter;

// Owns the model and buffers for a whole run: the first entry allocates
// them, a solid run keeps the model from one entry to the next.
//
// Crash safety: an entry's size field keeps its placeholder 0 until its
// coded data (and record) are on the disk; only then is the real size
// written. Entries are settled in batches (a sync, then the sizes of every
// entry written since the last one), so that a crash at any moment leaves
// complete entries followed by at most an incomplete tail, which the next
// run cuts away. finish_run() settles what is left and makes the sizes
// durable; the destructor does the same for a run that ends early.
class Compressor {
public:
    Compressor(CompressOptions options, Diagnostics& diag);
    ~Compressor();
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    EntryResult compress_entry(const std::string& input_path, const std::string& stored_name,
                               const std::string& stored_dir, uint64_t range_start, uint64_t range_end);
    // The same for bytes from any source: `input_path` names them in
    // messages, `meta` is kept in the check record. The source's size when
    // the entry is done, if more than range_end when it began at or below
    // it, means the input grew while it was read.
    EntryResult compress_source(const Source& in, const std::string& input_path, const platform::FileMeta& meta,
                                const std::string& stored_name, const std::string& stored_dir, uint64_t range_start,
                                uint64_t range_end);

    // Runs the coding of a whole file as compress_entry would (fresh model)
    // and returns the coder's first `limit` decisions, one per line: "P BIT"
    // for a modelled decision, "d BIT" for a direct bit. `scratch_path`
    // receives the coded bytes. For tracing mismatches against reference
    // streams.
    std::string trace_decisions(const std::string& input_path, const std::string& scratch_path, size_t limit);

    const CompressOptions& options() const { return options_; }

    // Settles every entry written so far and syncs the archive. False
    // (error reported) when that fails; the entries then stay incomplete.
    bool finish_run();

    // Forgets the entries not yet settled: they stay incomplete, for a
    // caller that cuts the archive back to where its run began.
    void abandon_run() {
        pending_.clear();
        pending_bytes_ = 0;
    }

    // Asked before entries are settled: when it answers false they are
    // left incomplete (a child task whose parent has gone settles nothing),
    // and the run fails.
    void set_settle_guard(std::function<bool()> may_settle) { may_settle_ = std::move(may_settle); }

    // Where the coded bytes are counted (for progress); null: nowhere.
    void set_meter(Meter* meter) { meter_ = meter; }

    // How many bytes the run will compress in all; lets the model choose
    // its page size before the tables are first touched.
    void expect_input(uint64_t bytes) { expected_input_ = bytes; }

    // The model's memory could not be had.
    bool out_of_memory() const { return out_of_memory_; }

private:
    CompressOptions options_;
    Diagnostics& diag_;
    bool prepare_tables();

    std::unique_ptr<Engine> engine_;
    std::unique_ptr<Analyser> analyser_;
    std::unique_ptr<DigramTransform> digram_;
    bool tables_ready_ = false;
    // An entry was dropped after the model had coded part of it.
    bool model_diverged_ = false;
    bool out_of_memory_ = false;
    uint64_t expected_input_ = 0;
    std::unique_ptr<DataHasher> hasher_;
    Meter* meter_ = nullptr;
    std::function<bool()> may_settle_;

    // The steps of compress_source: the archive opened at its end; the
    // model reset (or kept, inside a solid run); the header, with the
    // analysis's choices; the header, coded stream and record written;
    // a failed entry cut away again.
    struct CodedEntry {
        bool coded = true;     // every byte of the range read and coded
        bool stopped = false;  // an interrupt request stopped the coding
        bool write_ok = false;
        bool grew = false;  // the input grew while it was read
        uint64_t coded_size = 0;
    };
    bool open_archive(ArchiveOutput& archive, uint64_t& entry_start);
    bool begin_model(uint64_t data_size, uint8_t& reset_flag);
    EntryHeader entry_header(const Source& in, const std::string& stored_name, const std::string& stored_dir,
                             uint8_t reset_flag, uint64_t range_start, uint64_t data_size);
    // `whole`: the input's size when the entry began.
    CodedEntry code_entry(const Source& in, int64_t whole, ArchiveOutput& archive, uint64_t entry_start,
                          EntryHeader& header, CheckRecord* record);
    EntryResult drop_entry(const CodedEntry& coded, const Source& in, const std::string& input_path,
                           ArchiveOutput& archive, uint64_t entry_start);

    bool settle(bool final);
    struct Pending {
        uint64_t offset, size;
    };
    std::vector<Pending> pending_;
    uint64_t pending_bytes_ = 0;
    uint64_t last_settle_ms_ = 0;
};

}  // namespace taq
