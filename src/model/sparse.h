// A small stand-in for the big hashed tables. The tables are hundreds of
// MiB and every input touches them all over, so a few KB of input would
// fault in every page of them. While little has been coded since a reset
// the engine keeps the same buckets and match slots here instead: a hash
// map from (table, index) to 16 bytes, zero until first written, exactly
// as the tables would hold them. The engine moves them into the tables
// once the map grows past its limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace taq {

class SparseTables {
public:
    // Tables 0..3 are the bucket tables T1..T4, table 4 the match table,
    // four 4-byte slots to an entry (neighbouring slots share a line, as
    // in the table itself).
    static constexpr uint32_t kMatch = 4;
    static constexpr uint32_t kIndexBits = 28;

    // Reserves address space for up to `most` entries; memory is taken
    // only as lines are used. Throws std::bad_alloc.
    explicit SparseTables(size_t most);
    ~SparseTables();
    SparseTables(const SparseTables&) = delete;
    SparseTables& operator=(const SparseTables&) = delete;

    // Drops every entry and makes room for about `expected` of them. Costs
    // what the map used since the last clear.
    void clear(size_t expected);
    // From now on the lines in use are mapped in before they are used, on
    // `threads` threads, rather than faulted in one by one.
    void populate_ahead(unsigned threads);
    size_t size() const { return count_; }
    // Room for `more` new entries without moving the existing ones (the
    // caller keeps the total within `most`).
    void reserve(size_t more) {
        if (count_ + more > kLoad * line_count_) grow(count_ + more);
    }

    // The 16 bytes of (table, index), inserted as zeros when new. Stay
    // where they are until a reserve() that grows, or clear().
    uint8_t* at(uint32_t table, uint32_t index) {
        const uint32_t key = make_key(table, index);
        for (size_t i = home(key);; i = i + 1 == line_count_ ? 0 : i + 1) {
            Line& line = lines_[i];
            for (int j = 0; j < kWays; ++j) {
                if (line.keys[j] == key) return line.values[j];
                if (line.keys[j] == 0) {
                    line.keys[j] = key;
                    std::memset(line.values[j], 0, 16);
                    ++count_;
                    return line.values[j];
                }
            }
        }
    }
    uint32_t* slot(uint32_t index) { return reinterpret_cast<uint32_t*>(at(kMatch, index >> 2)) + (index & 3); }
    // Start fetching the line where an entry lives or would go. (Always
    // inlined: left as calls, the compiler may find them free of side
    // effects and drop them.)
    [[gnu::always_inline]] void prefetch(uint32_t table, uint32_t index) const {
        __builtin_prefetch(&lines_[home(make_key(table, index))], 1, 3);
    }
    [[gnu::always_inline]] void prefetch_slot(uint32_t index) const { prefetch(kMatch, index >> 2); }

    // Calls f(table, index, bytes) for every entry.
    template <class F>
    void for_each(F f) const {
        for (size_t i = 0; i < line_count_; ++i) {
            for (int j = 0; j < kWays; ++j) {
                const uint32_t k = lines_[i].keys[j];
                if (k != 0) f(key_table(k), key_index(k), lines_[i].values[j]);
            }
        }
    }

private:
    // Three entries to a cache line, so that a lookup costs one line.
    static constexpr int kWays = 3;
    struct alignas(64) Line {
        uint32_t keys[kWays];  // 0: free
        uint32_t unused;
        uint8_t values[kWays][16];
    };
    static constexpr size_t kLoad = 2;  // entries per line, at most
    static constexpr size_t kMinLines = size_t{1} << 10;

    static uint32_t make_key(uint32_t table, uint32_t index) { return ((table + 1) << kIndexBits) | index; }
    static uint32_t key_table(uint32_t key) { return (key >> kIndexBits) - 1; }
    static uint32_t key_index(uint32_t key) { return key & ((1u << kIndexBits) - 1); }
    // The hash scaled to the line count (which need not be a power of two).
    [[gnu::always_inline]] size_t home(uint32_t key) const {
        return static_cast<size_t>((uint64_t{key * 0x9E3779B1u} * line_count_) >> 32);
    }
    void grow(size_t needed);
    void set_lines(size_t lines);
    void clear_keys(size_t lines);

    Line* lines_ = nullptr;
    size_t max_lines_ = 0;
    size_t line_count_ = 0;
    size_t used_lines_ = 0;  // lines from here on hold no keys
    size_t mapped_lines_ = 0;  // lines mapped in ahead of use
    unsigned populate_threads_ = 0;
    size_t count_ = 0;
};

}  // namespace taq
