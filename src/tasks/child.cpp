#include "tasks/child.h"

#include <functional>
#include <memory>

#include "archive/entry.h"
#include "archive/meter.h"
#include "archive/paths.h"
#include "extract/extract.h"
#include "platform/platform.h"

namespace taq {

namespace {

// How often a child publishes its byte count on the board.
constexpr uint64_t kPublishEvery = 262144;

// Publishes the meter on the slot's byte count while the child works.
class PublishedMeter {
public:
    PublishedMeter(TaskBoard& board, int slot) : board_(board), slot_(slot) {
        meter_.set_done(board.read_coded(slot));
        meter_.listen([this] { publish(); }, kPublishEvery);
    }
    PublishedMeter(const PublishedMeter&) = delete;
    PublishedMeter& operator=(const PublishedMeter&) = delete;
    ~PublishedMeter() { meter_.listen({}, 0); }
    void publish() { board_.write_coded(slot_, meter_.done()); }
    Meter* meter() { return &meter_; }

private:
    TaskBoard& board_;
    int slot_;
    Meter meter_;
};

// Runs `job` for every posted job of the slot; see run_compress_child.
int job_loop(TaskBoard& board, int slot, PublishedMeter& published, Diagnostics& diag,
             const std::function<JobResult()>& job) {
    Backoff backoff;
    uint64_t last_work = platform::monotonic_ms();
    for (;;) {
        // Also keeps a child started by hand from taking a stray file for
        // its board: that file names no parent of this process.
        if (board.orphaned()) return 1;
        const SlotStatus status = board.read_status(slot);
        if (status == SlotStatus::stop) return 0;
        if (status == SlotStatus::posted) {
            const JobResult r = job();
            published.publish();
            // Children share the parent's output; keep each job's messages together.
            diag.flush();
            board.finish_job(slot, r);
            backoff.reset();
            last_work = platform::monotonic_ms();
            continue;
        }
        if (platform::monotonic_ms() - last_work > kChildIdleLimitMs) return 0;
        backoff.pause();
    }
}

JobResult bad_record(const TaskBoard& board, Diagnostics& diag) {
    diag.error(text("Error: unreadable job on task board ", board.path(), "\n"));
    return JobResult::fatal;
}

}  // namespace

int run_compress_child(TaskBoard& board, int slot, const CompressOptions& options, Diagnostics& diag) {
    Compressor compressor(options, diag);
    compressor.set_settle_guard([&board] { return !board.orphaned(); });
    PublishedMeter published(board, slot);
    compressor.set_meter(published.meter());
    const int code = job_loop(board, slot, published, diag, [&] {
        CompressJob job;
        if (!board.read_compress_job(slot, job)) return bad_record(board, diag);
        switch (compressor.compress_entry(job.path, file_part(job.path), stored_dir_of(job.path), job.range_start,
                                          job.range_end)) {
            case EntryResult::written: return JobResult::ok;
            // A file that grew is stored only in single runs: its pieces
            // here leave the archive with the file's other pieces.
            case EntryResult::changed:
            case EntryResult::input_failed: return JobResult::partial;
            case EntryResult::output_failed:
            case EntryResult::interrupted: break;
        }
        return JobResult::fatal;
    });
    // The entries written so far become complete only now: a child that
    // cannot settle them fails the run.
    return compressor.finish_run() ? code : 1;
}

int run_extract_child(TaskBoard& board, int slot, const std::string& archive_path, bool verbose, bool testing,
                      Diagnostics& diag) {
    platform::File archive = platform::File::open(archive_path, platform::File::Mode::read_existing);
    if (!archive) {
        diag.error(text("Error: cannot open Archive file ", archive_path, "\n"));
        return 1;
    }
    const uint64_t size = platform::file_size(archive_path);
    platform::FileIdentity archive_id;
    const bool have_archive_id = archive.identity(archive_id);
    return run_extract_child(board, slot, archive, size, have_archive_id ? &archive_id : nullptr, archive_path, verbose,
                             testing, diag);
}

int run_extract_child(TaskBoard& board, int slot, const Source& archive, uint64_t size,
                      const platform::FileIdentity* archive_id, const std::string& archive_path, bool verbose,
                      bool testing, Diagnostics& diag) {
    platform::FileIdentity board_id;
    const bool have_board_id = platform::file_identity(board.path(), board_id);
    PublishedMeter published(board, slot);
    auto fresh_extractor = [&] {
        auto e = std::make_unique<Extractor>(verbose, diag);
        e->set_meter(published.meter());
        e->set_testing(testing);
        if (archive_id) e->protect(*archive_id);
        if (have_board_id) e->protect(board_id);
        // The parent has staged every output file; the children write
        // their pieces into the staging files of its run.
        e->set_staging_owner(board.owner());
        e->expect_output(size);
        // The other processors are busy with the other children.
        e->set_populate_threads(1);
        return e;
    };
    std::unique_ptr<Extractor> extractor = fresh_extractor();
    return job_loop(board, slot, published, diag, [&] {
        ExtractJob job;
        if (!board.read_extract_job(slot, job)) return bad_record(board, diag);
        JobResult result = JobResult::ok;
        uint64_t offset = job.offset;
        for (uint32_t k = 0; k < job.count && offset < size; ++k) {
            EntryHeader h;
            const bool known = read_header(archive, offset, size, h, nullptr, true);
            switch (extractor->decode_entry(archive, archive_path, offset, size, job.dest_dir, (job.selected >> k) & 1)) {
                case DecodeResult::ok: break;
                case DecodeResult::refused:
                case DecodeResult::corrupt:
                // The model state is lost with a damaged entry: the rest of
                // its run fails too (the extractor knows) rather than decode
                // into garbage.
                case DecodeResult::damaged:
                case DecodeResult::interrupted: result = JobResult::partial; break;
            }
            if (!known) break;
            offset += h.entry_size;
        }
        return result;
    });
}

}  // namespace taq
