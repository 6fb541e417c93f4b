// The per-file driver of `a`: turns one entry of the file list into archive
// entries.
#pragma once

#include <cstdint>
#include <string>

#include "compress/compress.h"

namespace taq {

// Compresses the file at `path` whole (range 0 .. its current size) into the
// compressor's archive, stored as file_part / dir_part of the path. When an
// entry was written, `list_size` (the size the enumeration saw) is added to
// `total_input`.
EntryResult compress_file(Compressor& compressor, const std::string& path, int64_t list_size, uint64_t& total_input);

}  // namespace taq
