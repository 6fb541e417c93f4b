#include "compress/compress.h"

#include <algorithm>
#include <new>
#include <vector>

#include "archive/bytes.h"
#include "archive/entry.h"
#include "archive/meter.h"
#include "archive/paths.h"
#include "archive/record.h"
#include "archive/sealed.h"
#include "compress/analysis.h"
#include "model/coder.h"
#include "model/engine.h"
#include "compress/segments.h"
#include "platform/platform.h"
#include "transform/digram.h"

namespace taq {

using platform::File;

// The archive as the compressor writes it: the file itself, or the plain
// archive inside an encrypted one, through its writer.
class ArchiveOutput {
public:
    File file;
    SealedWriter* sealed = nullptr;

    bool valid() const { return sealed || file.valid(); }
    bool write_at(uint64_t at, const void* data, size_t n) {
        return sealed ? sealed->write_at(at, data, n) : file.seek(at) && file.write(data, n);
    }
    bool truncate(uint64_t size) { return sealed ? sealed->truncate(size) : file.truncate(size); }
    bool sync() { return sealed ? sealed->sync() : file.sync(); }
    // Done with the entry: what it wrote is in the container (the next
    // entry starts a frame of its own).
    bool close() {
        if (sealed) return sealed->end_frame();
        file.close();
        return true;
    }
    std::string error() const { return sealed ? sealed->error() : file.error(); }
    Encoder encoder() { return sealed ? Encoder(&SealedWriter::write_block, sealed) : Encoder(&file); }
};

namespace {


// " (the system's reason)" of the file's last failure; empty when it had none.
std::string reason(const Source& f) {
    const std::string e = f.error();
    return e.empty() ? std::string() : " (" + e + ")";
}

// Input from this size on touches most 2 MiB regions of the tables: large
// pages then cost less than the many small page faults.
constexpr uint64_t kLargePageInput = 4096;

// The input side of the segment loop: the file's bytes of the entry's
// range, hashed for the check record as they are read.
struct InputSegments {
    Source in;
    uint64_t range_start;
    DataHasher* hasher;
    Meter* meter;

