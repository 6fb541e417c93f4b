#include "archive/listing.h"

#include "archive/entry.h"
#include "archive/index.h"
#include "archive/paths.h"
#include "archive/walk.h"
#include "platform/platform.h"

namespace taq {

ListResult list_entries(const std::string& archive_path, const std::string& wildcard, Diagnostics& diag,
                        const std::function<void(const std::string&)>& line) {
    ListResult result;
    platform::File archive = platform::File::open(archive_path, platform::File::Mode::read_existing);
    const int64_t size = archive ? archive.size() : -1;
    if (size < 0) {
        diag.error(text("Error: cannot open Archive file ", archive_path, "\n"));
        result.status = ListStatus::cannot_open;
        return result;
    }
    return list_entries(archive, ArchiveIndex::read(archive, static_cast<uint64_t>(size)), archive_path, wildcard,
                        diag, line);
}

ListResult list_entries(const Source& archive, const ArchiveIndex& index, const std::string& archive_path,
                        const std::string& wildcard, Diagnostics& diag,
                        const std::function<void(const std::string&)>& line) {
    ListResult result;
    for (const IndexEntry& e : index.entries()) {
        const std::string path = e.header.stored_path();
        if (match_wildcard(wildcard, file_part(path))) {
            ++result.listed;
            line(text(path, e.header.solid ? " - solid" : "", "\n"));
        }
    }
    const uint64_t end = index.end();
    if (end >= index.archive_size()) return result;
    if (interrupted_append_at(archive, end, index.archive_size(), true)) {
        diag.info(interrupted_append_message(archive_path, end));
        return result;
    }
    diag.error(damaged_archive_message(archive_path, end, index.why()));
    result.status = ListStatus::damaged;
    return result;
}

}  // namespace taq
