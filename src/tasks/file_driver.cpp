#include "tasks/file_driver.h"

#include <algorithm>
#include <cstdio>

#include "archive/paths.h"
#include "platform/platform.h"
#include "tasks/board.h"
#include "tasks/compression_parent.h"

namespace taq {

uint64_t piece_step(uint64_t size, unsigned tasks) {
    if (tasks == 0) tasks = 1;
    if (size > kPieceMin * tasks) return size / tasks;
    return kPieceMin;
}

EntryResult compress_file(Compressor& compressor, const std::string& path, int64_t list_size, uint64_t& total_input) {
    return compress_file(compressor, path, file_part(path), stored_dir_of(path), list_size, total_input);
}

EntryResult compress_file(Compressor& compressor, const std::string& path, const std::string& stored_name,
                          const std::string& stored_dir, int64_t list_size, uint64_t& total_input) {
    const uint64_t size = platform::file_size(path);
    const EntryResult r = compressor.compress_entry(path, stored_name, stored_dir, 0, size);
    // A skipped file is not counted: the statistics tell what the archive holds.
    if ((r == EntryResult::written || r == EntryResult::changed) && list_size > 0) total_input += static_cast<uint64_t>(list_size);
    return r;
}

EntryResult post_file(CompressionParent& parent, unsigned tasks, const std::string& path, int64_t list_size,
                      uint64_t& total_input, Diagnostics& diag) {
    if (path.size() >= kBoardPathRoom) {
        diag.error(text("Error: path too long ", path, "\n"));
        return EntryResult::input_failed;
    }
    const uint64_t size = platform::file_size(path);
    const uint64_t step = piece_step(size, tasks);
    parent.begin_file(path);
    uint64_t start = 0;
    do {
        const uint64_t end = std::min(start + step, size);
        if (!parent.post(CompressJob{path, start, end})) return EntryResult::output_failed;
        start += step;
    } while (start < size);
    if (list_size > 0) total_input += static_cast<uint64_t>(list_size);
    return EntryResult::written;
}

}  // namespace taq
