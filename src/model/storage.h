// Where the general model keeps its buckets and match slots: in the hashed
// tables (TableMemory), or, for an input too small to be worth faulting in
// the tables, in the small-input map (SparseTables), which holds the same
// 16-byte lines exactly as the tables would. The coding loops are templates
// over one of these two types; each is a reference and inline calls, so
// that the per-bit path knows at compile time which one it works on.
//
// Both offer the same calls: a bucket of table k (T1..T4) at a byte offset
// (a multiple of 16), a match slot, and a fetch of either; what a reset
// must learn of a first write; and what a block and a byte must do first.
#pragma once

#include <cstdint>

#include "model/sparse.h"
#include "model/table_memory.h"

namespace taq {

struct TableStorage {
    TableMemory& t;

    uint8_t* bucket(uint32_t k, uint32_t offset) const { return t.buckets[k] + offset; }
    uint32_t* slot(uint32_t h) const { return t.match_table + h; }
    // (The fetches are always inlined: left as calls, the compiler may find
    // them free of side effects and drop them.)
    [[gnu::always_inline]] void fetch_bucket(uint32_t k, uint32_t offset) const {
        __builtin_prefetch(t.buckets[k] + offset, 1, 3);
    }
    [[gnu::always_inline]] void fetch_slot(uint32_t h) const { __builtin_prefetch(t.match_table + h, 1, 3); }
    // A bucket or slot written for the first time since the reset.
    void note_new_bucket(uint8_t* b) const {
        if (t.logging()) t.note_bucket(b);
    }
    void note_new_slot(uint32_t h) const {
        if (t.logging()) t.note_slot(h);
    }
    void start_block() const { t.populate_if_pending(); }
    void start_byte() const {}
    // A slot known but for the low nibble of its byte lies in one line.
    static constexpr uint32_t kNibbleSlotStep = 16;
};

struct MapStorage {
    SparseTables& map;

    uint8_t* bucket(uint32_t k, uint32_t offset) const { return map.at(k, offset >> 4); }
    uint32_t* slot(uint32_t h) const { return map.slot(h); }
    [[gnu::always_inline]] void fetch_bucket(uint32_t k, uint32_t offset) const { map.prefetch(k, offset >> 4); }
    [[gnu::always_inline]] void fetch_slot(uint32_t h) const { map.prefetch_slot(h); }
    // The map starts empty at each reset and is cleared whole.
    void note_new_bucket(uint8_t*) const {}
    void note_new_slot(uint32_t) const {}
    void start_block() const {}
    // A byte adds at most nine entries: eight buckets and a match slot.
    void start_byte() const { map.reserve(9); }
    // ... and in one of four entries here.
    static constexpr uint32_t kNibbleSlotStep = 4;
};

}  // namespace taq
