// An archive that arrives once, in order (through a pipe): entries are
// self-contained, so each is held whole (in memory up to a bound, beyond
// it in a scratch file) and read as an archive that ends where the entry
// does. What a reader cannot do in one pass: look ahead (a solid run is
// decoded whole, whatever in it is selected) or go back, so it cannot
// pass over damage to the next entry it could trust: a pass stops at the
// first damage, which it reports at its offset.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/diagnostics.h"
#include "archive/entry.h"
#include "archive/source.h"
#include "extract/scratch.h"
#include "platform/platform.h"

namespace taq {

class Extractor;

class ForwardArchive {
public:
    // Reads up to n bytes of the stream: how many, 0 at its end, -1 on a
    // failure (`error` says why).
    using Read = std::function<int64_t(void* data, size_t n, std::string& error)>;

    ForwardArchive(Read read, std::string scratch_dir, uint64_t memory_bound = uint64_t{64} << 20);
    ForwardArchive(const ForwardArchive&) = delete;
    ForwardArchive& operator=(const ForwardArchive&) = delete;

    enum class Next { entry, end, damaged };
    // Reads the next entry whole. `why`: what is wrong at offset() when
    // damaged (a stream that ends inside an entry, a size no entry has, a
    // failed read).
    Next next(std::string& why);

    // The entry held: where it starts, and its bytes (a source whose size
    // is where the entry ends; nothing before the entry can be read).
    uint64_t offset() const { return offset_; }
    uint64_t end() const { return offset_ + length_; }
    Source source();

private:
    static size_t read_at(void* context, uint64_t offset, void* data, size_t n);
    // Reads exactly n bytes into `out` (or the scratch file); false at the
    // stream's end or a failure.
    bool take(uint8_t* out, size_t n, std::string& why, bool& ended);
    bool hold(uint64_t n, std::string& why, bool& ended);

    Read read_;
    uint64_t bound_;
    uint64_t offset_ = 0;
    uint64_t length_ = 0;
    std::vector<uint8_t> memory_;  // the entry, when it fits
    ScratchFile scratch_;          // else here
    bool in_scratch_ = false;
};

// What a pass found.
struct ForwardResult {
    bool ok = true;
    bool interrupted = false;
};

// `l`: every entry's stored path and solid flag, in order.
struct ForwardListing {
    std::vector<std::pair<std::string, bool>> entries;
    bool damaged = false;
};
ForwardListing list_forward(ForwardArchive& archive, const std::string& archive_name, Diagnostics& diag);

// `x` and `t` in one pass: as extract_entries, entry by entry.
ForwardResult extract_forward(Extractor& extractor, ForwardArchive& archive, const std::string& archive_name,
                              const std::string& dest_dir, const std::vector<std::string>& patterns,
                              std::vector<uint64_t>* matched);

}  // namespace taq
