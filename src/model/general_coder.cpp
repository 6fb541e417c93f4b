#include "model/general_coder.h"

#include <algorithm>
#include <new>

#include "platform/platform.h"

namespace taq {

size_t GeneralCoder::sparse_entries_for(uint64_t input) {
    // A few KB add up to six entries a byte, 100 KB three to four, more
    // fewer as their contexts recur. The map grows if this falls short;
    // too much costs memory touched in vain.
    const uint64_t a = std::min<uint64_t>(input, 16384), b = std::min<uint64_t>(input, 131072);
    return static_cast<size_t>(6 * a + 4 * (b - a) + (input - b) * 22 / 10);
}

size_t GeneralCoder::sparse_limit_for(uint32_t memory) {
    // T1..T4 and the match table hold 2.125 x memory bytes.
    const size_t tables = size_t{memory} * 2 + memory / 8;
    return std::min(tables / 64, size_t{1} << 22);
}

GeneralCoder::GeneralCoder(uint32_t memory)
    : tables_(memory),
      mem_(memory),
      sparse_limit_(sparse_limit_for(memory)),
      // A block can add nine entries a byte past the limit.
      sparse_(sparse_limit_ + 9 * size_t{kBlockSize}),
      cm_(tables_.hot, memory),
      match_(tables_.hot, memory) {
    bytes_.history = tables_.history;
    bytes_.mask = memory - 1;
}

void GeneralCoder::prefer_large_pages(unsigned populate_threads) {
    if (tables_.prefer_large_pages(populate_threads)) sparse_.populate_ahead(populate_threads);
}

GeneralCoder::~GeneralCoder() = default;

void GeneralCoder::leave_sparse() {
    // The tables are all zero here: nothing reached them since the reset.
    sparse_.for_each([this](uint32_t table, uint32_t index, const uint8_t* bytes) {
        if (table == SparseTables::kMatch) {
            std::memcpy(tables_.match_table + 4 * index, bytes, 16);
            for (uint32_t i = 0; i < 4; ++i) tables_.note_slot(4 * index + i);
        } else {
            uint8_t* b = tables_.buckets[table] + (size_t{index} << 4);
            std::memcpy(b, bytes, 16);
            tables_.note_bucket(b);
        }
    });
    sparse_.clear(0);
    sparse_active_ = false;
}

void GeneralCoder::reset(uint64_t expected) {
    if (touched_) {
        tables_.clear(bytes_.written);
        cm_.reset_weights();
        match_.reset_stages();
    }
    tables_.forget();
    tables_.expect(expected);
    sparse_active_ = expected <= sparse_limit_ / kSparseBytesShare;
    sparse_.clear(sparse_active_ ? sparse_entries_for(expected) : 0);
    touched_ = false;

    match_.reset();
    bytes_.reset();
    cm_.reset();
}

}  // namespace taq
