#include "archive/index.h"

#include <algorithm>

#include "archive/walk.h"

namespace taq {

ArchiveIndex ArchiveIndex::read(const Source& file, uint64_t size, uint64_t from) {
    // A file's small reads go through a window read ahead.
    ReadAhead ahead(file, size);
    const Source archive = file.file() ? ahead.source() : file;
    ArchiveIndex index;
    index.size_ = size;
    bool all_complete = true;
    uint64_t position = from;
    while (position < size) {
        IndexEntry e;
        e.offset = position;
        e.complete = read_header(archive, position, size, e.header, nullptr);
        if (!e.complete && !read_header(archive, position, size, e.header, &index.why_, true)) break;
        all_complete = all_complete && e.complete;
        if (all_complete) ++index.complete_;
        // read_header guarantees entry_size >= 48 and inside the archive,
        // so the chain always moves forward and ends.
        position += e.header.entry_size;
        index.entries_.push_back(std::move(e));
    }
    index.end_ = std::min(position, size);
    return index;
}

ArchiveIndex ArchiveIndex::check(const Source& file, uint64_t size) {
    ReadAhead ahead(file, size);
    const Source archive = file.file() ? ahead.source() : file;
    ArchiveIndex index = read(archive, size);
    index.checked_ = true;
    for (IndexEntry& e : index.entries_) {
        if (!e.complete) continue;
        CheckedEntry c;
        c.offset = e.offset;
        c.header = e.header;
        std::string why;
        if (!check_read_entry(archive, c, why)) continue;
        e.sound = true;
        e.record_state = c.record_state;
        e.record = c.record;
        e.record_length = c.record_length;
    }
    return index;
}

bool ArchiveIndex::sound_entry(uint64_t offset, CheckedEntry& out) const {
    const size_t k = find(offset);
    if (k >= entries_.size() || !entries_[k].sound) return false;
    const IndexEntry& e = entries_[k];
    out.header = e.header;
    out.record_state = e.record_state;
    out.record = e.record;
    out.record_length = e.record_length;
    out.offset = e.offset;
    return true;
}

uint64_t ArchiveIndex::sound_end() const {
    for (const IndexEntry& e : entries_)
        if (!e.sound) return e.offset;
    return end_;
}

size_t ArchiveIndex::find(uint64_t offset) const {
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), offset,
                                     [](const IndexEntry& e, uint64_t at) { return e.offset < at; });
    return it != entries_.end() && it->offset == offset ? static_cast<size_t>(it - entries_.begin())
                                                        : entries_.size();
}

}  // namespace taq
