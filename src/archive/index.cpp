#include "archive/index.h"

#include <algorithm>

namespace taq {

ArchiveIndex ArchiveIndex::read(const Source& archive, uint64_t size) {
    ArchiveIndex index;
    index.size_ = size;
    bool all_complete = true;
    uint64_t position = 0;
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

size_t ArchiveIndex::find(uint64_t offset) const {
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), offset,
                                     [](const IndexEntry& e, uint64_t at) { return e.offset < at; });
    return it != entries_.end() && it->offset == offset ? static_cast<size_t>(it - entries_.begin())
                                                        : entries_.size();
}

}  // namespace taq
