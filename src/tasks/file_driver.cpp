#include "tasks/file_driver.h"

#include "archive/paths.h"
#include "platform/platform.h"

namespace taq {

EntryResult compress_file(Compressor& compressor, const std::string& path, int64_t list_size, uint64_t& total_input) {
    const uint64_t size = platform::file_size(path);
    const EntryResult r = compressor.compress_entry(path, file_part(path), dir_part(path), 0, size);
    // A skipped file is not counted: the statistics tell what the archive holds.
    if (r == EntryResult::written && list_size > 0) total_input += static_cast<uint64_t>(list_size);
    return r;
}

}  // namespace taq
