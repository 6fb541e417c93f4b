// The match model: finds the last occurrence of the newest bytes in the
// history and predicts that the byte which followed it comes again.
//
// The match table has one 4-byte slot per 16 bytes of model memory; a slot
// holds the history position that followed the eight bytes (the four before
// the newest word, and that word) that hash to it. After each byte the
// model looks up the slot of the newest eight bytes, and when the match it
// followed breaks it takes the position found there and counts how many
// bytes before it agree (up to 32). From `min_match` agreeing bytes on it
// predicts.
//
// Whether the prediction holds is coded as one flag, mixed through a chain
// of six two-input stages: stage 1 by the match length alone (from the
// bit-history state of earlier flags), stages 2..6 by the length and the
// predicted byte combined with the hashes and the newest bytes. Each stage
// learns from its own output once the byte is known. Stage 1 has 512 pairs,
// the others 65,536 each, all in the hot area (table_memory.h). A hit codes
// the whole byte with that one flag; a miss goes on to the context model,
// which then knows that the predicted byte is not the one.
#pragma once

#include <cstdint>

#include "model/byte_context.h"
#include "model/byte_order.h"
#include "model/primitives.h"
#include "model/table_memory.h"

namespace taq {

struct MatchModel {
    explicit MatchModel(const HotArea& hot, uint32_t memory)
        : slot_mask(memory / 16 - 1),
          stage1{512, hot.weights(HotArea::kFlag1At)},
          stage2{65536, hot.weights(HotArea::kFlagAt)},
          stage3{65536, hot.weights(HotArea::kFlagAt + HotArea::kFlagStageBytes)},
          stage4{65536, hot.weights(HotArea::kFlagAt + 2 * HotArea::kFlagStageBytes)},
          stage5{65536, hot.weights(HotArea::kFlagAt + 3 * HotArea::kFlagStageBytes)},
          stage6{65536, hot.weights(HotArea::kFlagAt + 4 * HotArea::kFlagStageBytes)} {}

    uint32_t slot_mask;           // slots in the match table - 1
    uint32_t ptr = 0xFFFFFFFFu;   // the history position that the match predicts from
    uint32_t len = 0;             // bytes the match has held (verified up to 32 when found)
    int32_t pred = -1;            // the predicted byte, -1 for none
    uint8_t flag_state = 0;       // bit history of the flags
    struct Selection {
        int16_t* w;  // the selected pair
        int32_t m0, m1, out;
    };
    Selection sel[6] = {};
    Mixer2 stage1, stage2, stage3, stage4, stage5, stage6;

    // The state a reset starts from; the stages are set back apart (only
    // when used since the last reset).
    void reset() {
        ptr = 0xFFFFFFFFu;
        len = 0;
        flag_state = 0;
    }
    void reset_stages() {
        stage1.reset();
        stage2.reset();
        stage3.reset();
        stage4.reset();
        stage5.reset();
        stage6.reset();
    }

    // The byte the match predicts (valid when len >= min_match).
    int32_t predicted(const ByteContext& bytes) const { return bytes.history[ptr & bytes.mask]; }

    // The match table slot of the position `e` (one past the newest byte),
    // from the four bytes before the newest word and that word, `newest`,
    // with its newest byte lowest (as ByteContext::newest4 holds it). Every
    // caller uses this one formula: the byte step, and the fetches ahead.
    [[gnu::always_inline]] uint32_t slot(const uint8_t* e, uint32_t newest, bool text) const {
        if (!text) return (load_le32(e - 7) * 16777619u ^ newest) & slot_mask;
        // Under the text transform the newest word enters little-endian.
        return (load_le32(e - 8) * 16777619u ^ __builtin_bswap32(newest)) & slot_mask;
    }
    // The slot that the next byte step will use is known before the byte
    // itself, but for the byte's low bits (without the text transform) or
    // entirely (with it, below 512 MiB): fetch its line while the byte is
    // coded. `c_guess` holds the byte's known (or expected) high bits.
    template <class Storage>
    [[gnu::always_inline]] void fetch_next_slot(Storage st, const ByteContext& bytes, uint32_t c_guess,
                                                bool text) const {
        const uint32_t pos = (bytes.pos + 1) & bytes.mask;
        if (pos < 8) return;
        st.fetch_slot(slot(bytes.history + pos, (bytes.newest4 << 8) | c_guess, text));
    }
    // The slot of the position `e`, several bytes ahead, from the bytes
    // themselves: known to the encoder, likely to the decoder inside a match.
    template <class Storage>
    [[gnu::always_inline]] void fetch_slot_at(Storage st, const uint8_t* e, bool text) const {
        st.fetch_slot(slot(e, load_be32(e - 4), text));
    }

    // The match length's share in the flag stages' contexts.
    static uint32_t length_bucket(uint32_t len) { return len <= 64 ? ((len - 7) & 255) : (len < 128 ? 62 : 63); }
    // The pairs that stages 1..6 select for a byte with the prediction
    // `pred` after a match of `len` bytes, in the contexts the hashes and
    // the two newest bytes give.
    struct FlagContexts {
        uint32_t s1, s2, s3, s4, s5, s6;
    };
    static FlagContexts flag_contexts(uint32_t pred, uint32_t len, uint32_t h2, uint32_t h3, uint32_t h5,
                                      uint32_t c1, uint32_t c2) {
        const uint32_t bucket = length_bucket(len);
        return {bucket,
                (pred + h3) & 0xFFFF,
                (h2 + h5) & 0xFFFF,
                ((c1 << 8) | pred) & 0xFFFF,
                ((pred << 8) | bucket) & 0xFFFF,
                ((c2 << 8) | pred) & 0xFFFF};
    }

