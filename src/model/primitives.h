// The arithmetic of the models: squash, bit-history states, adaptive
// counters and the two-input mixer. Everything is integer so that the
// compressor and the decompressor compute identical probabilities.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace taq {

// 32-bit wrapping arithmetic as the coded stream defines it.
inline int32_t wrap_mul(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
inline int32_t wrap_add(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// Weighted sum of two selected weights, as the mixers define it: 32-bit
// wrapping products and sum (the caller shifts).
inline int32_t mix_sum(const int16_t* w, size_t s0, int32_t m0, size_t s1, int32_t m1) {
    return wrap_add(wrap_mul(w[s0], m0), wrap_mul(w[s1], m1));
}
// One weight's rounded learning step, a 16-bit wrapping addition.
inline void learn_weight(int16_t* w, size_t slot, int32_t err, int32_t input) {
    w[slot] = static_cast<int16_t>(w[slot] + ((wrap_mul(err, input) + 16384) >> 15));
}

struct Tables {
    int16_t squash[4096];
    uint16_t counter_next[2048][2];
    Tables();
};
extern const Tables kTables;

// Mixing-domain value to a probability of a 1 in 1/4096 (1..4095).
inline int32_t squash(int32_t x) {
    const int32_t i = x + 2047;
    if (i <= 0) return 1;
    if (i > 4095) return 4095;
    return kTables.squash[i];
}

struct StateRow {
    uint16_t next0, next1, p;
};
extern const StateRow kStates[256];

// The same table split for the per-bit path: successors by bit, and the
// probability already centred (p - 2047).
struct StateLookup {
    uint8_t next[2][256];  // by bit first: the lookups of one bit share a row
    int16_t centred[256];
    StateLookup();
};
extern const StateLookup kStateLookup;

inline uint8_t state_next(uint8_t s, int bit) { return kStateLookup.next[bit][s]; }
inline int32_t state_p(uint8_t s) { return kStates[s].p; }
inline int32_t state_centred(uint32_t s) { return kStateLookup.centred[s]; }
inline uint16_t counter_next(uint16_t c, int bit) { return kTables.counter_next[c][bit]; }

// A table of weight pairs. Each prediction selects two weights by context
// and combines two predictions linearly (mix_sum); each learns on its own
// (learn_weight). The table only owns the weights and their reset and clamp.
class Mixer2 {
public:
    // For an owner that resets the pairs itself before their first use:
    // the weights start at zero.
    struct Unset {};
    Mixer2(int32_t size, Unset) : size_(size), weights_(2 * static_cast<size_t>(size)) {}
    explicit Mixer2(int32_t size) : Mixer2(size, Unset{}) { reset(); }
    // The same on 2 * size weights of someone else's memory.
    Mixer2(int32_t size, int16_t* storage, Unset) : size_(size), weights_(storage, 2 * static_cast<size_t>(size)) {}
    Mixer2(int32_t size, int16_t* storage) : Mixer2(size, storage, Unset{}) { reset(); }

    int32_t size() const { return size_; }

    void reset() { reset_pairs(0, static_cast<size_t>(size_)); }
    void clamp() { clamp_pairs(0, static_cast<size_t>(size_)); }

    // The same on `count` pairs from `first` on, for a caller that knows
    // which pairs it used: every pair back to (0, 4096), or every weight
    // into -16384..16384.
    void reset_pairs(size_t first, size_t count);
    void clamp_pairs(size_t first, size_t count);
    const int16_t* weights() const { return weights_.data(); }
    int16_t* data() { return weights_.data(); }

private:
    int32_t size_;
    platform::MappedArray<int16_t> weights_;
};

}  // namespace taq
