// The context model: what codes a byte that the match model did not
// predict (or predicted wrongly), bit by bit.
//
// Looked up per bit, each a bit-history state (one byte, stepped in place):
//   T1..T4  four hashed tables of 16-byte buckets: T1 (memory bytes) by the
//           order-4 and -5 hashes, T2 (memory / 2) by the order-3 hash, T3
//           (memory / 4) by the order-2 hash, T4 (memory / 8) by the two
//           bytes before the newest two and the match prediction (under the
//           text transform T1 and T4 hang on the prediction, T2 and T3 on
//           the order-4 and -3 hashes); see ByteContext::context_bases.
//   rows    the order-1 row of the newest byte and the skip row of the one
//           before it, 256 slots each, in the hot area.
// A bucket holds one nibble: byte 0 is a check (the context's top eight
// bits; 0 marks a free bucket), bytes 1..15 the states of the nibble's 15
// nodes. A byte takes two buckets per table, selected at bits 7 and 3 as
// base + node, so each base is computed once per byte.
//
// Mixing: stage 1 mixes the skip row with T4, stage 2 the order-1 row with
// T3, stage 3 T2 and T1 each averaged with the mean of stages 1 and 2 (512
// pairs each, selected by the states; after a failed match prediction the
// pairs from 256 on). The final stage mixes a constant with the doubled
// stage-3 output, 131,072 pairs selected by the predicted byte (or the
// newest byte, without a prediction) and the node; its regions of 256 pairs
// are reset on first use after a model reset and clamped per segment only
// where they were used.
//
// Prefetch schedule (general_coder.h drives the fetches ahead of a byte):
// the bases of a byte are known before it; the decoder, which learns the
// byte bit by bit, fetches the second nibble's candidates after bits 6
// and 5 below, and hands the coder a hook at bit 3, once the match slot of
// the next byte is known but for the low nibble.
#pragma once

#include <cstdint>
#include <cstring>

#include "model/primitives.h"
#include "model/table_memory.h"

namespace taq {

struct ContextModel {
    ContextModel(const HotArea& hot, uint32_t memory)
        : rows(hot.p + HotArea::kRowsAt),
          row_o1(rows),
          row_skip(rows),
          final_stage{131072, hot.weights(HotArea::kFinalAt), Mixer2::Unset{}},
          stages{3 * kStagePairs, hot.weights(HotArea::kStagesAt)} {
        for (int k = 0; k < 4; ++k) masks[k] = (memory >> k) - 1;
    }

    uint8_t* const rows;    // kRowArea bytes: 256 order-1 rows, then 256 skip rows
    uint8_t* row_o1;        // of the newest byte
    uint8_t* row_skip;      // of the byte before it
    uint32_t miss_flag = 0;  // 256 after a failed match prediction
    uint32_t final_ctx = 0;  // the final stage's context of the byte, low eight bits clear
    uint8_t* buckets[4] = {};  // T1..T4 of the current nibble
    uint32_t base[4] = {};     // per-byte context bases of T1..T4
    uint32_t masks[4] = {};    // byte-offset masks of T1..T4
    Mixer2 final_stage;
    // The final stage's weights in regions of 256 pairs (one per byte
    // context): those used since the reset, and since the last clamp.
    uint64_t final_used[8] = {};
    uint64_t final_unclamped[8] = {};
    Mixer2 stages;  // stages 1..3, kStagePairs each

    // The byte offset in T(k+1) of the bucket of a whole context.
    uint32_t bucket_offset(int k, uint32_t v) const { return ((v + (v >> 24)) << 4) & masks[k]; }
    // Starts fetching the bucket of a whole context.
    template <class Storage>
    [[gnu::always_inline]] void fetch_bucket(Storage st, int k, uint32_t v) const {
        st.fetch_bucket(static_cast<uint32_t>(k), bucket_offset(k, v));
    }

