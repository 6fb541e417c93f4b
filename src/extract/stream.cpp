#include "extract/stream.h"

#include <algorithm>
#include <map>
#include <set>

#include "archive/entry.h"
#include "archive/walk.h"
#include "extract/extract.h"
#include "extract/plan.h"
#include "extract/staging.h"
#include "platform/platform.h"

namespace taq {

using platform::File;

HeldPieces::HeldPieces(std::string scratch_dir, uint64_t memory_bound)
    : bound_(memory_bound), scratch_(std::move(scratch_dir), "held") {}

HeldPieces::Piece* HeldPieces::find(uint64_t key) {
    for (auto& [k, p] : pieces_)
        if (k == key) return &p;
    return nullptr;
}

bool HeldPieces::holds(uint64_t key) const {
    return std::any_of(pieces_.begin(), pieces_.end(), [&](const auto& p) { return p.first == key; });
}

bool HeldPieces::append(uint64_t key, const uint8_t* data, size_t n, std::string& error) {
    Piece* p = find(key);
    if (!p) p = &pieces_.emplace_back(key, Piece{}).second;
    if (p->spilled.empty() && memory_used_ + n <= bound_) {
        p->memory.insert(p->memory.end(), data, data + n);
        memory_used_ += n;
        return true;
    }
    File* f = scratch_.get(error);
    if (!f) return false;
    if (!f->seek(scratch_end_) || !f->write(data, n)) {
        error = scratch_.failure("cannot write");
        return false;
    }
    p->spilled.emplace_back(scratch_end_, n);
    scratch_end_ += n;
    return true;
}

bool HeldPieces::release(uint64_t key, const StreamWrite& out) {
    Piece* p = find(key);
    if (!p) return true;
    bool ok = p->memory.empty() || out(p->memory.data(), p->memory.size());
    std::vector<uint8_t> buf;
    std::string error;
    File* f = p->spilled.empty() ? nullptr : scratch_.get(error);
    for (const auto& [at, length] : p->spilled) {
        for (uint64_t done = 0; ok && done < length;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(length - done, 1 << 20));
            buf.resize(n);
            ok = f && f->seek(at + done) && f->read(buf.data(), n) == n && out(buf.data(), n);
            done += n;
        }
    }
    drop(key);
    return ok;
}

void HeldPieces::drop(uint64_t key) {
    for (auto it = pieces_.begin(); it != pieces_.end(); ++it)
        if (it->first == key) {
            memory_used_ -= it->second.memory.size();
            pieces_.erase(it);
            return;
        }
}

namespace {

// Pieces held in memory before they go to the scratch file.
constexpr uint64_t kHeldInMemory = uint64_t{64} << 20;

struct Piece {
    uint64_t entry = 0;  // the entry's offset in the archive
    uint64_t start = 0, size = 0;
};

struct OutFile {
    std::string path;
    std::vector<Piece> pieces;  // by start
    uint64_t size = 0;          // as restored
    size_t next = 0;            // the next piece to go out
    uint64_t written = 0;
    bool failed = false;
};

// The files the selection restores, each with its newest version's pieces,
// in the archive order of their first pieces.
std::vector<OutFile> plan_files(const ArchiveIndex& index, const ExtractionPlan& plan, Diagnostics& diag) {
    OutputSizes sizes(diag);
    std::map<std::string, std::vector<Piece>> added;
    for (size_t k = 0; k < index.entries().size(); ++k) {
        const IndexEntry& e = index.entries()[k];
        if (!plan.selects(k) || !e.complete) continue;
        const EntryHeader& h = e.header;
        const uint64_t n = static_cast<uint64_t>(std::max<int64_t>(h.data_size, 0));
        sizes.add(h.stored_path(), h.range_start, n, e.record_state == RecordState::present ? &e.record : nullptr);
        added[h.stored_path()].push_back(Piece{e.offset, h.range_start, n});
    }
    std::vector<OutFile> files;
    for (auto& [path, pieces] : added) {
        OutFile f;
        f.path = path;
        for (size_t i : sizes.newest_pieces(path)) f.pieces.push_back(pieces[i]);
        std::sort(f.pieces.begin(), f.pieces.end(), [](const Piece& a, const Piece& b) { return a.start < b.start; });
        f.size = sizes.final_size(path);
        if (!f.pieces.empty()) files.push_back(std::move(f));
    }
    const auto first = [](const OutFile& f) {
        uint64_t at = UINT64_MAX;
        for (const Piece& p : f.pieces) at = std::min(at, p.entry);
        return at;
    };
    std::sort(files.begin(), files.end(), [&](const OutFile& a, const OutFile& b) { return first(a) < first(b); });
    return files;
}

class Stream {
public:
    Stream(std::vector<OutFile> files, Diagnostics& diag, const std::string& scratch_dir, const StreamWrite& out)
        : files_(std::move(files)), diag_(diag), held_(scratch_dir, kHeldInMemory), out_(out) {
        for (size_t f = 0; f < files_.size(); ++f)
            for (size_t p = 0; p < files_[f].pieces.size(); ++p) where_[files_[f].pieces[p].entry] = {f, p};
    }

    // Whether the entry at `offset` is a piece that goes out.
    bool wanted(uint64_t offset) const { return where_.count(offset) != 0; }

