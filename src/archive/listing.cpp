#include "archive/listing.h"

#include "archive/entry.h"
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
    const auto archive_size = static_cast<uint64_t>(size);
    uint64_t position = 0;
    while (position < archive_size) {
        EntryHeader h;
        std::string why;
        if (!read_header(archive, position, archive_size, h, &why, true)) {
            if (interrupted_append_at(archive, position, archive_size, true)) {
                diag.info(interrupted_append_message(archive_path, position));
                return result;
            }
            diag.error(damaged_archive_message(archive_path, position, why));
            result.status = ListStatus::damaged;
            return result;
        }
        const std::string path = h.stored_path();
        if (match_wildcard(wildcard, file_part(path))) {
            ++result.listed;
            line(text(path, h.solid ? " - solid" : "", "\n"));
        }
        // read_header guarantees entry_size >= 48 and inside the file, so
        // the walk always moves forward and ends.
        position += h.entry_size;
    }
    return result;
}

}  // namespace taq