    // After the byte `c` (with `c2` before it): the rows of the next byte.
    void follow(uint32_t c, uint32_t c2) {
        row_skip = rows + 65536 + 256 * c2;
        row_o1 = rows + 256 * c;
    }
    // The byte to code has a match prediction `pred` that failed, or none
    // (then `c1` is the newest byte).
    void start_byte(bool has_prediction, int32_t pred, uint32_t c1) {
        if (!has_prediction) {
            miss_flag = 0;
            final_ctx = (c1 << 8) | 65536;
        } else {
            miss_flag = 256;
            final_ctx = static_cast<uint32_t>(pred) << 8;
        }
    }

    // One byte: for each bit, predict, code, learn. The per-bit state
    // (node, position in the nibble, buckets) lives in locals so that it
    // stays in registers across the eight bits. `on_low_nibble(high)` runs
    // (decoding) once the high nibble is known.
    template <class Coder, class Storage, class NibbleHook>
    uint32_t code_byte(Coder& coder, Storage st, uint32_t c, NibbleHook on_low_nibble);

    template <class Storage>
    [[gnu::always_inline]] void select_buckets(Storage st, uint32_t node) {
        for (int k = 0; k < 4; ++k) {
            const uint32_t v = base[k] + node;
            const uint32_t chk = v >> 24;
            uint8_t* const b = st.bucket(static_cast<uint32_t>(k), bucket_offset(k, v));
            if (b[0] != chk || chk == 0) [[unlikely]] take_bucket(st, b, chk);
            buckets[k] = b;
        }
    }
    // A bucket whose check does not match is taken over, cleared.
    template <class Storage>
    static void take_bucket(Storage st, uint8_t* b, uint32_t chk) {
        if (b[0] == 0) st.note_new_bucket(b);
        if (b[0] != chk) {
            const uint64_t zero = 0;
            std::memcpy(b, &zero, 8);
            std::memcpy(b + 8, &zero, 8);
            b[0] = static_cast<uint8_t>(chk);
        }
    }

