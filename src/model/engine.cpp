#include "model/engine.h"

#include <algorithm>
#include <new>

#include "platform/platform.h"

namespace taq {

namespace {

struct Region {
    size_t offset;
    size_t bytes;
};

size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

}  // namespace

size_t Engine::sparse_entries_for(uint64_t input) {
    // A few KB add up to six entries a byte, 100 KB three to four, more
    // fewer as their contexts recur. The map grows if this falls short;
    // too much costs memory touched in vain.
    const uint64_t a = std::min<uint64_t>(input, 16384), b = std::min<uint64_t>(input, 131072);
    return static_cast<size_t>(6 * a + 4 * (b - a) + (input - b) * 22 / 10);
}

size_t Engine::sparse_limit_for(uint32_t memory) {
    // T1..T4 and the match table hold 2.125 x memory bytes.
    const size_t tables = size_t{memory} * 2 + memory / 8;
    return std::min(tables / 64, size_t{1} << 22);
}

Engine::HotArea::HotArea() : p(static_cast<uint8_t*>(platform::allocate_large_page())) {
    static_assert(kEnd <= platform::kLargePage);
    if (!p) throw std::bad_alloc();
}

Engine::HotArea::~HotArea() { platform::release_tables(p, platform::kLargePage); }

Engine::Engine(uint32_t memory)
    : mem_(memory),
      mask_(memory - 1),
      match_mask_(memory / 16 - 1),
      sparse_limit_(sparse_limit_for(memory)),
      // A block can add nine entries a byte past the limit.
      sparse_(sparse_limit_ + 9 * size_t{kBlockSize}) {
    if (memory < 16 || (memory & (memory - 1)) != 0) throw std::bad_alloc();
    // One mapping, each region starting on its own page, the hashed tables
    // (from the match table on) last and on large page boundaries so that
    // they can be backed by large pages.
    constexpr size_t kPage = 4096, kLargePage = platform::kLargePage;
    const size_t m = memory;
    const Region regions[] = {
        {0, kSegmentSize},  // segment buffer
        {0, m},             // history
        {0, m / 4},         // match table: m/16 entries of 4 bytes
        {0, m / 8},         // T4
        {0, m / 4},         // T3
        {0, m / 2},         // T2
        {0, m},             // T1
    };
    size_t offsets[7];
    size_t total = 0;
    for (int i = 0; i < 7; ++i) {
        total = round_up(total, i >= 2 && regions[i].bytes >= kLargePage ? kLargePage : kPage);
        offsets[i] = total;
        total += round_up(regions[i].bytes, kPage);
    }
    tables_ = static_cast<uint8_t*>(platform::allocate_tables(total));
    if (!tables_) throw std::bad_alloc();
    tables_bytes_ = total;
    segment_ = tables_ + offsets[0];
    history_ = tables_ + offsets[1];
    rows_ = hot_.p + HotArea::kRowsAt;
    match_table_ = reinterpret_cast<uint32_t*>(tables_ + offsets[2]);
    t4_ = tables_ + offsets[3];
    t3_ = tables_ + offsets[4];
    t2_ = tables_ + offsets[5];
    t1_ = tables_ + offsets[6];
    // Past this many touched buckets a plain clear of the tables is cheaper
    // than clearing them one by one.
    dirty_limit_ = std::max<size_t>(4096, (m + m / 2 + m / 4 + m / 8) / 256);
    dirty_buckets_.reserve(dirty_limit_);
    dirty_matches_.reserve(dirty_limit_);
    o1_row_ = rows_;
    skip_row_ = rows_;
    uint8_t* tables[4] = {t1_, t2_, t3_, t4_};
    for (int k = 0; k < 4; ++k) {
        tables4_[k] = tables[k];
        masks4_[k] = (memory >> k) - 1;
    }
}

void Engine::prefer_large_pages(unsigned populate_threads) {
    if (large_pages_) return;
    large_pages_ = true;
    uint8_t* const hashed = reinterpret_cast<uint8_t*>(match_table_);
    platform::advise_large_pages(hashed, static_cast<size_t>(tables_ + tables_bytes_ - hashed));
    populate_threads_ = populate_threads;
    sparse_.populate_ahead(populate_threads);
}

void Engine::start_populate() {
    const unsigned threads = populate_threads_;
    populate_threads_ = 0;
    // Everything here is hit at random from the first bytes of general data
    // on; the largest tables gain most from large pages. Small pages cost
    // the coding some 15-30% more time than large ones, large pages that
    // come slowly about half a second for these tables: for a short run
    // the small pages are cheaper.
    const size_t m = mem_;
    platform::populate_tables({{t1_, m}, {t2_, m / 2}, {match_table_, m / 4}, {t3_, m / 4}, {t4_, m / 8}}, threads,
                              expected_ < kLongRun);
}

namespace {

// Calls f(r) for every set bit r of the 512-bit map, and clears the map.
template <class F>
void for_each_region(uint64_t (&map)[8], F f) {
    for (size_t k = 0; k < 8; ++k) {
        for (uint64_t m = map[k]; m != 0; m &= m - 1) f(64 * k + static_cast<size_t>(__builtin_ctzll(m)));
        map[k] = 0;
    }
}

}  // namespace

void Engine::clamp_general_segment() {
    for_each_region(final_unclamped_, [this](size_t r) { cm_final_.clamp_pairs(256 * r, 256); });
}

Engine::~Engine() { platform::release_tables(tables_, tables_bytes_); }

void Engine::leave_sparse() {
    // The tables are all zero here: nothing reached them since the reset.
    sparse_.for_each([this](uint32_t table, uint32_t index, const uint8_t* bytes) {
        if (table == SparseTables::kMatch) {
            std::memcpy(match_table_ + 4 * index, bytes, 16);
            for (uint32_t i = 0; i < 4; ++i) note_dirty(dirty_matches_, 4 * index + i);
        } else {
            uint8_t* b = tables4_[table] + (size_t{index} << 4);
            std::memcpy(b, bytes, 16);
            note_dirty(dirty_buckets_, b);
        }
    });
    sparse_.clear(0);
    sparse_active_ = false;
}

void Engine::model_reset(uint64_t expected) {
    if (touched_) {
        const size_t m = mem_;
        // The history fills from its start: what lies past the written part
        // (most of it, for most inputs) was never touched and reads zero.
        const size_t history_used = static_cast<size_t>(std::min<uint64_t>(history_written_, m));
        std::memset(history_, 0, history_used);
        if (dirty_overflow_ || history_written_ >= m) {
            std::memset(match_table_, 0, m / 4);
            std::memset(t4_, 0, m / 8);
            std::memset(t3_, 0, m / 4);
            std::memset(t2_, 0, m / 2);
            std::memset(t1_, 0, m);
        } else {
            for (uint32_t h : dirty_matches_) match_table_[h] = 0;
            for (uint8_t* b : dirty_buckets_) std::memset(b, 0, 16);
        }
        std::memset(rows_, 0, kRowArea);
        std::fill(std::begin(final_used_), std::end(final_used_), uint64_t{0});
        std::fill(std::begin(final_unclamped_), std::end(final_unclamped_), uint64_t{0});
        cm_stages_.reset();
        flag_stage1_.reset();
        flag_stage2_.reset();
        flag_stage3_.reset();
        flag_stage4_.reset();
        flag_stage5_.reset();
        flag_stage6_.reset();
    }
    small_.reset();
    dirty_buckets_.clear();
    dirty_matches_.clear();
    dirty_overflow_ = false;
    expected_ = expected;
    sparse_active_ = expected <= sparse_limit_ / kSparseBytesShare;
    sparse_.clear(sparse_active_ ? sparse_entries_for(expected) : 0);
    history_written_ = 0;
    touched_ = false;

    match_ptr_ = 0xFFFFFFFFu;
    c1_ = c2_ = 0;
    h1_ = h2_ = h3_ = h4_ = h5_ = 0;
    history4_ = 0;
    hist_pos_ = 0;
    flag_state_ = 0;
    match_len_ = 0;
    miss_flag_ = 0;
    o1_row_ = rows_;
    skip_row_ = rows_;
}

}  // namespace taq
