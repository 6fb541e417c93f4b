// The `l` command's walk: prints the stored path of every entry whose file
// name matches a wildcard.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace taq {

enum class ListStatus {
    ok,
    cannot_open,  // "Error: cannot open Archive file %s\n" printed
    damaged,      // damaged_archive_message printed; entries before it were listed
};
// An archive that ends in an interrupted append is ok: its entries up to
// the tail are listed, then interrupted_append_message.

struct ListResult {
    ListStatus status = ListStatus::ok;
    uint64_t listed = 0;  // entries printed by this call
};

// Lists the entries of `archive_path` whose file part matches `wildcard`
// (case-sensitive, exactly as given) on `out`: "dir/name", then " - solid"
// for entries of solid runs, then a line end. Error messages go to `out` too.
ListResult list_entries(const std::string& archive_path, const std::string& wildcard, std::FILE* out = stdout);

}  // namespace taq
