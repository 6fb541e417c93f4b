// The per-file driver of `a`: turns one entry of the file list into archive
// entries, in this process or as pieces handed to child tasks.
#pragma once

#include <cstdint>
#include <string>

#include "archive/entry.h"
#include "compress/compress.h"

namespace taq {

class CompressionParent;

// Pieces are at least one segment long, except a file's last one.
constexpr uint64_t kPieceMin = kEntrySegment;

// Length of the pieces a file of `size` bytes is cut into for `tasks`
// tasks: size / tasks when that is more than kPieceMin, else kPieceMin. The
// last piece takes what remains (size mod tasks bytes when that is not 0).
uint64_t piece_step(uint64_t size, unsigned tasks);

// Compresses the file at `path` whole (range 0 .. its current size) into the
// compressor's archive, stored as file_part / stored_dir_of the path. When an
// entry was written, `list_size` (the size the enumeration saw) is added to
// `total_input`.
EntryResult compress_file(Compressor& compressor, const std::string& path, int64_t list_size, uint64_t& total_input);
// The same, stored under the names given.
EntryResult compress_file(Compressor& compressor, const std::string& path, const std::string& stored_name,
                          const std::string& stored_dir, int64_t list_size, uint64_t& total_input);

// Parent mode: cuts the file at `path` into pieces of piece_step bytes (a
// 0-byte file is one piece with an empty range) and posts each to a task,
// then adds `list_size` to `total_input`. output_failed means the run must
// stop; input_failed that the file was skipped (message printed).
EntryResult post_file(CompressionParent& parent, unsigned tasks, const std::string& path, int64_t list_size,
                      uint64_t& total_input, Diagnostics& diag);

}  // namespace taq