    // Decodes the entry (a wanted one) through `decode`, which writes into
    // the sink it is given.
    template <class Decode>
    DecodeResult take(uint64_t offset, Decode decode) {
        const auto [f, p] = where_.at(offset);
        OutFile& file = files_[f];
        const bool through =
            f == current_ && file.next == p && file.pieces[p].start == file.written && !file.failed;
        struct Context {
            Stream& s;
            uint64_t key;
            bool through;
            std::string error;
        } c{*this, offset, through, {}};
        Sink sink = Sink::callback(
            [](void* ctx, const void* data, size_t n) -> int {
                auto& c = *static_cast<Context*>(ctx);
                const auto* bytes = static_cast<const uint8_t*>(data);
                if (c.through) {
                    if (!c.s.out_(bytes, n)) {
                        c.s.closed_ = true;
                        return 1;
                    }
                    return 0;
                }
                return c.s.held_.append(c.key, bytes, n, c.error) ? 0 : 1;
            },
            &c);
        const DecodeResult r = decode(sink);
        if (closed_) return r;
        if (!c.error.empty()) {
            diag_.error(text("Error: ", c.error, "\n"));
            fail(file);
        } else if (r != DecodeResult::ok) {
            fail(file);
        } else {
            done_.insert(offset);
            if (through) {
                file.written += file.pieces[p].size;
                ++file.next;
            }
        }
        if (r != DecodeResult::ok || !c.error.empty()) held_.drop(offset);
        advance(false);
        return r;
    }

    // Sends what is ready: the current file's next pieces as far as they
    // are here, then the files after it. `final`: nothing more comes, so a
    // piece that is not here is missing.
    void advance(bool final) {
        while (current_ < files_.size() && !closed_) {
            OutFile& file = files_[current_];
            if (file.failed) {
                ++current_;
                continue;
            }
            if (file.next == file.pieces.size()) {
                if (file.written < file.size) missing(file);
                ++current_;
                continue;
            }
            const Piece& p = file.pieces[file.next];
            if (p.start != file.written) {
                missing(file);
                ++current_;
                continue;
            }
            if (done_.count(p.entry)) {
                if (!held_.release(p.entry, out_)) {
                    closed_ = true;
                    return;
                }
                file.written += p.size;
                ++file.next;
                continue;
            }
            if (!final) return;
            missing(file);
            ++current_;
        }
    }

    bool closed() const { return closed_; }
    bool all_whole() const {
        return std::all_of(files_.begin(), files_.end(),
                           [](const OutFile& f) { return !f.failed && f.next == f.pieces.size(); });
    }

private:
    void fail(OutFile& file) {
        file.failed = true;
        for (const Piece& p : file.pieces) held_.drop(p.entry);
    }
    void missing(OutFile& file) {
        diag_.error(text("Error: ", file.path, " not restored: the archive holds only part of it\n"));
        fail(file);
    }

    std::vector<OutFile> files_;
    Diagnostics& diag_;
    HeldPieces held_;
    const StreamWrite& out_;
    std::map<uint64_t, std::pair<size_t, size_t>> where_;  // entry offset -> file, piece
    std::set<uint64_t> done_;                              // entries decoded whole
    size_t current_ = 0;
    bool closed_ = false;
};

}  // namespace

StreamResult extract_to_stream(Extractor& extractor, const Source& archive, const std::string& archive_path,
                               uint64_t size, const ArchiveIndex& index, const std::vector<std::string>& patterns,
                               const std::string& scratch_dir, const StreamWrite& out,
                               std::vector<uint64_t>* matched, const VersionView* view) {
    Diagnostics& diag = extractor.diagnostics();
    StreamResult result;
    ExtractionPlan plan(archive, size, index, patterns, view);
    Stream stream(plan_files(index, plan, diag), diag, scratch_dir, out);
    extractor.expect_output(size);
    ArchiveWalk walk(archive, archive_path, size, diag);
    walk.use_index(index);
    for (CheckedEntry e; walk.next(e);) {
        const auto [selected, decode] = plan.step(e.header, e.offset);
        if (!decode) {
            walk.skip(e);
            continue;
        }
        if (extractor.stops_on_interrupt() && platform::interrupted()) {
            result.interrupted = true;
            break;
        }
        DecodeResult r;
        if (stream.wanted(e.offset)) {
            r = stream.take(e.offset, [&](Sink& sink) { return extractor.decode_to(archive, archive_path, e, sink); });
        } else {
            // A solid entry before a selected one, an older version, or a
            // selected entry past damage that no plan could place.
            Sink nowhere;
            r = extractor.decode_to(archive, archive_path, e, nowhere);
            if (selected && r == DecodeResult::ok && index.find(e.offset) == index.entries().size()) {
                diag.error(text("Error: ", e.header.stored_path(), " at offset ", e.offset,
                                " lies past damage: not written\n"));
                result.ok = false;
            }
        }
        if (stream.closed()) {
            result.closed = true;
            break;
        }
        if (r == DecodeResult::interrupted) {
            result.interrupted = true;
            break;
        }
        if (r != DecodeResult::ok) result.ok = false;
        if (r == DecodeResult::damaged)
            walk.resume_after(e.offset);
        else
            walk.skip(e);
    }
    if (matched) *matched = plan.matched();
    if (result.closed || result.interrupted) {
        result.ok = false;
        return result;
    }
    stream.advance(true);
    if (stream.closed()) result.closed = true;
    if (walk.damaged()) {
        result.ok = false;
        add_walk_damage(extractor.tally(), walk);
    }
    if (!stream.all_whole() || result.closed) result.ok = false;
    return result;
}

}  // namespace taq
