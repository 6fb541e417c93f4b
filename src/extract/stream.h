// Restoring into one stream of bytes (standard output, a pipe): the
// selected files one after another, each whole as `x` would restore it
// (its newest version, its pieces in order), in the archive order of
// their first pieces. Nothing is written to a file, except pieces that
// arrive before their turn once they outgrow memory (a scratch file in a
// directory the caller names, removed again).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/index.h"
#include "archive/source.h"
#include "archive/versions.h"
#include "extract/scratch.h"

namespace taq {

class Extractor;

struct StreamResult {
    bool ok = true;       // every selected file went out whole and checked
    bool closed = false;  // the stream stopped taking bytes (its reader went away)
    bool interrupted = false;
};

// Takes the next bytes of the stream; false when it can take no more.
using StreamWrite = std::function<bool(const uint8_t* data, size_t n)>;

// `index` is the archive's checked index; `patterns` are lower-cased
// wildcards. Errors and damage are reported to the extractor's
// diagnostics; `matched` receives each pattern's count of selected entries.
StreamResult extract_to_stream(Extractor& extractor, const Source& archive, const std::string& archive_path,
                               uint64_t size, const ArchiveIndex& index, const std::vector<std::string>& patterns,
                               const std::string& scratch_dir, const StreamWrite& out,
                               std::vector<uint64_t>* matched = nullptr, const VersionView* view = nullptr);

// Pieces held back until their file's turn comes: in memory up to a
// bound, then in a scratch file.
class HeldPieces {
public:
    HeldPieces(std::string scratch_dir, uint64_t memory_bound);
    HeldPieces(const HeldPieces&) = delete;
    HeldPieces& operator=(const HeldPieces&) = delete;

    // Bytes of the piece `key`, in order. False when the scratch file
    // cannot be written (`error` says why).
    bool append(uint64_t key, const uint8_t* data, size_t n, std::string& error);
    bool holds(uint64_t key) const;
    // Hands the piece's bytes to `out` in order and forgets them; false
    // when `out` refused or the scratch file could not be read.
    bool release(uint64_t key, const StreamWrite& out);
    void drop(uint64_t key);
    uint64_t in_memory() const { return memory_used_; }

private:
    struct Piece {
        std::vector<uint8_t> memory;
        std::vector<std::pair<uint64_t, uint64_t>> spilled;  // (offset, length) in the scratch file
    };
    uint64_t bound_;
    uint64_t memory_used_ = 0;
    std::vector<std::pair<uint64_t, Piece>> pieces_;
    ScratchFile scratch_;
    uint64_t scratch_end_ = 0;

    Piece* find(uint64_t key);
};

}  // namespace taq