    // One stage of the chain, remembering its selection for the update.
    [[gnu::always_inline]] int32_t mix(int k, Mixer2& stage, uint32_t ctx, int32_t m0, int32_t m1) {
        int16_t* const w = stage.data() + 2 * ctx;
        const int32_t out = mix_sum(w, 0, m0, 1, m1) >> 13;
        sel[k] = {w, m0, m1, out};
        return out;
    }
    // The probability that the predicted byte comes.
    [[gnu::always_inline]] int32_t predict(const ByteContext& bytes) {
        const FlagContexts f = flag_contexts(static_cast<uint32_t>(pred), len, bytes.h2, bytes.h3, bytes.h5, bytes.c1,
                                             (bytes.newest4 >> 8) & 0xFF);
        const int32_t q = state_p(flag_state) - 2047;
        const int32_t y1 = mix(0, stage1, f.s1, 512, q);
        const int32_t y2 = mix(1, stage2, f.s2, 3072, wrap_mul(2, y1));
        int32_t a = (y1 + y2) >> 1;
        const int32_t y3 = mix(2, stage3, f.s3, 3072, wrap_mul(2, a));
        a = (a + y3) >> 1;
        const int32_t y4 = mix(3, stage4, f.s4, 3072, wrap_mul(2, a));
        a = (a + y4) >> 1;
        const int32_t y5 = mix(4, stage5, f.s5, 3072, wrap_mul(2, a));
        a = (a + y5) >> 1;
        const int32_t y6 = mix(5, stage6, f.s6, 3072, wrap_mul(2, a));
        a = (a + y6) >> 1;
        return squash(a);
    }

    // Fetch the weights that flag_contexts() selects (stage 1 is small; the
    // larger stages are hit at random).
    [[gnu::always_inline]] void fetch_flag_weights(uint32_t p, uint32_t length, uint32_t h2, uint32_t h3, uint32_t h5,
                                                   uint32_t c1, uint32_t c2) const {
        const FlagContexts f = flag_contexts(p, length, h2, h3, h5, c1, c2);
        __builtin_prefetch(stage2.weights() + 2 * f.s2, 0, 3);
        __builtin_prefetch(stage3.weights() + 2 * f.s3, 0, 3);
        __builtin_prefetch(stage4.weights() + 2 * f.s4, 0, 3);
        __builtin_prefetch(stage5.weights() + 2 * f.s5, 0, 3);
        __builtin_prefetch(stage6.weights() + 2 * f.s6, 0, 3);
    }
    // The same for the byte after `x`, were `x` a hit: the match goes on.
    [[gnu::always_inline]] void fetch_flag_weights_after_hit(const ByteContext& bytes, uint32_t x) const {
        const ByteContext::Hashes h = bytes.hashes_after(x);
        fetch_flag_weights(bytes.history[(ptr + 1) & bytes.mask], len + 1, h.h2, h.h3, h.h5, x, bytes.c1);
    }

    // How many bytes (up to 32) before ptr equal those before bytes.pos,
    // counting backwards from the newest.
    uint32_t verify(const ByteContext& bytes) const {
        const uint8_t* const history = bytes.history;
        const uint32_t at = bytes.pos;
        const uint32_t from = ptr & bytes.mask;
        if (at >= 32 && from >= 32) {
            // Eight bytes at a time: the newest byte is the top one of each word.
            for (uint32_t done = 0; done < 32; done += 8) {
                const uint64_t diff = load_le64(history + at - done - 8) ^ load_le64(history + from - done - 8);
                if (diff) return done + static_cast<uint32_t>(__builtin_clzll(diff)) / 8;
            }
            return 32;
        }
        uint32_t n = 0;
        for (uint32_t i = 1; i <= 32; ++i) {
            if (history[(at - i) & bytes.mask] != history[(ptr - i) & bytes.mask]) break;
            n = i;
        }
        return n;
    }

    // After the byte `c` was added to `bytes`: the stages learn whether the
    // prediction `p` (when there was one) held, the match goes on or is
    // looked up anew, and the slot of the newest bytes points here.
    template <class Storage>
    [[gnu::always_inline]] void update(Storage st, const ByteContext& bytes, uint8_t c, bool had_prediction,
                                       int32_t p, bool text, uint32_t min_match) {
        const int flag = had_prediction && c == p;
        uint32_t h = 0;
        // The newest word comes from the register: the byte just stored is
        // in it, and reading it back from memory would wait for that store.
        if (bytes.pos >= 8) h = slot(bytes.history + bytes.pos, bytes.newest4, text);
        if (had_prediction) {
            flag_state = state_next(flag_state, flag);
            for (const Selection& f : sel) {
                const int32_t err = (flag << 12) - squash(f.out);
                learn_weight(f.w, 0, err, f.m0);
                learn_weight(f.w, 1, err, f.m1);
            }
        }
        ++len;
        ++ptr;
        uint32_t* const s = st.slot(h);
        const uint32_t previous = *s;
        if (!flag) {
            len = 0;
            ptr = previous;
            if (ptr != bytes.pos) len = verify(bytes);
        }
        if (previous == 0) [[unlikely]] st.note_new_slot(h);
        *s = bytes.pos;
        if (len >= min_match)
            fetch_flag_weights(bytes.history[ptr & bytes.mask], len, bytes.h2, bytes.h3, bytes.h5, bytes.c1,
                               (bytes.newest4 >> 8) & 0xFF);
    }
};

}  // namespace taq
