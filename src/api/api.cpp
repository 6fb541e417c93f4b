// The C interface of include/taq.h over the core: a writer is a locked
// archive and a compressor, a reader a walk over a source and an
// extractor. Each handle owns all of its state.
#include "taq.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "archive/diagnostics.h"
#include "archive/entry.h"
#include "archive/lock.h"
#include "archive/sealed.h"
#include "archive/options.h"
#include "archive/paths.h"
#include "archive/record.h"
#include "archive/source.h"
#include "archive/walk.h"
#include "compress/compress.h"
#include "extract/extract.h"
#include "platform/platform.h"

using namespace taq;

namespace {

// The memory a model of `model_memory` bytes takes: its tables (about 3.1
// times the model memory) and the buffers of the segment and the text
// transform.
uint64_t memory_for_model(uint64_t model_memory) { return model_memory * 31 / 10 + (uint64_t{24} << 20); }

// Hands a handle's messages to the caller's function and keeps the last
// error for the handle's error text.
class CallbackSink final : public DiagnosticSink {
public:
    void message(Severity severity, const std::string& text) override {
        if (fn_) fn_(context_, severity == Severity::error ? TAQ_ERROR : severity == Severity::warning ? TAQ_WARNING : TAQ_INFO,
                     text.c_str());
    }
    void set(taq_message_fn fn, void* context) {
        fn_ = fn;
        context_ = context;
    }

private:
    taq_message_fn fn_ = nullptr;
    void* context_ = nullptr;
};

// A message without its line end (and the "Error: " that the command line
// sets in front), for the error functions.
std::string bare(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (text.rfind("Error: ", 0) == 0) text.erase(0, 7);
    return text;
}

// What the handles share: messages, the last error and the first of the run.
struct Handle {
    CallbackSink sink;
    Diagnostics diag{&sink};
    std::string error;
    int first_error = TAQ_OK;

    int fail(int code, const std::string& message) {
        error = bare(message);
        if (first_error == TAQ_OK) first_error = code;
        return code;
    }
    // A failure whose message the core has reported (the last error since
    // `errors_before`), or `fallback` when it reported none.
    int fail_reported(int code, uint64_t errors_before, const std::string& fallback) {
        return fail(code, diag.errors() > errors_before ? diag.last_error() : fallback);
    }
    int ok() {
        error.clear();
        return TAQ_OK;
    }
};

bool valid_level(int level) { return level >= 0 && level <= 7; }

// A stored path as the caller gave it, split into its directory and name;
// false when a reader would refuse to restore it.
bool split_stored(const std::string& stored, std::string& dir, std::string& name) {
    const std::string clean = collapse_separators(stored);
    name = file_part(clean);
    dir = clean.substr(0, clean.size() - name.size());
    return !clean.empty() && clean.size() < 65535 && safe_stored_path(dir, name);
}

}  // namespace

struct taq_writer : Handle {
    std::string archive_path;
    ArchiveLock lock{diag};
    uint64_t size_before = 0;
    std::unique_ptr<SealedAppend> sealed;  // an encrypted archive's writer
    std::unique_ptr<Compressor> compressor;
    bool broken = false;  // the archive could not be written: the run is over
};

struct taq_reader : Handle {
    std::string archive_path;  // the file, or "(memory)"
    platform::File file;
    ArchiveLock lock{diag};
    Source source;
    uint64_t size = 0;
    std::unique_ptr<SealedArchive> sealed;  // an encrypted archive, opened
    bool container_damage = false;          // its damage, not yet reported
    // The walk's messages about an encrypted archive, in container offsets
    // (then counted in `diag` as every other message).
    std::unique_ptr<DiagnosticsRelay> relay;
    std::unique_ptr<ContainerOffsets> offsets;
    std::unique_ptr<Diagnostics> sealed_diag;
    std::unique_ptr<ArchiveWalk> walk;
    std::unique_ptr<Extractor> extractor;
    uint64_t memory_limit = 0;

    CheckedEntry current;
    bool have_current = false;
    bool held = false;            // `current` was walked to but not yet handed out
    unsigned damage_seen = 0;     // stretches of damage reported so far
    std::string name;
    // The model run of the current entry: the offsets of its entries so far,
    // and how many of them the extractor's model has taken in.
    std::vector<uint64_t> run;
    size_t decoded_in_run = 0;
    unsigned damage_seen_in_run = 0;  // damage met before the run began
};

