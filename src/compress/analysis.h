// What the data is: the coding path, the per-kind coder and the delta
// parameters of an entry (from signatures and a trial of the delta
// variants), and the per-segment and per-block statistics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive/entry.h"
#include "platform/platform.h"

namespace taq {

using Analysis = CodingChoices;

// The window the analysis reads: the file's first bytes, at most this many.
constexpr size_t kAnalysisWindow = 2097152;
// Widest row a per-kind image coder accepts: a row must fit in a segment.
constexpr uint64_t kMaxImageRow = 8388608;
constexpr int kTextClass = 10;

class Analyser {
public:
    Analyser();
    // Judges the window (the first w bytes of the file). The window may be
    // changed during the trial but is restored before returning.
    Analysis analyse(uint8_t* window, size_t w);

    // Bytes a coder would emit for window[6..w) under the trial's
    // two-context estimator.
    uint32_t estimate_cost(const uint8_t* window, size_t w);

    bool delta_better() const { return delta_better_; }

private:
    platform::MappedArray<uint16_t> table_;
    bool delta_better_ = false;
};

// The width of a portable-pixmap header: the first number of two or more
// digits from offset 2, 256 when there is none.
uint32_t probe_image_width(const uint8_t* window, size_t w);

// Order-0 entropy in hundredths of a bit per byte (0..800), truncated.
int entropy_score(const uint8_t* buf, size_t n);
// kTextClass when the buffer looks like lower-case text; also returns the
// entropy score.
int classify_block(const uint8_t* buf, size_t n, int* score);

// Whether a block is coded raw: entropy score above 790.
bool block_is_raw(const uint8_t* buf, size_t n);

}  // namespace taq
