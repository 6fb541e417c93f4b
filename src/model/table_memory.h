// The memory of the general model, and what a reset must clear of it.
//
// One mapping holds the segment buffer, the history and the hashed tables
// (the match table and T1..T4), each region on its own page and the hashed
// ones on large page boundaries, so that they can be backed by large pages
// and mapped in ahead of the coding (on threads) when much data follows.
// A second, small area (HotArea) gathers the tables that general data hits
// at random all the time, on one large page when the system has one to
// give, so that they cost no TLB misses.
//
// The tables are hundreds of MiB; an archive of small files resets the
// model once per file. A reset therefore clears what was touched since the
// last one, as the dirty log lists it (the buckets and match slots that
// were first written), and only past the log's limit the tables whole;
// the history is cleared up to where it was written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace taq {

constexpr uint32_t kSegmentSize = 8388608;
constexpr uint32_t kBlockSize = 4096;
constexpr uint32_t kRowArea = 131072;

// Stages 1..3 of the context model's chain, 512 pairs each, in one table
// so that one register addresses all three.
constexpr int kStagePairs = 512;

// The small tables that general data hits at random: flag stages 2..6, the
// final stage, the order-1 and skip rows, the guesses, stages 1..3 and
// flag stage 1, at these offsets.
struct HotArea {
    static constexpr size_t kFlagStageBytes = 65536 * 4;
    static constexpr size_t kFlagAt = 0;
    static constexpr size_t kFinalAt = kFlagAt + 5 * kFlagStageBytes;
    static constexpr size_t kRowsAt = kFinalAt + 131072 * 4;
    static constexpr size_t kGuessAt = kRowsAt + kRowArea;
    static constexpr size_t kStagesAt = kGuessAt + 65536;
    static constexpr size_t kFlag1At = kStagesAt + 3 * kStagePairs * 4;
    static constexpr size_t kEnd = kFlag1At + 512 * 4;

    HotArea();
    ~HotArea();
    HotArea(const HotArea&) = delete;
    HotArea& operator=(const HotArea&) = delete;
    int16_t* weights(size_t at) const { return reinterpret_cast<int16_t*>(p + at); }
    uint8_t* const p;
};

class TableMemory {
public:
    // Maps the regions for model memory `memory`. Throws std::bad_alloc.
    explicit TableMemory(uint32_t memory);
    ~TableMemory();
    TableMemory(const TableMemory&) = delete;
    TableMemory& operator=(const TableMemory&) = delete;

    // The regions: segment buffer (kSegmentSize), history (memory bytes),
    // match table (memory / 16 slots), T1..T4 (memory >> k bytes).
    uint8_t* segment = nullptr;
    uint8_t* history = nullptr;
    uint32_t* match_table = nullptr;
    uint8_t* buckets[4] = {};  // T1..T4
    HotArea hot;

    // The dirty log: buckets and match slots written first since the last
    // clear. Past its limit it gives up, and the clear takes everything.
    bool logging() const { return !overflow_; }
    void note_bucket(uint8_t* b) { note(buckets_, b); }
    void note_slot(uint32_t slot) { note(slots_, slot); }

    // Backs the hashed tables with large pages from now on; with
    // `populate_threads`, maps them in on that many threads at the next
    // populate_if_pending(). False when they already were.
    bool prefer_large_pages(unsigned populate_threads);
    // Maps the hashed tables in, once, when prefer_large_pages() asked for
    // it; a run expected to be short (below kLongRun) takes small pages
    // when large ones come slowly.
    void populate_if_pending() {
        if (populate_threads_ != 0) populate();
    }
    void expect(uint64_t bytes) { expected_ = bytes; }

    // Clears what the general model wrote since the last clear, the first
    // `history_written` bytes of history included, and empties the log.
    void clear(uint64_t history_written);
    // Empties the log (after a clear, or when nothing was written).
    void forget();

private:
    template <class T>
    void note(std::vector<T>& list, T item) {
        if (list.size() < limit_) list.push_back(item);
        else overflow_ = true;
    }
    void populate();

    static constexpr uint64_t kLongRun = kSegmentSize;
    uint32_t memory_;
    uint8_t* base_ = nullptr;
    size_t bytes_ = 0;
    std::vector<uint8_t*> buckets_;
    std::vector<uint32_t> slots_;
    size_t limit_;
    bool overflow_ = false;
    bool large_pages_ = false;
    unsigned populate_threads_ = 0;  // 0: populated, or left to faults
    uint64_t expected_ = UINT64_MAX;
};

}  // namespace taq
