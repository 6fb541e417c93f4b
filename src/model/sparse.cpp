#include "model/sparse.h"

#include <cstdint>
#include <new>
#include <vector>

#include "platform/platform.h"

namespace taq {

namespace {

size_t lines_for(size_t entries, size_t load, size_t at_least) {
    size_t lines = at_least;
    while (load * lines < entries) lines *= 2;
    return lines;
}

}  // namespace

SparseTables::SparseTables(size_t most) : max_lines_(lines_for(most, kLoad, kMinLines)) {
    // Fresh anonymous memory reads as zeros: every key is free.
    const size_t bytes = max_lines_ * sizeof(Line);
    lines_ = static_cast<Line*>(platform::allocate_tables(bytes));
    if (!lines_) throw std::bad_alloc();
    // Small maps stay in small pages; past the first large page, large
    // pages fault in far fewer times.
    constexpr size_t kLargePage = size_t{2} << 20;
    if (bytes > kLargePage)
        platform::advise_large_pages(reinterpret_cast<uint8_t*>(lines_) + kLargePage, bytes - kLargePage);
    set_lines(kMinLines);
}

SparseTables::~SparseTables() { platform::release_tables(lines_, max_lines_ * sizeof(Line)); }

void SparseTables::set_lines(size_t lines) {
    line_count_ = lines < max_lines_ ? lines : max_lines_;
    if (used_lines_ < line_count_) used_lines_ = line_count_;
    shift_ = 32 - static_cast<uint32_t>(__builtin_ctzll(line_count_));
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
    std::vector<Line> old(lines_, lines_ + line_count_);
    clear_keys(line_count_);
    count_ = 0;
    set_lines(lines_for(needed, kLoad, 2 * line_count_));
    for (const Line& line : old) {
        for (int j = 0; j < kWays; ++j) {
            const uint32_t k = line.keys[j];
            if (k != 0) std::memcpy(at((k >> kIndexBits) - 1, k & ((1u << kIndexBits) - 1)), line.values[j], 16);
        }
    }
}

}  // namespace taq
