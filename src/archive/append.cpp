#include "archive/append.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "archive/entry.h"
#include "archive/index.h"
#include "archive/sealed.h"
#include "platform/platform.h"

namespace taq {

namespace {

// " (the system's reason)" of the file's last failure; empty when it had none.
std::string reason(const platform::File& f) { return f.error().empty() ? std::string() : " (" + f.error() + ")"; }

bool undo_append(Diagnostics& diag, platform::File& dst, uint64_t length, const std::string& destination) {
    if (!dst.truncate(length))
        diag.error(text("Error: cannot restore destination file ", destination, reason(dst), "\n"));
    return false;
}

}  // namespace

bool append_file(Diagnostics& diag, const std::string& source, const std::string& destination) {
    using platform::File;
    File src = File::open(source, File::Mode::read_existing);
    if (!src) {
        diag.error(text("Error: cannot open file to append ", source, reason(src), "\n"));
        return false;
    }
    File dst = File::open(destination, File::Mode::write_existing);
    if (!dst) {
        diag.error(text("Error: cannot open detination file to append ", destination, reason(dst), "\n"));
        return false;
    }
    const int64_t dst_size = dst.size();
    const int64_t src_size = src.size();
    if (dst_size < 0 || src_size < 0 || !dst.seek(static_cast<uint64_t>(dst_size))) {
        diag.error(text("Error: cannot append ", source, " to ", destination, "\n"));
        return false;
    }
    std::vector<uint8_t> buffer;
    try {
        buffer.resize(kAppendChunk);
    } catch (const std::bad_alloc&) {
        diag.error("No memory \n");
        return false;
    }
    const auto total = static_cast<uint64_t>(src_size);
    // Where the source's entries start: their size fields are held back.
    std::vector<uint64_t> held;
    const ArchiveIndex index = ArchiveIndex::read(src, total);
    for (const IndexEntry& e : index.entries()) held.push_back(e.offset);
    if (held.empty() && total >= kHeldBytes) held.push_back(0);
    std::vector<uint8_t> sizes(held.size() * kHeldBytes);
    for (size_t k = 0; k < held.size(); ++k)
        if (!src.seek(held[k]) || src.read(&sizes[k * kHeldBytes], kHeldBytes) != kHeldBytes) {
            diag.error(text("Error: cannot read file to append ", source, reason(src), "\n"));
            return false;
        }
    const auto fail_write = [&] {
        diag.error(text("Error: cannot write destination file ", destination, " (", dst.error(), ")\n"));
        return undo_append(diag, dst, static_cast<uint64_t>(dst_size), destination);
    };
    src.seek(0);
    size_t first_held = 0;  // the first size field that may still reach into a chunk
    for (uint64_t copied = 0; copied < total;) {
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(kAppendChunk, total - copied));
        if (src.read(buffer.data(), chunk) != chunk) {
            diag.error(text("Error: cannot read file to append ", source, reason(src), "\n"));
            return undo_append(diag, dst, static_cast<uint64_t>(dst_size), destination);
        }
        const uint64_t end = copied + chunk;
        while (first_held < held.size() && held[first_held] + kHeldBytes <= copied) ++first_held;
        for (size_t k = first_held; k < held.size() && held[k] < end; ++k)
            for (uint64_t at = std::max(held[k], copied); at < std::min(held[k] + kHeldBytes, end); ++at)
                buffer[static_cast<size_t>(at - copied)] = 0;
        if (!dst.write(buffer.data(), chunk)) return fail_write();
        copied = end;
    }
    if (!held.empty() && !dst.sync()) return fail_write();
    for (size_t k = 0; k < held.size(); ++k) {
        if (!dst.seek(static_cast<uint64_t>(dst_size) + held[k]) || !dst.write(&sizes[k * kHeldBytes], kHeldBytes))
            return fail_write();
    }
    return true;
}

namespace {

struct Span {
    uint64_t offset, size;
};

// The entries of `index` (which must reach `size`), one flag of `keep` for
// each; false (message given) when they do not match or a kept entry goes
// on with the model of a removed one.
bool entry_spans(Diagnostics& diag, const std::string& path, const ArchiveIndex& index, uint64_t size,
                 const std::vector<bool>& keep, std::vector<Span>& spans) {
    bool cut = false;  // a model run lost an entry, and no reset came since
    for (const IndexEntry& e : index.entries()) {
        const EntryHeader& h = e.header;
        if (spans.size() >= keep.size()) {
            diag.error(text("Error: cannot take entries out of ", path, " (more entries than written)\n"));
            return false;
        }
        const bool kept = keep[spans.size()];
        if (kept && cut && !h.reset_flag) {
            diag.error(text("Error: cannot take entries out of ", path, ": the solid entry ", h.stored_dir, h.stored_name, " depends on them\n"));
            return false;
        }
        cut = kept ? cut && !h.reset_flag : true;
        spans.push_back({e.offset, h.entry_size});
    }
    if (index.end() < size) {
        diag.error(text("Error: cannot take entries out of ", path, " (", index.why(), ")\n"));
        return false;
    }
    if (spans.size() != keep.size()) {
        diag.error(text("Error: cannot take entries out of ", path, " (fewer entries than written)\n"));
        return false;
    }
    return true;
}

}  // namespace

