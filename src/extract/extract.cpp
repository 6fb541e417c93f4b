#include "extract/extract.h"

#include <algorithm>
#include <limits>
#include <new>
#include <vector>

#include "archive/entry.h"
#include "archive/index.h"
#include "archive/meter.h"
#include "archive/record.h"
#include "archive/walk.h"
#include "archive/paths.h"
#include "extract/plan.h"
#include "model/coder.h"
#include "model/engine.h"
#include "compress/segments.h"
#include "transform/digram.h"

namespace taq {

namespace {

using platform::File;

static_assert(kEntrySegment == kSegmentSize, "the plausibility checks assume the coders' segment");

// Output from this size on touches most 2 MiB regions of the tables: large
// pages then cost less than the many small page faults.
constexpr uint64_t kLargePageOutput = 4096;

}  // namespace

bool safe_stored_path(const std::string& stored_dir, const std::string& stored_name) {
    if (stored_name.empty() || stored_name == "." || stored_name == "..") return false;
    for (char c : stored_name)
        if (is_separator(c)) return false;
    if (!stored_dir.empty() && is_separator(stored_dir[0])) return false;
    if (stored_dir.size() >= 2 && stored_dir[1] == ':') return false;
    size_t start = 0;
    for (size_t i = 0; i <= stored_dir.size(); ++i) {
        if (i == stored_dir.size() || is_separator(stored_dir[i])) {
            if (stored_dir.compare(start, i - start, "..") == 0 && i - start == 2) return false;
            start = i + 1;
        }
    }
    return true;
}

void add_walk_damage(CheckTally& tally, const ArchiveWalk& walk) {
    tally.damaged += walk.damaged_entries();
    tally.stretches += walk.damaged();
    tally.skipped_bytes += walk.skipped_bytes();
}

Extractor::Extractor(bool verbose, Diagnostics& diag)
    : verbose_(verbose), diag_(diag), guard_(diag), populate_threads_(std::min(2u, platform::processor_count())) {}
Extractor::~Extractor() = default;

DecodeResult Extractor::fail_entry(const EntryHeader& h, DecodeResult r, const std::string& out_path) {
    ++tally_.damaged;
    // The model has taken in bytes that no encoder coded.
    model_ok_ = false;
    if (sizes_ && !out_path.empty()) sizes_->mark_failed(out_path);
    if (verbose_ && testing_) diag_.info(text(h.stored_dir, h.stored_name, " FAILED\n"));
    return r;
}

uint64_t Extractor::largest_file(const std::string& archive_path) {
    if (limit_archive_ != archive_path || largest_file_ == 0) {
        std::string dir = path_prefix(archive_path);
        while (dir.size() > 1 && is_separator(dir.back())) dir.pop_back();
        largest_file_ = platform::largest_file_size(dir);
        limit_archive_ = archive_path;
    }
    return largest_file_;
}

DecodeResult Extractor::check_entry_for_decode(const Source& archive, const std::string& archive_path,
                                               uint64_t offset, uint64_t archive_size, bool to_file,
                                               EntryToDecode& e) {
    EntryHeader& h = e.header;
    std::string why;
    if (!read_header(archive, offset, archive_size, h, &why)) return damaged_entry(h, archive_path, offset, why);
    if (DecodeResult r = judge_header(h, archive_path, offset); r != DecodeResult::ok) return r;
    const RecordState state = find_record(archive, offset, h.entry_size, h.header_length(), e.record, e.record_length);
    if (state == RecordState::damaged) return damaged_entry(h, archive_path, offset, "check record damaged");
    e.checked = state == RecordState::present;
    if (e.checked && e.record.header_hash != header_hash(serialize_header(h)))
        return damaged_entry(h, archive_path, offset, "entry header does not match its check record");
    return judge_range(e, archive_path, offset, to_file);
}

DecodeResult Extractor::check_entry_for_decode(const CheckedEntry& walked, const std::string& archive_path,
                                               bool to_file, EntryToDecode& e) {
    // The walk has read the header and the record and matched them.
    e.header = walked.header;
    e.record = walked.record;
    e.record_length = walked.record_length;
    e.checked = walked.record_state == RecordState::present;
    if (DecodeResult r = judge_header(e.header, archive_path, walked.offset); r != DecodeResult::ok) return r;
    return judge_range(e, archive_path, walked.offset, to_file);
}

DecodeResult Extractor::damaged_entry(const EntryHeader& h, const std::string& archive_path, uint64_t offset,
                                      const std::string& why) {
    diag_.error(damaged_archive_message(archive_path, offset, why));
    return fail_entry(h, DecodeResult::damaged, {});
}

DecodeResult Extractor::judge_header(const EntryHeader& h, const std::string& archive_path, uint64_t offset) {
    if (h.data_size < 0) return damaged_entry(h, archive_path, offset, "negative data size");
    if (!h.reset_flag && engine_ && !model_ok_) {
        diag_.error(text("Error: ", h.stored_dir, h.stored_name, " in archive ", archive_path, " at offset ", offset,
                         " not restored: it continues a model run that was damaged\n"));
        return fail_entry(h, DecodeResult::corrupt, {});
    }
    if (const char* bad = implausible_header(h, engine_ != nullptr)) return damaged_entry(h, archive_path, offset, bad);
    return DecodeResult::ok;
}

DecodeResult Extractor::judge_range(EntryToDecode& e, const std::string& archive_path, uint64_t offset, bool to_file) {
    const EntryHeader& h = e.header;
    // Without a record the bounds come from an unverified header.
    e.broken = e.checked ? DecodeResult::corrupt : DecodeResult::damaged;
    // Bytes that no file could hold where they belong: refused before any
    // output is touched, so that a test fails as the restore would.
    const uint64_t largest = to_file ? largest_file(archive_path) : std::numeric_limits<uint64_t>::max();
    const auto size = static_cast<uint64_t>(h.data_size);
    std::string past;
    if (size > largest || h.range_start > largest - size)
        past = "past the largest file this system can write";
    else if (e.checked && h.range_start + size > e.record.file_size)
        past = "past the file's size in its check record (" + std::to_string(e.record.file_size) + ")";
    if (!past.empty()) {
        diag_.error(text("Error: ", h.stored_dir, h.stored_name, " in archive ", archive_path, " at offset ", offset,
                         " cannot be restored: its range ", h.range_start, "+", h.data_size, " lies ", past, "\n"));
        return fail_entry(h, e.broken, {});
    }
    return DecodeResult::ok;
}

platform::Directory OutputGuard::open(const EntryHeader& h, const OutputName& name, const std::string& archive_path) {
    if (!safe_stored_path(h.stored_dir, h.stored_name)) {
        diag_.error(text("Error: unsafe path in archive ", archive_path, ": ", h.stored_dir, h.stored_name,
                         " (not restored)\n"));
        return {};
    }
    std::string error;
    platform::Directory dir = open_output_directory(name, error);
    if (!dir) {
        // Once for a directory, not for each of its files.
        if (error != last_directory_error_) diag_.error(text("Error: ", error, "\n"));
        last_directory_error_ = error;
        return {};
    }
    platform::FileIdentity id;
    if (dir.identity(h.stored_name, id) && std::find(protected_.begin(), protected_.end(), id) != protected_.end()) {
        diag_.error(
            text("Error: ", name.display(), " is the archive being read or a file of this run; not restored\n"));
        return {};
    }
    return dir;
}

platform::File Extractor::open_output(const EntryHeader& h, const OutputName& name, const std::string& archive_path,
                                      bool& selected, DecodeResult& result) {
    const std::string out_path = name.display();
    platform::File out;
    if (platform::Directory dir = guard_.open(h, name, archive_path)) {
        std::string error;
        if (sizes_) {
            out = sizes_->stage(name, dir, error);
            if (!out) diag_.error(text("Error: ", error, "\n"));
        } else {
            out = dir.open_file(staging_name(staging_owner_, h.stored_name), File::Mode::write_existing);
            if (!out) diag_.error(text("Error: cannot open Output file ", out_path, " (", out.error(), ")\n"));
        }
    }
    if (!out) {
        selected = false;
        result = DecodeResult::refused;
    }
    return out;
}

bool Extractor::prepare_model(const EntryHeader& h) {
    out_of_memory_ = false;
    if (h.reset_flag) {
        if (!engine_ || engine_->memory() != h.model_memory) {
            engine_.reset();
            try {
                engine_ = std::make_unique<Engine>(h.model_memory);
                if (std::max<uint64_t>(expected_output_, static_cast<uint64_t>(h.data_size)) >= kLargePageOutput)
                    engine_->prefer_large_pages(populate_threads_);
            } catch (const std::bad_alloc&) {
                diag_.error("No memory \n");
                out_of_memory_ = true;
                return false;
            }
        }
        engine_->model_reset(static_cast<uint64_t>(h.data_size));
        model_ok_ = true;
    }
    if (!digram_) digram_ = std::make_unique<DigramTransform>();
    engine_->set_min_match(h.min_match);
    return true;
}

DecodeResult Extractor::decode_stream(const Source& archive, const std::string& archive_path, uint64_t offset,
                                      const EntryToDecode& e, Sink& sink, const std::string& written) {
    const EntryHeader& h = e.header;
    const uint64_t stream_start = offset + h.header_length();
    const uint64_t stream_end = offset + h.entry_size - e.record_length;
    Decoder decoder(archive);
    decoder.start(stream_start, stream_end);
    DataHasher* hasher = e.checked ? &hasher_ : nullptr;
    if (hasher) hasher->reset();
    const auto broken_stream = [&](const char* what) {
        diag_.error(damaged_archive_message(archive_path, offset, what));
        return fail_entry(h, e.broken, written);
    };
    // The output side of the segment loop: hashed for the check record and
    // handed to the sink.
    struct Output {
        Extractor& x;
        Sink& sink;
        DataHasher* hasher;

        bool read(uint8_t*, size_t, uint64_t) { return false; }
        void write(const uint8_t* seg, size_t n, uint64_t position) {
            if (hasher) hasher->update(seg, n);
            sink.write(position, seg, n);
        }
        void count(uint64_t bytes) {
            if (x.meter_) x.meter_->add(bytes);
        }
        bool stop() const { return sink.stopped() || (x.stop_on_interrupt_ && platform::interrupted()); }
    } output{*this, sink, hasher};
    const SegmentOutcome outcome =
        code_segments(*engine_, *digram_, decoder, h, static_cast<uint64_t>(h.data_size), output);
    if (outcome.status == SegmentOutcome::stopped) {
        // The model is mid-entry: nothing after this can be decoded.
        model_ok_ = false;
        if (sizes_ && !written.empty()) sizes_->mark_failed(written);
        return DecodeResult::interrupted;
    }
    if (outcome.status != SegmentOutcome::ok) return broken_stream(outcome.why);
    if (e.checked) {
        // The stream must end exactly where the record begins, and give
        // back the bytes that were stored.
        if (decoder.consumed() != decoder.available())
            return broken_stream("coded data does not end where its check record begins");
        if (hasher->digest() != e.record.data_hash) {
            diag_.error(text("Error: check failed in archive ", archive_path, " at offset ", offset, ": ",
                             h.stored_dir, h.stored_name, " (the decoded data does not match)\n"));
            return fail_entry(h, DecodeResult::corrupt, written);
        }
        ++tally_.verified;
    } else {
        ++tally_.unchecked;
    }
    ++tally_.tested;
    return DecodeResult::ok;
}

DecodeResult Extractor::decode_entry(const Source& archive, const std::string& archive_path, uint64_t offset,
                                     uint64_t archive_size, const std::string& dest_dir, bool selected) {
    EntryToDecode e;
    if (DecodeResult r = check_entry_for_decode(archive, archive_path, offset, archive_size, true, e);
        r != DecodeResult::ok)
        return r;
    return restore_entry(archive, archive_path, offset, e, dest_dir, selected);
}

DecodeResult Extractor::decode_entry(const Source& archive, const std::string& archive_path,
                                     const CheckedEntry& walked, const std::string& dest_dir, bool selected) {
    EntryToDecode e;
    if (DecodeResult r = check_entry_for_decode(walked, archive_path, true, e); r != DecodeResult::ok) return r;
    return restore_entry(archive, archive_path, walked.offset, e, dest_dir, selected);
}

DecodeResult Extractor::restore_entry(const Source& archive, const std::string& archive_path, uint64_t offset,
                                      const EntryToDecode& e, const std::string& dest_dir, bool selected) {
    const EntryHeader& h = e.header;
    if (testing_) selected = false;
    DecodeResult result = DecodeResult::ok;
    const OutputName name{dest_dir, h.stored_dir, h.stored_name};
    const std::string out_path = name.display();
    File out;
    if (selected) out = open_output(h, name, archive_path, selected, result);
    if (verbose_ && selected) diag_.info(text(" ", out_path, " \n"));
    if (meter_) meter_->set_item(h.stored_path());
    if (selected && sizes_)
        sizes_->add(name, h.range_start, static_cast<uint64_t>(h.data_size), e.checked ? &e.record : nullptr);
    const std::string written = selected ? out_path : std::string();
    if (!prepare_model(h)) return fail_entry(h, DecodeResult::corrupt, written);

    // A file that cannot be written goes; decoding goes on, for the entries
    // of the run that follow.
    Sink sink = selected ? Sink(out, h.range_start) : Sink();
    sink.on_failure([&] {
        diag_.error(text("Error: cannot write Output file ", out_path, " (", out.error(), ")\n"));
        if (sizes_) sizes_->mark_failed(out_path);
        result = DecodeResult::refused;
    });
    const DecodeResult decoded = decode_stream(archive, archive_path, offset, e, sink, written);
    if (decoded != DecodeResult::ok) return decoded;
    if (verbose_ && testing_)
        diag_.info(text(h.stored_dir, h.stored_name, "  range ", h.range_start, "+", h.data_size, "  coded ",
                        h.entry_size, "  ", e.checked ? "verified" : "no record", "\n"));
    return result;
}

DecodeResult Extractor::decode_to(const Source& archive, const std::string& archive_path, uint64_t offset,
                                  uint64_t archive_size, Sink& sink) {
    EntryToDecode e;
    if (DecodeResult r = check_entry_for_decode(archive, archive_path, offset, archive_size, false, e);
        r != DecodeResult::ok)
        return r;
    if (meter_) meter_->set_item(e.header.stored_path());
    if (!prepare_model(e.header)) return fail_entry(e.header, DecodeResult::corrupt, {});
    return decode_stream(archive, archive_path, offset, e, sink, {});
}

DecodeResult Extractor::decode_to(const Source& archive, const std::string& archive_path, const CheckedEntry& walked,
                                  Sink& sink) {
    EntryToDecode e;
    if (DecodeResult r = check_entry_for_decode(walked, archive_path, false, e); r != DecodeResult::ok) return r;
    if (meter_) meter_->set_item(e.header.stored_path());
    if (!prepare_model(e.header)) return fail_entry(e.header, DecodeResult::corrupt, {});
    return decode_stream(archive, archive_path, walked.offset, e, sink, {});
}

bool extract_entries(Extractor& extractor, const std::string& archive_path, const std::string& dest_dir,
                     const std::vector<std::string>& patterns, std::vector<uint64_t>* matched,
                     const ArchiveIndex* index, const VersionView* view) {
    File archive = File::open(archive_path, File::Mode::read_existing);
    if (!archive) {
        extractor.diagnostics().error(text("Error: cannot open Archive file ", archive_path, "\n"));
        return false;
    }
    platform::FileIdentity self;
    const bool known = archive.identity(self);
    return extract_entries(extractor, archive, platform::file_size(archive_path), known ? &self : nullptr,
                           archive_path, dest_dir, patterns, matched, index, view);
}

bool extract_entries(Extractor& extractor, const Source& archive, uint64_t whole, const platform::FileIdentity* self,
                     const std::string& archive_path, const std::string& dest_dir,
                     const std::vector<std::string>& patterns, std::vector<uint64_t>* matched,
                     const ArchiveIndex* index, const VersionView* view) {
    Diagnostics& diag = extractor.diagnostics();
    // The caller's index when it is of this archive, else one read now.
    ArchiveIndex own;
    if (!index || index->archive_size() != whole) {
        own = ArchiveIndex::check(archive, whole);
        index = &own;
    }
    // A version's tree ends with its last entry: what follows is not read.
    const uint64_t size = view ? std::min(whole, view->end) : whole;
    ExtractionPlan plan(archive, size, *index, patterns, view);
    if (self) extractor.protect(*self);
    extractor.expect_output(size);
    OutputSizes sizes(diag);
    const ScopedOutputSizes scoped(extractor, sizes);
    bool ok = true;
    ArchiveWalk walk(archive, archive_path, size, diag);
    walk.use_index(*index);
    CheckedEntry e;
    bool stopped = false;
    CaseClashes clashes(diag);
    while (!stopped && walk.next(e)) {
        const EntryHeader& h = e.header;
        const auto [m, decode] = plan.step(h, e.offset);
        if (m && extractor.testing()) {
            clashes.note(h.stored_path());
            sizes.add(h.stored_path(), h.range_start, static_cast<uint64_t>(std::max<int64_t>(h.data_size, 0)),
                      e.record_state == RecordState::present ? &e.record : nullptr);
        }
        if (!decode) {
            walk.skip(e);
            continue;
        }
        if (extractor.stops_on_interrupt() && platform::interrupted()) {
            stopped = true;
            break;
        }
        switch (extractor.decode_entry(archive, archive_path, e, dest_dir, m)) {
            case DecodeResult::ok: walk.skip(e); break;
            case DecodeResult::refused:
            case DecodeResult::corrupt:
                ok = false;
                walk.skip(e);
                break;
            case DecodeResult::damaged:
                ok = false;
                walk.resume_after(e.offset);
                break;
            case DecodeResult::interrupted: stopped = true; break;
        }
    }
    if (matched) *matched = plan.matched();
    if (stopped) {
        // What was staged goes with `sizes`; nothing is put in place.
        diag.error("Error: interrupted\n");
        return false;
    }
    if (walk.damaged()) {
        ok = false;
        add_walk_damage(extractor.tally(), walk);
    }
    if (extractor.testing()) return sizes.check_covered() && ok;
    return sizes.apply() && ok;
}

}  // namespace taq
