#include "extract/forward.h"

#include <algorithm>
#include <cstring>

#include "archive/bytes.h"
#include "archive/walk.h"
#include "extract/extract.h"
#include "extract/plan.h"
#include "extract/staging.h"

namespace taq {

using platform::File;

ForwardArchive::ForwardArchive(Read read, std::string scratch_dir, uint64_t memory_bound)
    : read_(std::move(read)), bound_(memory_bound), scratch_(std::move(scratch_dir), "entry") {}

bool ForwardArchive::take(uint8_t* out, size_t n, std::string& why, bool& ended) {
    for (size_t done = 0; done < n;) {
        const int64_t got = read_(out + done, n - done, why);
        if (got < 0) return false;
        if (got == 0) {
            ended = true;
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

bool ForwardArchive::hold(uint64_t n, std::string& why, bool& ended) {
    in_scratch_ = n > bound_;
    if (!in_scratch_) {
        memory_.resize(static_cast<size_t>(n));
        return take(memory_.data() + 10, static_cast<size_t>(n - 10), why, ended);
    }
    File* f = scratch_.get(why);
    if (!f) return false;
    if (!f->truncate(0) || !f->seek(0) || !f->write(memory_.data(), 10)) {
        why = scratch_.failure("cannot write");
        return false;
    }
    std::vector<uint8_t> buf(size_t{1} << 20);
    for (uint64_t done = 10; done < n;) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(buf.size(), n - done));
        if (!take(buf.data(), k, why, ended)) return false;
        if (!f->write(buf.data(), k)) {
            why = scratch_.failure("cannot write");
            return false;
        }
        done += k;
    }
    return true;
}

ForwardArchive::Next ForwardArchive::next(std::string& why) {
    offset_ += length_;
    length_ = 0;
    memory_.resize(10);
    bool ended = false;
    std::string error;
    // The size and flags lead every entry.
    const int64_t first = read_(memory_.data(), 1, error);
    if (first == 0) return Next::end;
    if (first < 0 || !take(memory_.data() + 1, 9, error, ended)) {
        why = ended ? "entry header cut short" : "cannot read the archive (" + error + ")";
        return Next::damaged;
    }
    const uint64_t size = get_le(memory_.data(), 8);
    if (size < kMinEntrySize) {
        why = "entry size too small";
        return Next::damaged;
    }
    if (!hold(size, error, ended)) {
        why = ended ? "entry reaches past the end of the archive" : error;
        return Next::damaged;
    }
    length_ = size;
    return Next::entry;
}

size_t ForwardArchive::read_at(void* context, uint64_t offset, void* data, size_t n) {
    auto& a = *static_cast<ForwardArchive*>(context);
    if (offset < a.offset_ || offset >= a.end()) return 0;
    const uint64_t at = offset - a.offset_;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(n, a.length_ - at));
    if (!a.in_scratch_) {
        std::memcpy(data, a.memory_.data() + at, take);
        return take;
    }
    std::string error;
    File* f = a.scratch_.get(error);
    return f && f->seek(at) ? f->read(data, take) : 0;
}

Source ForwardArchive::source() { return Source::callback(&ForwardArchive::read_at, this, end()); }

ForwardListing list_forward(ForwardArchive& archive, const std::string& archive_name, Diagnostics& diag) {
    ForwardListing out;
    for (;;) {
        std::string why;
        const ForwardArchive::Next n = archive.next(why);
        if (n == ForwardArchive::Next::end) return out;
        EntryHeader h;
        if (n == ForwardArchive::Next::entry &&
            read_header(archive.source(), archive.offset(), archive.end(), h, &why, true)) {
            out.entries.emplace_back(h.stored_path(), h.solid != 0);
            continue;
        }
        diag.error(damaged_archive_message(archive_name, archive.offset(), why));
        out.damaged = true;
        return out;
    }
}

ForwardResult extract_forward(Extractor& extractor, ForwardArchive& archive, const std::string& archive_name,
                              const std::string& dest_dir, const std::vector<std::string>& patterns,
                              std::vector<uint64_t>* matched) {
    Diagnostics& diag = extractor.diagnostics();
    ForwardResult result;
    if (matched) matched->assign(patterns.size(), 0);
    OutputSizes sizes(diag);
    const ScopedOutputSizes scoped(extractor, sizes);
    CaseClashes clashes(diag);
    for (;;) {
        std::string why;
        const ForwardArchive::Next n = archive.next(why);
        if (n == ForwardArchive::Next::end) break;
        CheckedEntry e;
        if (n == ForwardArchive::Next::entry) {
            const Source source = archive.source();
            if (check_entry(source, archive.offset(), archive.end(), e, why)) {
                const EntryHeader& h = e.header;
                const bool m = entry_matches_any(h.stored_dir, h.stored_name, patterns);
                if (m && matched) count_matches(h, patterns, *matched);
                if (m && extractor.testing()) {
                    clashes.note(h.stored_path());
                    sizes.add(h.stored_path(), h.range_start, static_cast<uint64_t>(std::max<int64_t>(h.data_size, 0)),
                              e.record_state == RecordState::present ? &e.record : nullptr);
                }
                // A solid entry may be needed by a selected one further on,
                // which one pass cannot see: it is decoded.
                if (!m && !h.solid) continue;
                if (extractor.stops_on_interrupt() && platform::interrupted()) {
                    result.interrupted = true;
                    break;
                }
                const DecodeResult r = extractor.decode_entry(source, archive_name, e, dest_dir, m);
                if (r == DecodeResult::ok) continue;
                result.ok = false;
                if (r == DecodeResult::interrupted) {
                    result.interrupted = true;
                    break;
                }
                if (r != DecodeResult::damaged) continue;
                // Reported; the bytes after it cannot be trusted, and the
                // pass cannot look for the next entry that can.
                break;
            }
        }
        diag.error(damaged_archive_message(archive_name, archive.offset(), why));
        ++extractor.tally().damaged;
        result.ok = false;
        break;
    }
    if (result.interrupted) {
        diag.error("Error: interrupted\n");
        result.ok = false;
        return result;
    }
    if (extractor.testing()) {
        if (!sizes.check_covered()) result.ok = false;
    } else if (!sizes.apply()) {
        result.ok = false;
    }
    return result;
}

}  // namespace taq
