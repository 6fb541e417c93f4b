#include "model/table_memory.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace taq {

namespace {

size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

}  // namespace

HotArea::HotArea() : p(static_cast<uint8_t*>(platform::allocate_large_page())) {
    static_assert(kEnd <= platform::kLargePage);
    if (!p) throw std::bad_alloc();
}

HotArea::~HotArea() { platform::release_tables(p, platform::kLargePage); }

TableMemory::TableMemory(uint32_t memory) : memory_(memory) {
    if (memory < 16 || (memory & (memory - 1)) != 0) throw std::bad_alloc();
    // One mapping, each region starting on its own page, the hashed tables
    // (from the match table on) last and on large page boundaries so that
    // they can be backed by large pages.
    constexpr size_t kPage = 4096, kLargePage = platform::kLargePage;
    const size_t m = memory;
    const size_t sizes[] = {
        kSegmentSize,  // segment buffer
        m,             // history
        m / 4,         // match table: m/16 entries of 4 bytes
        m / 8,         // T4
        m / 4,         // T3
        m / 2,         // T2
        m,             // T1
    };
    size_t offsets[7];
    size_t total = 0;
    for (int i = 0; i < 7; ++i) {
        total = round_up(total, i >= 2 && sizes[i] >= kLargePage ? kLargePage : kPage);
        offsets[i] = total;
        total += round_up(sizes[i], kPage);
    }
    base_ = static_cast<uint8_t*>(platform::allocate_tables(total));
    if (!base_) throw std::bad_alloc();
    bytes_ = total;
    segment = base_ + offsets[0];
    history = base_ + offsets[1];
    match_table = reinterpret_cast<uint32_t*>(base_ + offsets[2]);
    buckets[3] = base_ + offsets[3];
    buckets[2] = base_ + offsets[4];
    buckets[1] = base_ + offsets[5];
    buckets[0] = base_ + offsets[6];
    // Past this many touched buckets a plain clear of the tables is cheaper
    // than clearing them one by one.
    limit_ = std::max<size_t>(4096, (m + m / 2 + m / 4 + m / 8) / 256);
    buckets_.reserve(limit_);
    slots_.reserve(limit_);
}

TableMemory::~TableMemory() { platform::release_tables(base_, bytes_); }

bool TableMemory::prefer_large_pages(unsigned populate_threads) {
    if (large_pages_) return false;
    large_pages_ = true;
    uint8_t* const hashed = reinterpret_cast<uint8_t*>(match_table);
    platform::advise_large_pages(hashed, static_cast<size_t>(base_ + bytes_ - hashed));
    populate_threads_ = populate_threads;
    return true;
}

void TableMemory::populate() {
    const unsigned threads = populate_threads_;
    populate_threads_ = 0;
    // Everything here is hit at random from the first bytes of general data
    // on; the largest tables gain most from large pages. Small pages cost
    // the coding some 15-30% more time than large ones, large pages that
    // come slowly about half a second for these tables: for a short run
    // the small pages are cheaper.
    const size_t m = memory_;
    platform::populate_tables(
        {{buckets[0], m}, {buckets[1], m / 2}, {match_table, m / 4}, {buckets[2], m / 4}, {buckets[3], m / 8}},
        threads, expected_ < kLongRun);
}

void TableMemory::clear(uint64_t history_written) {
    const size_t m = memory_;
    // The history fills from its start: what lies past the written part
    // (most of it, for most data) was never touched and reads zero.
    std::memset(history, 0, static_cast<size_t>(std::min<uint64_t>(history_written, m)));
    if (overflow_ || history_written >= m) {
        std::memset(match_table, 0, m / 4);
        std::memset(buckets[3], 0, m / 8);
        std::memset(buckets[2], 0, m / 4);
        std::memset(buckets[1], 0, m / 2);
        std::memset(buckets[0], 0, m);
    } else {
        for (uint32_t h : slots_) match_table[h] = 0;
        for (uint8_t* b : buckets_) std::memset(b, 0, 16);
    }
    forget();
}

void TableMemory::forget() {
    buckets_.clear();
    slots_.clear();
    overflow_ = false;
}

}  // namespace taq
