#include "model/sparse.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "platform/platform.h"

namespace taq {

namespace {

size_t lines_for(size_t entries, size_t load, size_t at_least) { return std::max(at_least, (entries + load - 1) / load); }

}  // namespace

SparseTables::SparseTables(size_t most) : max_lines_(lines_for(most, kLoad, kMinLines)) {
    // Fresh anonymous memory reads as zeros: every key is free.
    const size_t bytes = max_lines_ * sizeof(Line);
    lines_ = static_cast<Line*>(platform::allocate_tables(bytes));
    if (!lines_) throw std::bad_alloc();
    // Small maps stay in small pages; past the first large page, large
    // pages fault in far fewer times.
    if (bytes > platform::kLargePage)
        platform::advise_large_pages(reinterpret_cast<uint8_t*>(lines_) + platform::kLargePage,
                                     bytes - platform::kLargePage);
    set_lines(kMinLines);
}

SparseTables::~SparseTables() { platform::release_tables(lines_, max_lines_ * sizeof(Line)); }

void SparseTables::set_lines(size_t lines) {
    line_count_ = std::min(lines, max_lines_);
    used_lines_ = std::max(used_lines_, line_count_);
    if (populate_threads_ != 0 && line_count_ > mapped_lines_) {
        platform::populate_tables({{lines_ + mapped_lines_, (line_count_ - mapped_lines_) * sizeof(Line)}},
                                  populate_threads_, true);
        mapped_lines_ = line_count_;
    }
}

void SparseTables::populate_ahead(unsigned threads) {
    populate_threads_ = threads;
    set_lines(line_count_);
}

void SparseTables::clear_keys(size_t lines) {
    for (size_t i = 0; i < lines; ++i) std::memset(lines_[i].keys, 0, sizeof lines_[i].keys);
}

void SparseTables::clear(size_t expected) {
    clear_keys(used_lines_);
    used_lines_ = 0;
    count_ = 0;
    set_lines(lines_for(expected, kLoad, kMinLines));
}

void SparseTables::grow(size_t needed) {
    const size_t old_count = line_count_;
    const size_t new_count = std::min(lines_for(needed, kLoad, 2 * old_count), max_lines_);
    // At the reserve's end the map stays as it is: a third of it is still
    // free, so lookups still end.
    if (new_count == old_count) return;
    // The old lines wait past the new ones if the reserve has room there.
    std::vector<Line> spare;
    Line* old = lines_ + new_count;
    if (new_count + old_count > max_lines_) {
        spare.resize(old_count);
        old = spare.data();
    }
    std::memcpy(static_cast<void*>(old), lines_, old_count * sizeof(Line));
    clear_keys(old_count);
    count_ = 0;
    set_lines(new_count);
    for (size_t i = 0; i < old_count; ++i) {
        for (int j = 0; j < kWays; ++j) {
            const uint32_t k = old[i].keys[j];
            if (k != 0) std::memcpy(at(key_table(k), key_index(k)), old[i].values[j], 16);
        }
    }
    if (spare.empty()) {
        for (size_t i = 0; i < old_count; ++i) std::memset(old[i].keys, 0, sizeof old[i].keys);
    }
}

}  // namespace taq
