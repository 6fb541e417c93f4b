// The small direct models: what images, audio and compressed media are
// coded with. Two counter contexts (ctx_a, ctx_b: a neighbour byte each,
// times 512, plus the node of the byte's bits so far) feed a first mixer
// stage whose pairs the same two contexts select; a second stage, selected
// by a third context (ctx_c), refines its output. Counters and weights sit
// in registers for the eight bits of a byte. The per-kind coders
// (kind_coders.h) choose the neighbours; the three blends below differ in
// how the second stage is selected and how its output is combined, and
// each kind keeps to its own so that the coded stream stays what it is.
//
// Tables: 131,584 counters (two contexts of up to 257 x 512 each), 131,328
// first-stage and 65,536 second-stage weight pairs: about 1 MiB, set up on
// first use after a reset (general data never needs them).
#pragma once

#include <algorithm>
#include <cstdint>

#include "model/primitives.h"
#include "platform/platform.h"

namespace taq {

// How the second stage is selected and its output used, per kind.
enum class SmallBlend {
    media = 1,  // by the bits of the byte so far shifted into ctx_c; its output alone
    audio = 2,  // by node | ctx_c, from the doubled first-stage output; its output alone
    image = 3,  // by node | ctx_c, from the first stage's output; both results summed
};

struct SmallModels {
    SmallModels() : counters(131584) {}

    platform::MappedArray<uint16_t> counters;
    uint32_t ctx_a = 0, ctx_b = 0, ctx_c = 0;
    bool ready = false;    // set up since the last reset that followed use
    bool touched = false;  // used since the last reset
    Mixer2 stage1{131328, Mixer2::Unset{}};
    Mixer2 stage2{65536, Mixer2::Unset{}};

    // Sets the models up when first used after a reset that followed use.
    void use() {
        if (!ready) {
            stage1.reset();
            stage2.reset();
            std::fill(counters.begin(), counters.end(), uint16_t{1024});
            ready = true;
        }
        touched = true;
    }
    // The model reset: costs nothing until the next use.
    void reset() {
        if (touched) ready = false;
        touched = false;
        ctx_a = ctx_b = ctx_c = 0;
    }
    // The weight clamp the drivers run per segment.
    void clamp() {
        stage1.clamp();
        stage2.clamp();
    }
    void set_contexts(uint32_t a, uint32_t b, uint32_t c) {
        ctx_a = a;
        ctx_b = b;
        ctx_c = c;
    }

    // One byte: eight bits of predict, code, learn.
    template <SmallBlend Blend, class Coder>
    void code_byte(Coder& coder, uint8_t* byte);
};

template <SmallBlend Blend, class Coder>
inline void SmallModels::code_byte(Coder& coder, uint8_t* byte) {
    const uint32_t c = Coder::encoding ? *byte : 0;
    const uint32_t a = ctx_a, b = ctx_b;
    uint32_t cc = ctx_c;
    uint32_t node = 1;
    int16_t* const w1 = stage1.data();
    int16_t* const w2 = stage2.data();
    uint16_t* const n = counters.data();
#pragma GCC unroll 8
    for (int j = 7; j >= 0; --j) {
        const uint32_t ia = a + node, ib = b + node;
        const int32_t in_a = n[ia] - 1023, in_b = n[ib] - 1023;
        const size_t sa = 2 * size_t{ia}, sb = 2 * size_t{ib} + 1;
        const int32_t t = mix_sum(w1, sa, in_a, sb, in_b);
        int32_t h;
        size_t k;
        if constexpr (Blend == SmallBlend::media) {
            h = t >> 13;
            k = cc & 0xFFFF;
        } else if constexpr (Blend == SmallBlend::audio) {
            h = wrap_mul(t >> 13, 2);
            k = (node | cc) & 0xFFFF;
        } else {
            h = t >> 14;
            k = (node | cc) & 0xFFFF;
        }
        const int32_t y = mix_sum(w2, 2 * k, 512, 2 * k + 1, h) >> 13;
        const int32_t p = squash(Blend == SmallBlend::image ? wrap_add(h, y) : y);
        const int bit = coder.bit(static_cast<int>((c >> j) & 1), static_cast<uint32_t>(p));
        n[ia] = counter_next(n[ia], bit);
        n[ib] = counter_next(n[ib], bit);
        const int32_t err = (bit << 12) - p;
        learn_weight(w1, sa, err, in_a);
        learn_weight(w1, sb, err, in_b);
        learn_weight(w2, 2 * k, err, 512);
        learn_weight(w2, 2 * k + 1, err, h);
        node = 2 * node + static_cast<uint32_t>(bit);
        if constexpr (Blend == SmallBlend::media) cc = ((cc << 1) | static_cast<uint32_t>(bit)) & 0xFFFF;
    }
    ctx_c = cc;
    if constexpr (!Coder::encoding) *byte = static_cast<uint8_t>(node & 0xFF);
}

}  // namespace taq
