// The job loops of child tasks: a child waits for jobs on its slot of the
// task board, runs each one and reports its result, until the parent tells
// it to stop, it has idled for kChildIdleLimitMs, or its parent has gone.
#pragma once

#include <cstdint>
#include <string>

#include "archive/source.h"
#include "compress/compress.h"
#include "tasks/board.h"

namespace taq {

constexpr uint64_t kChildIdleLimitMs = 5000;

// Compresses each posted range into options.archive_path (the slot's part
// archive). Returns the exit code: 0 when stopped or idle, 1 when the
// parent has gone (then nothing more is settled).
int run_compress_child(TaskBoard& board, int slot, const CompressOptions& options, Diagnostics& diag);

// Decodes each posted entry of the archive (`testing`: only decodes and
// checks). A damaged entry fails its job, not the run: the parent goes on
// with the other entries. Returns the exit code: 0 when stopped or idle, 1
// when the archive cannot be opened or the parent has gone.
int run_extract_child(TaskBoard& board, int slot, const std::string& archive_path, bool verbose, bool testing,
                      Diagnostics& diag);
// The same over the bytes of `archive` (`size` of them; the plain archive
// inside an encrypted one); `archive_id` (when known) is the archive file,
// which no restore may overwrite.
int run_extract_child(TaskBoard& board, int slot, const Source& archive, uint64_t size,
                      const platform::FileIdentity* archive_id, const std::string& archive_path, bool verbose,
                      bool testing, Diagnostics& diag);

}  // namespace taq
