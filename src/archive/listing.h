// The `l` command's walk: the stored path of every entry whose file name
// matches a wildcard.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "archive/diagnostics.h"
#include "archive/source.h"

namespace taq {

class ArchiveIndex;

enum class ListStatus {
    ok,
    cannot_open,  // "Error: cannot open Archive file <path>" reported
    damaged,      // damaged_archive_message reported; entries before it were listed
};
// An archive that ends in an interrupted append is ok: its entries up to
// the tail are listed, then interrupted_append_message.

struct ListResult {
    ListStatus status = ListStatus::ok;
    uint64_t listed = 0;  // entries handed out by this call
};

// Lists the entries of `archive_path` whose file part matches `wildcard`
// (case-sensitive, exactly as given), one line each to `line`: "dir/name",
// then " - solid" for entries of solid runs, then a line end. Damage and
// the interrupted tail go to `diag`.
ListResult list_entries(const std::string& archive_path, const std::string& wildcard, Diagnostics& diag,
                        const std::function<void(const std::string&)>& line);
// The same over an index of the archive read already (one for every
// wildcard of a run).
ListResult list_entries(const Source& archive, const ArchiveIndex& index, const std::string& archive_path,
                        const std::string& wildcard, Diagnostics& diag,
                        const std::function<void(const std::string&)>& line);

}  // namespace taq