    bool read(uint8_t* seg, size_t n, uint64_t position) {
        if (!in.read_exact(range_start + position, seg, n)) return false;
        if (hasher) hasher->update(seg, n);
        return true;
    }
    void write(const uint8_t*, size_t, uint64_t) {}
    void count(uint64_t bytes) {
        if (meter) meter->add(bytes);
    }
    // Asked at each block and segment boundary, never more often.
    bool stop() const { return platform::interrupted(); }
};

// An encoder that also records each decision it codes.
class TraceEncoder : public Encoder {
public:
    TraceEncoder(File* out, std::string* log, size_t limit) : Encoder(out), log_(log), limit_(limit) {}
    int bit(int b, uint32_t p) {
        if (count_++ < limit_) *log_ += std::to_string(p) + " " + std::to_string(b) + "\n";
        return Encoder::bit(b, p);
    }
    int direct(int b) {
        if (count_++ < limit_) *log_ += "d " + std::to_string(b) + "\n";
        return Encoder::direct(b);
    }
    int step(int b, uint32_t p) {
        if (count_++ < limit_) *log_ += std::to_string(p) + " " + std::to_string(b) + "\n";
        return Encoder::step(b, p);
    }

private:
    std::string* log_;
    size_t limit_;
    size_t count_ = 0;
};

Analysis analyse_entry(Analyser& analyser, Engine& engine, const Source& in, uint64_t data_size) {
    const size_t w = data_size < kAnalysisWindow ? static_cast<size_t>(data_size) : kAnalysisWindow;
    uint8_t* window = engine.segment();
    const size_t got = in.read_at(0, window, w);
    // A file shorter than its range is caught by the segment loop; judge
    // only the bytes that are there.
    return analyser.analyse(window, got);
}

}  // namespace

namespace {

// Entries are settled at the latest after this many coded bytes or this
// long: a crash loses at most that much finished work.
constexpr uint64_t kSettleBytes = uint64_t{64} << 20;
constexpr uint64_t kSettleMs = 2000;

}  // namespace

Compressor::Compressor(CompressOptions options, Diagnostics& diag)
    : options_(std::move(options)), diag_(diag), hasher_(std::make_unique<DataHasher>()), last_settle_ms_(platform::monotonic_ms()) {}

Compressor::~Compressor() { finish_run(); }

bool Compressor::settle(bool final) {
    if (pending_.empty() && !final) return true;
    if (may_settle_ && !may_settle_()) {
        // Whoever asked for these entries is gone: they stay incomplete.
        pending_.clear();
        pending_bytes_ = 0;
        return false;
    }
    ArchiveOutput archive;
    archive.sealed = options_.sealed;
    if (!archive.sealed) archive.file = File::open(options_.archive_path, File::Mode::write_existing);
    bool ok = archive.valid();
    // The data first: a size only ever stands in front of data on the disk.
    ok = ok && (!options_.durable || archive.sync());
    for (const Pending& p : pending_) {
        if (!ok) break;
        std::vector<uint8_t> size_bytes;
        put_le(size_bytes, p.size, 8);
        ok = archive.write_at(p.offset, size_bytes.data(), 8);
    }
    if (ok && final && !pending_.empty() && options_.durable) ok = archive.sync();
    if (!ok && archive.valid()) archive.sync();
    if (!ok)
        diag_.error(text("Error: cannot write Output file ", options_.archive_path, " (",
                         archive.valid() ? archive.error() : std::string("cannot open"), ")\n"));
    pending_.clear();
    pending_bytes_ = 0;
    last_settle_ms_ = platform::monotonic_ms();
    return ok;
}

bool Compressor::finish_run() {
    if (pending_.empty()) return true;
    return settle(true);
}

bool Compressor::prepare_tables() {
    if (tables_ready_) return true;
    try {
        engine_ = std::make_unique<Engine>(options_.model_memory);
        analyser_ = std::make_unique<Analyser>();
        digram_ = std::make_unique<DigramTransform>();
    } catch (const std::bad_alloc&) {
        diag_.error("No memory \n");
        out_of_memory_ = true;
        return false;
    }
    return true;
}

EntryResult Compressor::compress_entry(const std::string& input_path, const std::string& stored_name,
                                       const std::string& stored_dir, uint64_t range_start, uint64_t range_end) {
    File in = File::open(input_path, File::Mode::read_existing);
    if (!in) {
        diag_.error(text("Error: cannot open Input file ", input_path, " (", in.error(), ")\n"));
        return EntryResult::input_failed;
    }
    platform::FileMeta meta;
    // Growth of the file while it is read is told by its size now.
    const int64_t whole = in.size();
    if (options_.check_record && (whole < 0 || !in.metadata(meta))) {
        diag_.error(text("Error: cannot read Input file ", input_path, "\n"));
        return EntryResult::input_failed;
    }
    return compress_source(in, input_path, meta, stored_name, stored_dir, range_start, range_end);
}

bool Compressor::open_archive(ArchiveOutput& out, uint64_t& entry_start) {
    const std::string& archive_path = options_.archive_path;
    if (options_.sealed) {
        out.sealed = options_.sealed;
        if (!out.sealed->end_frame()) {
            diag_.error(text("Error: cannot write Output file ", archive_path, " (", out.error(), ")\n"));
            return false;
        }
        entry_start = out.sealed->size();
        return true;
    }
    File& archive = out.file;
    archive = File::open(archive_path, File::Mode::write_existing);
    if (!archive) archive = File::open(archive_path, File::Mode::create);
    if (!archive) {
        diag_.error(text("Error: cannot open Output file ", archive_path, " (", archive.error(), ")\n"));
        return false;
    }
    if (options_.part_archive && !tables_ready_) platform::set_hidden(archive_path, true);
    const int64_t archive_size = archive.size();
    if (archive_size < 0) {
        diag_.error(text("Error: cannot open Output file ", archive_path, "\n"));
        return false;
    }
    entry_start = static_cast<uint64_t>(archive_size);
    return true;
}

bool Compressor::begin_model(uint64_t data_size, uint8_t& reset_flag) {
    reset_flag = 1;
    // What the model will code before its next reset: a solid run goes on
    // into the files after this one.
    const uint64_t coming = options_.solid ? std::max(expected_input_, data_size) : data_size;
    if (!tables_ready_) {
        if (!prepare_tables()) return false;
        if (std::max(expected_input_, data_size) >= kLargePageInput)
            engine_->prefer_large_pages(options_.part_archive ? 1u : std::min(2u, platform::processor_count()));
        engine_->model_reset(coming);
        tables_ready_ = true;
    } else if (!options_.solid || model_diverged_) {
        engine_->model_reset(coming);
        model_diverged_ = false;
    } else {
        reset_flag = 0;
    }
    return true;
}

EntryHeader Compressor::entry_header(const Source& in, const std::string& stored_name, const std::string& stored_dir,
                                     uint8_t reset_flag, uint64_t range_start, uint64_t data_size) {
    EntryHeader header;
    header.solid = options_.solid ? 1 : 0;
    header.reset_flag = reset_flag;
    header.stored_name = stored_name;
    header.stored_dir = stored_dir;
    if (options_.recurse) {
        header.stored_name = collapse_separators(header.stored_name);
        header.stored_dir = collapse_separators(header.stored_dir);
    }
    header.data_size = static_cast<int64_t>(data_size);
    header.model_memory = options_.model_memory;
    header.min_match = 3;
    static_cast<CodingChoices&>(header) = analyse_entry(*analyser_, *engine_, in, data_size);
    header.range_start = range_start;
    return header;
}

Compressor::CodedEntry Compressor::code_entry(const Source& in, int64_t whole, ArchiveOutput& archive, uint64_t entry_start,
                                              EntryHeader& header, CheckRecord* record) {
    CodedEntry out;
    // entry_size stays 0 (incomplete) until the entry is settled.
    const std::vector<uint8_t> bytes = serialize_header(header);
    out.write_ok = archive.write_at(entry_start, bytes.data(), bytes.size());
    const uint64_t data_size = static_cast<uint64_t>(header.data_size);

    Encoder encoder = archive.encoder();
    encoder.start();
    engine_->set_min_match(3);
    hasher_->reset();
    DataHasher* hasher = record ? hasher_.get() : nullptr;
    InputSegments input{in, header.range_start, hasher, meter_};
    SegmentOutcome::Status status = SegmentOutcome::ok;
    if (out.write_ok) status = code_segments(*engine_, *digram_, encoder, header, data_size, input).status;
    out.coded = status == SegmentOutcome::ok;
    out.stopped = status == SegmentOutcome::stopped;
    // The range reached the end of the file as it was at the start: any
    // byte beyond it came while the file was read.
    const uint64_t range_end = header.range_start + data_size;
    out.grew = out.coded && whole >= 0 && static_cast<uint64_t>(whole) <= range_end &&
               in.size() > static_cast<int64_t>(range_end);
    if (out.coded && out.write_ok) encoder.flush();
    out.write_ok = out.write_ok && !encoder.failed();

    out.coded_size = bytes.size() + encoder.coded_size;
    if (out.coded && out.write_ok && record) {
        out.coded_size += kRecordLength;
        header.entry_size = out.coded_size;
        record->data_hash = hasher->digest();
        record->header_hash = header_hash(serialize_header(header));
        const std::vector<uint8_t> rec = serialize_record(*record);
        out.write_ok = archive.write_at(entry_start + bytes.size() + encoder.coded_size, rec.data(), rec.size());
    }
    return out;
}

EntryResult Compressor::drop_entry(const CodedEntry& coded, const Source& in, const std::string& input_path,
                                   ArchiveOutput& archive, uint64_t entry_start) {
    // Leave the archive as it was before this entry. The model has seen
    // part of it, which no reader will: a solid run starts afresh.
    archive.truncate(entry_start);
    model_diverged_ = true;
    if (options_.verbose) diag_.info("\n");
    if (coded.stopped) return EntryResult::interrupted;
    if (!coded.coded) {
        // A file that shrank has no reason to give; a failed read has.
        diag_.error(text("Error: cannot read Input file ", input_path, reason(in), "\n"));
        return EntryResult::input_failed;
    }
    diag_.error(text("Error: cannot write Output file ", options_.archive_path, " (", archive.error(), ")\n"));
    return EntryResult::output_failed;
}

EntryResult Compressor::compress_source(const Source& in, const std::string& input_path,
                                        const platform::FileMeta& meta, const std::string& stored_name,
                                        const std::string& stored_dir, uint64_t range_start, uint64_t range_end) {
    CheckRecord record;
    // Growth of the input while it is read is told by its size now.
    const int64_t whole = in.size();
    if (options_.check_record) {
        record.meta = meta;
        record.file_size = static_cast<uint64_t>(std::max<int64_t>(whole, 0));
    }
    ArchiveOutput archive;
    uint64_t entry_start = 0;
    if (!open_archive(archive, entry_start)) return EntryResult::output_failed;
    const uint64_t data_size = range_end > range_start ? range_end - range_start : 0;
    uint8_t reset_flag = 1;
    if (!begin_model(data_size, reset_flag)) return EntryResult::output_failed;

    const std::string path = collapse_separators(input_path);
    if (meter_) meter_->set_item(path);
    if (options_.verbose) diag_.info(text("compress.. ", path, " "));

    EntryHeader header = entry_header(in, stored_name, stored_dir, reset_flag, range_start, data_size);
    const CodedEntry coded = code_entry(in, whole, archive, entry_start, header, options_.check_record ? &record : nullptr);
    if (!coded.coded || !coded.write_ok)
        return drop_entry(coded, in, input_path, archive, entry_start);
    if (!archive.close()) {
        diag_.error(text("Error: cannot write Output file ", options_.archive_path, " (", archive.error(), ")\n"));
        return EntryResult::output_failed;
    }
    pending_.push_back({entry_start, coded.coded_size});
    pending_bytes_ += coded.coded_size;
    if ((pending_bytes_ >= kSettleBytes || platform::monotonic_ms() - last_settle_ms_ >= kSettleMs) && !settle(false))
        return EntryResult::output_failed;
    if (options_.verbose)
        diag_.info(text(" ", static_cast<int64_t>(data_size), " to ", coded.coded_size, " \n"));
    if (coded.grew) {
        diag_.error(text(input_path, ": file changed as we read it\n"));
        return EntryResult::changed;
    }
    return EntryResult::written;
}

std::string Compressor::trace_decisions(const std::string& input_path, const std::string& scratch_path,
                                        size_t limit) {
    std::string log;
    File in = File::open(input_path, File::Mode::read_existing);
    File out = File::open(scratch_path, File::Mode::create);
    if (!in || !out || !prepare_tables()) return log;
    tables_ready_ = true;
    engine_->model_reset();
    const uint64_t size = platform::file_size(input_path);
    const Analysis a = analyse_entry(*analyser_, *engine_, in, size);
    TraceEncoder encoder(&out, &log, limit);
    encoder.start();
    engine_->set_min_match(3);
    InputSegments input{in, 0, nullptr, nullptr};
    code_segments(*engine_, *digram_, encoder, a, size, input);
    encoder.flush();
    return log;
}

}  // namespace taq