    // The clamp of the final stage's regions used since the last one.
    void clamp_segment();
    // The model reset: the rows, the stages and the final stage's regions.
    void reset_weights();
    void reset() {
        miss_flag = 0;
        row_o1 = rows;
        row_skip = rows;
    }
};

template <class Coder, class Storage, class NibbleHook>
[[gnu::always_inline]] inline uint32_t ContextModel::code_byte(Coder& coder, Storage st, uint32_t c,
                                                               NibbleHook on_low_nibble) {
    const int32_t mf = static_cast<int32_t>(miss_flag);
    const uint32_t fctx = final_ctx;
    uint8_t* const o1_row = row_o1;
    uint8_t* const skip_row = row_skip;
    // After a failed match prediction stages 1..3 use the pairs 256 on.
    int16_t* const w1 = stages.data() + 2 * mf;
    int16_t* const w2 = w1 + 2 * kStagePairs;
    int16_t* const w3 = w1 + 4 * kStagePairs;
    // The final stage's context is final_ctx | node, and final_ctx has its
    // low eight bits clear: one base per byte, the node added per bit.
    int16_t* const wf = final_stage.data() + 2 * (fctx & 0x1FF00);
    {
        const uint32_t region = (fctx >> 8) & 511;
        const uint64_t bit = uint64_t{1} << (region & 63);
        if (!(final_used[region >> 6] & bit)) [[unlikely]] {
            final_stage.reset_pairs(256 * size_t{region}, 256);
            final_used[region >> 6] |= bit;
        }
        final_unclamped[region >> 6] |= bit;
    }
    uint8_t* bk[4] = {};
    uint32_t node = 1;
#pragma GCC unroll 8
    for (int j = 7; j >= 0; --j) {
        if (j == 3 && !Coder::encoding) on_low_nibble(node & 15);
        if (j == 7 || j == 3) {
            select_buckets(st, node);
            for (int k = 0; k < 4; ++k) bk[k] = buckets[k];
        }
        uint8_t* const so1 = o1_row + node;
        uint8_t* const ssk = skip_row + node;
        // The node within the nibble: the node itself in the first, its
        // bits below the nibble's leading one in the second.
        const uint32_t np = j >= 4 ? node : (node & ((1u << (3 - j)) - 1)) | (1u << (3 - j));
        uint8_t* const s4p = bk[3] + np;
        uint8_t* const s3p = bk[2] + np;
        uint8_t* const s2p = bk[1] + np;
        uint8_t* const s1p = bk[0] + np;
        const uint32_t o1 = *so1, sk = *ssk, s4 = *s4p, s3 = *s3p, s2 = *s2p, s1 = *s1p;
        // The next bit's final-stage pair and row slots are one of two
        // neighbours: fetch their lines while this bit is worked out.
        if (j > 0) {
            __builtin_prefetch(wf + 4 * node, 1, 3);
            __builtin_prefetch(o1_row + 2 * node, 1, 3);
            __builtin_prefetch(skip_row + 2 * node, 1, 3);
        }

        const size_t a1 = 2 * size_t{sk}, b1 = 2 * size_t{s4} + 1;
        const int32_t i1a = state_centred(sk), i1b = state_centred(s4);
        const int32_t x1 = mix_sum(w1, a1, i1a, b1, i1b) >> 13;
        const size_t a2 = 2 * size_t{o1}, b2 = 2 * size_t{s3} + 1;
        const int32_t i2a = state_centred(o1), i2b = state_centred(s3);
        const int32_t x2 = mix_sum(w2, a2, i2a, b2, i2b) >> 13;
        const int32_t avg = (x1 + x2) >> 1;
        const size_t a3 = 2 * size_t{s2}, b3 = 2 * size_t{s1} + 1;
        const int32_t i3a = (avg + state_centred(s2)) >> 1;
        const int32_t i3b = (avg + state_centred(s1)) >> 1;
        const int32_t x3 = mix_sum(w3, a3, i3a, b3, i3b) >> 13;
        const size_t af = 2 * size_t{node};
        const int32_t ifb = wrap_mul(2, x3);
        const int32_t p = squash(mix_sum(wf, af, 768, af + 1, ifb) >> 13);

        const int bit = coder.step(static_cast<int>((c >> j) & 1), static_cast<uint32_t>(p));

        // Slots are stepped in place in this order; after a reset the
        // order-1 and skip slots may be the same byte, stepped twice.
        *so1 = state_next(*so1, bit);
        *ssk = state_next(*ssk, bit);
        *s4p = state_next(*s4p, bit);
        *s3p = state_next(*s3p, bit);
        *s2p = state_next(*s2p, bit);
        *s1p = state_next(*s1p, bit);

        const int32_t err = (bit << 12) - p;
        const int32_t e = (err + 1) >> 1;
        learn_weight(w1, a1, e, i1a);
        learn_weight(w1, b1, e, i1b);
        learn_weight(w2, a2, e, i2a);
        learn_weight(w2, b2, e, i2b);
        learn_weight(w3, a3, e, i3a);
        learn_weight(w3, b3, e, i3b);
        learn_weight(wf, af, err, 768);
        learn_weight(wf, af + 1, err, ifb);

        node = 2 * node + static_cast<uint32_t>(bit);
        coder.settle();
        if (Coder::encoding) {
            // The encoder fetched the second nibble's buckets with the byte.
        } else if (j == 6) {
            // The second nibble's buckets are one of four: fetch those of
            // the two largest tables now, the other two a bit later.
            for (uint32_t i = 0; i < 4; ++i) {
                fetch_bucket(st, 0, base[0] + 4 * node + i);
                fetch_bucket(st, 1, base[1] + 4 * node + i);
            }
        } else if (j == 5) {
            for (uint32_t i = 0; i < 2; ++i) {
                fetch_bucket(st, 2, base[2] + 2 * node + i);
                fetch_bucket(st, 3, base[3] + 2 * node + i);
            }
        }
    }
    return node & 0xFF;
}


}  // namespace taq