bool append_sealed(Diagnostics& diag, const std::string& source, SealedWriter& dst, const std::string& destination,
                   const std::vector<bool>& keep) {
    using platform::File;
    File src = File::open(source, File::Mode::read_existing);
    if (!src) {
        diag.error(text("Error: cannot open file to append ", source, reason(src), "\n"));
        return false;
    }
    SealedArchive part;
    const SealedStatus status = part.open(src, dst.keys());
    if (status != SealedStatus::ok || !part.damage().empty()) {
        diag.error(text("Error: cannot read file to append ", source, " (",
                        status == SealedStatus::ok ? "encrypted frames fail their check" : "not sealed with the run's keys",
                        ")\n"));
        return false;
    }
    const Source plain = part.plain();
    const uint64_t total = part.plain_size();
    const ArchiveIndex index = ArchiveIndex::read(plain, total);
    std::vector<Span> spans;
    if (!entry_spans(diag, source, index, total, keep.empty() ? std::vector<bool>(index.entries().size(), true) : keep,
                     spans))
        return false;
    const uint64_t start = dst.size();
    const auto fail = [&](bool reading) {
        if (reading)
            diag.error(text("Error: cannot read file to append ", source, reason(src), "\n"));
        else
            diag.error(text("Error: cannot write destination file ", destination, " (", dst.error(), ")\n"));
        if (!dst.truncate(start) || !dst.sync())
            diag.error(text("Error: cannot restore destination file ", destination, " (", dst.error(), ")\n"));
        return false;
    };
    std::vector<uint8_t> buffer(kAppendChunk);
    std::vector<uint64_t> held;  // where each copied entry starts in `dst`
    std::vector<uint8_t> sizes;
    for (size_t k = 0; k < spans.size(); ++k) {
        if (!keep.empty() && !keep[k]) continue;
        if (!dst.end_frame()) return fail(false);
        held.push_back(dst.size());
        for (uint64_t done = 0; done < spans[k].size;) {
            const size_t chunk = static_cast<size_t>(std::min<uint64_t>(kAppendChunk, spans[k].size - done));
            if (plain.read_at(spans[k].offset + done, buffer.data(), chunk) != chunk) return fail(true);
            if (done == 0) {
                sizes.insert(sizes.end(), buffer.begin(), buffer.begin() + kHeldBytes);
                std::fill(buffer.begin(), buffer.begin() + kHeldBytes, uint8_t{0});
            }
            if (!dst.append(buffer.data(), chunk)) return fail(false);
            done += chunk;
        }
    }
    if (!held.empty() && !dst.sync()) return fail(false);
    for (size_t k = 0; k < held.size(); ++k)
        if (!dst.write_at(held[k], &sizes[k * kHeldBytes], kHeldBytes)) return fail(false);
    return dst.end_frame() || fail(false);
}

bool drop_entries(Diagnostics& diag, const std::string& path, uint64_t start, const std::vector<bool>& keep) {
    using platform::File;
    File f = File::open(path, File::Mode::write_existing);
    const int64_t size = f ? f.size() : -1;
    if (size < 0) {
        diag.error(text("Error: cannot open Output file ", path, reason(f), "\n"));
        return false;
    }
    std::vector<Span> spans;
    const ArchiveIndex index = ArchiveIndex::read(f, static_cast<uint64_t>(size), start);
    if (!entry_spans(diag, path, index, static_cast<uint64_t>(size), keep, spans)) return false;
    std::vector<uint8_t> buffer(kAppendChunk);
    uint64_t to = start;
    for (size_t k = 0; k < spans.size(); ++k) {
        if (!keep[k]) continue;
        // `to` never passes the entry being moved: a forward copy is safe.
        for (uint64_t done = 0; to != spans[k].offset && done < spans[k].size;) {
            const size_t chunk = static_cast<size_t>(std::min<uint64_t>(kAppendChunk, spans[k].size - done));
            if (!f.seek(spans[k].offset + done) || f.read(buffer.data(), chunk) != chunk || !f.seek(to + done) ||
                !f.write(buffer.data(), chunk)) {
                diag.error(text("Error: cannot write Output file ", path, " (", f.error(), ")\n"));
                return false;
            }
            done += chunk;
        }
        to += spans[k].size;
    }
    if (!f.truncate(to)) {
        diag.error(text("Error: cannot write Output file ", path, " (", f.error(), ")\n"));
        return false;
    }
    return true;
}

}  // namespace taq