extern "C" {

const char* taq_version(void) { return "0.60"; }

const char* taq_error_name(int code) {
    switch (code) {
        case TAQ_OK: return "TAQ_OK";
        case TAQ_E_ARGUMENT: return "TAQ_E_ARGUMENT";
        case TAQ_E_IO: return "TAQ_E_IO";
        case TAQ_E_DAMAGED: return "TAQ_E_DAMAGED";
        case TAQ_E_CHECK: return "TAQ_E_CHECK";
        case TAQ_E_MEMORY: return "TAQ_E_MEMORY";
        case TAQ_E_UNSUPPORTED: return "TAQ_E_UNSUPPORTED";
        case TAQ_E_PASSWORD: return "TAQ_E_PASSWORD";
        default: return "unknown";
    }
}

uint64_t taq_memory_for_level(int level) {
    return valid_level(level) ? memory_for_model(model_memory_for_level(level)) : 0;
}

void taq_write_options_init(taq_write_options* options) {
    if (!options) return;
    options->level = kDefaultMethodLevel;
    options->solid = 0;
    options->check_records = 1;
    options->tasks = 1;
}

namespace {

// What a failed opening of an encrypted archive returns.
int sealed_code(SealedStatus status) {
    switch (status) {
        case SealedStatus::ok:
        case SealedStatus::damaged_header: return TAQ_E_DAMAGED;
        case SealedStatus::not_sealed:
        case SealedStatus::wrong_password: return TAQ_E_PASSWORD;
        case SealedStatus::unsupported:
        case SealedStatus::unavailable: return TAQ_E_UNSUPPORTED;
        case SealedStatus::failed: break;
    }
    return TAQ_E_IO;
}

// taq_write_open and taq_write_open_encrypted (`password` non-null).
int open_writer(taq_writer** w, const char* archive_path, const taq_write_options* options, const char* password,
                uint32_t key_rounds) {
    if (!w) return TAQ_E_ARGUMENT;
    *w = nullptr;
    taq_write_options o;
    taq_write_options_init(&o);
    if (options) o = *options;
    if (!archive_path || !*archive_path || !valid_level(o.level) || o.tasks < 1 ||
        o.tasks > static_cast<int>(kMaxTasks))
        return TAQ_E_ARGUMENT;
    if (password && (!*password || (key_rounds != 0 && (key_rounds < kMinIterations || key_rounds > kMaxIterations))))
        return TAQ_E_ARGUMENT;
    // Several tasks are copies of the taq program, which a library cannot
    // start on its caller's behalf.
    if (o.tasks != 1) return TAQ_E_UNSUPPORTED;
    std::unique_ptr<taq_writer> writer;
    try {
        writer = std::make_unique<taq_writer>();
        writer->archive_path = collapse_separators(archive_path);
        if (!writer->lock.acquire_for_append(writer->archive_path, password != nullptr)) {
            // Refused as damaged (or as the other kind), or not to be opened at all.
            return writer->lock.refused() ? TAQ_E_DAMAGED : TAQ_E_IO;
        }
        if (password) {
            writer->sealed = std::make_unique<SealedAppend>();
            SealedStatus status = SealedStatus::ok;
            if (!writer->sealed->open(writer->archive_path, password, key_rounds ? key_rounds : kDefaultIterations,
                                      writer->diag, &status))
                return sealed_code(status);
        }
        writer->size_before = platform::file_size(writer->archive_path);
        // A new encrypted archive that gets no entry goes, header and all.
        if (writer->sealed && writer->sealed->writer()->size() == 0) writer->size_before = 0;
        CompressOptions co;
        co.archive_path = writer->archive_path;
        co.model_memory = model_memory_for_level(o.level);
        co.solid = o.solid != 0;
        co.check_record = o.check_records != 0;
        co.sealed = writer->sealed ? writer->sealed->writer() : nullptr;
        writer->compressor = std::make_unique<Compressor>(co, writer->diag);
    } catch (const std::bad_alloc&) {
        return TAQ_E_MEMORY;
    }
    *w = writer.release();
    return TAQ_OK;
}

}  // namespace

int taq_write_open(taq_writer** w, const char* archive_path, const taq_write_options* options) {
    return open_writer(w, archive_path, options, nullptr, 0);
}

int taq_write_open_encrypted(taq_writer** w, const char* archive_path, const taq_write_options* options,
                             const char* password, uint32_t key_rounds) {
    if (!password) return TAQ_E_ARGUMENT;
    return open_writer(w, archive_path, options, password, key_rounds);
}

int taq_write_set_messages(taq_writer* w, taq_message_fn fn, void* context) {
    if (!w) return TAQ_E_ARGUMENT;
    w->sink.set(fn, context);
    return TAQ_OK;
}

namespace {

int write_result(taq_writer* w, EntryResult r, uint64_t errors_before, const std::string& what) {
    switch (r) {
        case EntryResult::written: return w->ok();
        case EntryResult::input_failed:
        case EntryResult::changed: return w->fail_reported(TAQ_E_IO, errors_before, "cannot read " + what);
        case EntryResult::output_failed:
        case EntryResult::interrupted: break;
    }
    w->broken = true;
    const bool memory = w->compressor->out_of_memory();
    return w->fail_reported(memory ? TAQ_E_MEMORY : TAQ_E_IO, errors_before,
                            "cannot write archive " + w->archive_path);
}

// Every later call of a writer whose archive could not be written.
int broken_writer(taq_writer* w) { return w->first_error != TAQ_OK ? w->first_error : TAQ_E_IO; }

}  // namespace

int taq_write_file(taq_writer* w, const char* path, const char* stored_name) {
    if (!w) return TAQ_E_ARGUMENT;
    if (!path || !*path) return w->fail(TAQ_E_ARGUMENT, "no file named");
    if (w->broken) return broken_writer(w);
    const std::string input = path;
    std::string dir, name;
    if (stored_name) {
        if (!split_stored(stored_name, dir, name))
            return w->fail(TAQ_E_ARGUMENT, std::string("stored name not allowed: ") + stored_name);
    } else {
        name = file_part(input);
        dir = stored_dir_of(input);
        if (name.empty()) return w->fail(TAQ_E_ARGUMENT, "not a file: " + input);
    }
    try {
        const uint64_t before = w->diag.errors();
        if (platform::file_kind(input) == platform::FileKind::directory)
            return w->fail(TAQ_E_IO, "cannot open Input file " + input + " (a directory)");
        const uint64_t size = platform::file_size(input);
        const EntryResult r = w->compressor->compress_entry(input, name, dir, 0, size);
        return write_result(w, r, before, input);
    } catch (const std::bad_alloc&) {
        return w->fail(TAQ_E_MEMORY, "out of memory");
    }
}

int taq_write_buffer(taq_writer* w, const char* stored_name, const void* data, size_t size) {
    if (!w) return TAQ_E_ARGUMENT;
    if (!stored_name) return w->fail(TAQ_E_ARGUMENT, "no stored name");
    if (!data && size != 0) return w->fail(TAQ_E_ARGUMENT, "no data");
    if (w->broken) return broken_writer(w);
    std::string dir, name;
    if (!split_stored(stored_name, dir, name))
        return w->fail(TAQ_E_ARGUMENT, std::string("stored name not allowed: ") + stored_name);
    try {
        const uint64_t before = w->diag.errors();
        platform::FileMeta meta;
        meta.mtime_ns = platform::wall_clock_ns();
        meta.permissions = 0644;
        static const uint8_t nothing = 0;
        const Source source = Source::memory(data ? data : &nothing, size);
        const EntryResult r = w->compressor->compress_source(source, stored_name, meta, name, dir, 0, size);
        return write_result(w, r, before, stored_name);
    } catch (const std::bad_alloc&) {
        return w->fail(TAQ_E_MEMORY, "out of memory");
    }
}

int taq_write_close(taq_writer* w) {
    if (!w) return TAQ_OK;
    std::unique_ptr<taq_writer> owned(w);
    const uint64_t before = w->diag.errors();
    bool ok = !w->broken;
    if (ok && !w->compressor->finish_run()) {
        ok = false;
        w->fail_reported(TAQ_E_IO, before, "cannot write archive " + w->archive_path);
    }
    if (!ok) {
        // As `a` does: the archive goes back to where the run began.
        w->compressor->abandon_run();
        w->lock.roll_back(w->size_before);
    }
    w->compressor.reset();
    return w->first_error;
}

const char* taq_writer_error(const taq_writer* w) { return w ? w->error.c_str() : "no writer"; }

namespace {

int open_reader(taq_reader** r, std::unique_ptr<taq_reader> reader) {
    Diagnostics* diag = &reader->diag;
    if (reader->sealed) {
        reader->relay = std::make_unique<DiagnosticsRelay>(reader->diag);
        reader->offsets = std::make_unique<ContainerOffsets>(*reader->sealed, reader->relay.get());
        reader->sealed_diag = std::make_unique<Diagnostics>(reader->offsets.get());
        diag = reader->sealed_diag.get();
    }
    reader->walk = std::make_unique<ArchiveWalk>(reader->source, reader->archive_path, reader->size, *diag);
    reader->extractor = std::make_unique<Extractor>(false, *diag);
    reader->extractor->expect_output(reader->size);
    reader->extractor->set_populate_threads(1);
    *r = reader.release();
    return TAQ_OK;
}

}  // namespace

int taq_read_open(taq_reader** r, const char* archive_path) {
    if (!r) return TAQ_E_ARGUMENT;
    *r = nullptr;
    if (!archive_path || !*archive_path) return TAQ_E_ARGUMENT;
    try {
        auto reader = std::make_unique<taq_reader>();
        reader->archive_path = collapse_separators(archive_path);
        if (!reader->lock.acquire_for_reading(reader->archive_path)) return TAQ_E_IO;
        reader->file = platform::File::open(reader->archive_path, platform::File::Mode::read_existing);
        const int64_t size = reader->file ? reader->file.size() : -1;
        if (size < 0 || platform::is_directory(reader->archive_path)) return TAQ_E_IO;
        reader->size = static_cast<uint64_t>(size);
        reader->source = Source(reader->file);
        return open_reader(r, std::move(reader));
    } catch (const std::bad_alloc&) {
        return TAQ_E_MEMORY;
    }
}

int taq_read_open_encrypted(taq_reader** r, const char* archive_path, const char* password) {
    if (!r) return TAQ_E_ARGUMENT;
    *r = nullptr;
    if (!archive_path || !*archive_path || !password || !*password) return TAQ_E_ARGUMENT;
    try {
        auto reader = std::make_unique<taq_reader>();
        reader->archive_path = collapse_separators(archive_path);
        if (!reader->lock.acquire_for_reading(reader->archive_path)) return TAQ_E_IO;
        reader->file = platform::File::open(reader->archive_path, platform::File::Mode::read_existing);
        if (!reader->file || platform::is_directory(reader->archive_path)) return TAQ_E_IO;
        reader->sealed = std::make_unique<SealedArchive>();
        const SealedStatus status = reader->sealed->open(reader->file, password);
        if (status != SealedStatus::ok) return sealed_code(status);
        reader->container_damage = !reader->sealed->damage().empty();
        reader->size = reader->sealed->plain_size();
        reader->source = reader->sealed->plain();
        return open_reader(r, std::move(reader));
    } catch (const std::bad_alloc&) {
        return TAQ_E_MEMORY;
    }
}

int taq_read_open_memory(taq_reader** r, const void* data, size_t size) {
    if (!r) return TAQ_E_ARGUMENT;
    *r = nullptr;
    if (!data && size != 0) return TAQ_E_ARGUMENT;
    try {
        auto reader = std::make_unique<taq_reader>();
        reader->archive_path = "(memory)";
        static const uint8_t nothing = 0;
        reader->source = Source::memory(data ? data : &nothing, size);
        reader->size = size;
        return open_reader(r, std::move(reader));
    } catch (const std::bad_alloc&) {
        return TAQ_E_MEMORY;
    }
}

int taq_read_set_messages(taq_reader* r, taq_message_fn fn, void* context) {
    if (!r) return TAQ_E_ARGUMENT;
    r->sink.set(fn, context);
    return TAQ_OK;
}

int taq_read_set_memory_limit(taq_reader* r, uint64_t bytes) {
    if (!r) return TAQ_E_ARGUMENT;
    r->memory_limit = bytes;
    return TAQ_OK;
}

int taq_read_next(taq_reader* r, taq_entry* e) {
    if (!r || !e) return TAQ_E_ARGUMENT;
    try {
        // Frames of an encrypted archive that failed their check: said
        // once, then the entries around them are read.
        if (r->container_damage) {
            r->container_damage = false;
            const uint64_t before = r->diag.errors();
            report_sealed_damage(*r->sealed, r->archive_path, r->diag);
            return r->fail_reported(TAQ_E_DAMAGED, before, "damaged archive " + r->archive_path);
        }
        if (!r->held) {
            r->have_current = false;
            const uint64_t before = r->diag.errors();
            if (!r->walk->next(r->current)) {
                if (r->walk->damaged() != r->damage_seen) {
                    r->damage_seen = r->walk->damaged();
                    return r->fail_reported(TAQ_E_DAMAGED, before, "damaged archive " + r->archive_path);
                }
                return 0;
            }
            r->walk->skip(r->current);
            r->held = true;
            // Damage before this entry is told first; the entry comes with
            // the next call.
            if (r->walk->damaged() != r->damage_seen) {
                r->damage_seen = r->walk->damaged();
                return r->fail_reported(TAQ_E_DAMAGED, before, "damaged archive " + r->archive_path);
            }
        }
        r->held = false;
        r->have_current = true;
        const EntryHeader& h = r->current.header;
        // The model run this entry belongs to.
        if (h.reset_flag || r->run.empty() || r->damage_seen_in_run != r->damage_seen) {
            r->run.clear();
            r->decoded_in_run = 0;
            r->damage_seen_in_run = r->damage_seen;
        }
        r->run.push_back(r->current.offset);
        r->name = h.stored_path();
        const bool record = r->current.record_state == RecordState::present;
        *e = taq_entry{};
        e->name = r->name.c_str();
        e->offset = r->current.offset;
        e->range_start = h.range_start;
        e->data_size = static_cast<uint64_t>(std::max<int64_t>(h.data_size, 0));
        e->file_size = record ? r->current.record.file_size : h.range_start + e->data_size;
        e->packed_size = h.entry_size;
        e->solid = h.solid != 0;
        e->has_record = record;
        e->mtime_ns = record ? r->current.record.meta.mtime_ns : 0;
        e->mode = record ? r->current.record.meta.permissions : 0644;
        e->model_memory = h.model_memory;
        r->ok();
        return 1;
    } catch (const std::bad_alloc&) {
        return r->fail(TAQ_E_MEMORY, "out of memory");
    }
}

namespace {

// A failed entry leaves the model mid-run: the next read starts the run
// again.
int decode_result(taq_reader* r, DecodeResult d, const Sink& sink, uint64_t before, bool decoding_current) {
    if (d == DecodeResult::ok) return r->ok();
    r->decoded_in_run = 0;
    if (d == DecodeResult::interrupted)
        return r->fail(TAQ_E_IO, sink.stopped() ? "the write function stopped the entry" : "interrupted");
    // An entry whose bounds proved untrustworthy: the walk looks for the
    // next entry it can trust.
    if (d == DecodeResult::damaged && decoding_current) r->walk->resume_after(r->current.offset);
    if (r->extractor->out_of_memory()) return r->fail_reported(TAQ_E_MEMORY, before, "out of memory");
    // With a record the entry's bounds hold and every fault of its data is
    // one its record catches.
    const bool checked = decoding_current && r->current.record_state == RecordState::present;
    const int code = d == DecodeResult::corrupt && checked ? TAQ_E_CHECK : TAQ_E_DAMAGED;
    const std::string why = r->diag.errors() > before ? r->diag.last_error() : "damaged archive " + r->archive_path;
    return r->fail(code, r->name + ": " + bare(why));
}

}  // namespace

int taq_read_data(taq_reader* r, int (*write)(void* context, const void* data, size_t size), void* context) {
    if (!r) return TAQ_E_ARGUMENT;
    if (!write) return r->fail(TAQ_E_ARGUMENT, "no write function");
    if (!r->have_current) return r->fail(TAQ_E_ARGUMENT, "no entry to read: call taq_read_next first");
    const EntryHeader& h = r->current.header;
    if (r->memory_limit != 0 && memory_for_model(h.model_memory) > r->memory_limit)
        return r->fail(TAQ_E_MEMORY, text("decoding ", r->name, " needs about ", memory_for_model(h.model_memory),
                                          " bytes of memory, more than the limit of ", r->memory_limit));
    try {
        const uint64_t before = r->diag.errors();
        // Read once already: the model has gone past it, and the run starts
        // again.
        if (r->decoded_in_run >= r->run.size()) r->decoded_in_run = 0;
        // The entries of a solid run before this one that the model has not
        // taken in yet.
        while (r->decoded_in_run + 1 < r->run.size()) {
            Sink nowhere;
            const DecodeResult d =
                r->extractor->decode_to(r->source, r->archive_path, r->run[r->decoded_in_run], r->size, nowhere);
            if (d != DecodeResult::ok) return decode_result(r, d, nowhere, before, false);
            ++r->decoded_in_run;
        }
        Sink sink = Sink::callback(write, context);
        const DecodeResult d = r->extractor->decode_to(r->source, r->archive_path, r->current, sink);
        if (d == DecodeResult::ok) ++r->decoded_in_run;
        return decode_result(r, d, sink, before, true);
    } catch (const std::bad_alloc&) {
        r->decoded_in_run = 0;
        return r->fail(TAQ_E_MEMORY, "out of memory");
    }
}

int taq_read_close(taq_reader* r) {
    delete r;
    return TAQ_OK;
}

const char* taq_reader_error(const taq_reader* r) { return r ? r->error.c_str() : "no reader"; }

}  // extern "C"
