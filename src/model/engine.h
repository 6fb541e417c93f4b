// The modelling engine: the hashed context model, the match model, the
// small direct models, the general block coder and the per-kind coders,
// with all the state they share. Every coding loop is one template over
// the coder (Encoder or Decoder), so the two directions cannot drift.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "model/byte_context.h"
#include "model/kind_coders.h"
#include "model/match_model.h"
#include "model/primitives.h"
#include "model/small_models.h"
#include "model/storage.h"
#include "model/table_memory.h"
#include "model/sparse.h"
#include "platform/platform.h"

namespace taq {

class Engine {
public:
    // Allocates the segment buffer and the model tables for model memory
    // `memory` (a power of two, at least 16 bytes). Throws std::bad_alloc.
    explicit Engine(uint32_t memory);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    uint32_t memory() const { return mem_; }
    // Backs the hashed tables with large pages from now on; worth it when
    // much data follows, a loss for small inputs (each first touch clears
    // a whole large page). With `populate_threads`, the tables are mapped
    // in on that many threads when general data is first coded in them
    // (not while a small input keeps to its map, whose lines are mapped in
    // as it grows): each page then costs far less than a fault in the
    // middle of the coding. Images and audio never touch them.
    void prefer_large_pages(unsigned populate_threads);
    uint8_t* segment() { return tables_.segment; }

    // Clears the whole model. Costs what the model touched since the last
    // reset, not the size of the tables. `expected` is about how many bytes
    // will be coded before the next reset: a small input keeps its buckets
    // in a small map rather than in the tables (any figure codes the same).
    void model_reset(uint64_t expected = UINT64_MAX);
    // Whether the general model still keeps to the small-input map.
    bool in_small_map() const { return sparse_active_; }

    // Per-entry and per-segment settings read by the models.
    uint8_t min_match = 3;
    bool text_applied = false;

    // Weight clamps the drivers run per segment.
    void clamp_general_segment();
    void clamp_small_segment() { small_.clamp(); }

    // One block (1..4096 bytes) of general data. The encoder passes whether
    // the block goes raw; the decoder learns it from the stream.
    template <class Coder>
    void code_general_chunk(Coder& coder, uint8_t* bytes, uint32_t n, int raw);

    // The first `length` bytes of `segment()` through the coder of the
    // data kind `c` chooses (kind_coders.h).
    template <class Coder>
    void code_kind(Coder& coder, uint64_t length, const CodingChoices& c) {
        taq::code_kind(small_, coder, tables_.segment, length, c);
    }

private:
    template <class Coder, class Storage>
    [[gnu::noinline]] void code_general(Coder& coder, uint8_t* bytes, uint32_t n, int raw);
    template <class Coder, class Storage>
    uint32_t cm_code_byte(Coder& coder, uint32_t c);
    int32_t mm_predict();
    template <class Storage>
    void byte_update(uint8_t c, bool had_prediction, int32_t pred);
    void set_context_bases(bool has_prediction, int32_t pred);
    uint32_t bucket_offset(int k, uint32_t context) const;  // in T(k+1), of a whole context
    template <class Storage>
    void fetch_bucket(int k, uint32_t context);
    template <class Storage>
    void select_buckets(uint32_t node);
    template <class Storage>
    void take_bucket(uint8_t* b, uint32_t chk);
    template <class Storage>
    void mm_update(uint8_t c, bool had_prediction, int32_t pred);
    void leave_sparse();
    // The storage the loops over `Storage` work on.
    template <class Storage>
    [[gnu::always_inline]] Storage store() {
        if constexpr (std::is_same_v<Storage, MapStorage>) return {sparse_};
        else return {tables_};
    }
    template <class Storage>
    void fetch_guessed();
    void note_guess(uint8_t c) { guess_[bytes_.newest4 & 0xFFFF] = c; }
    template <class Coder, class Storage>
    void fetch_ahead(const uint8_t* bytes, uint32_t i, uint32_t n, uint32_t c, bool has, int32_t pred, int raw,
                     bool& ahead_done);

    TableMemory tables_;
    uint32_t mem_;
    uint8_t* rows_ = nullptr;

    // What was touched since the last reset.
    bool touched_ = false;        // general model used since the reset
    // After a reset for a small input the buckets and match slots live in
    // sparse_, until it holds sparse_limit_ entries; then they move into
    // the tables. The map takes about 32 bytes an entry, so the limit keeps
    // it within half the tables' size (and 128 MiB).
    // Inputs of up to a quarter of the limit in bytes start in the map.
    static constexpr size_t kSparseBytesShare = 4;
    static size_t sparse_limit_for(uint32_t memory);
    static size_t sparse_entries_for(uint64_t input);
    size_t sparse_limit_;
    SparseTables sparse_;
    bool sparse_active_ = false;
    bool prefetch_next_ = false;  // modelled block: fetch buckets ahead
    static constexpr uint32_t kMatchAhead = 8;  // match slots fetched this many bytes ahead
    bool encoder_ahead_ = false;  // the encoder fetches a byte further ahead
    // The decoder's guess of each byte: the byte that last followed the
    // same two bytes. Only what is fetched ahead depends on it.
    uint8_t* guess_ = tables_.hot.p + HotArea::kGuessAt;

    ByteContext bytes_;
    uint8_t* o1_row_ = nullptr;
    uint8_t* skip_row_ = nullptr;

    // Per-byte state of the context model.
    uint32_t miss_flag_ = 0;
    uint32_t final_ctx_ = 0;
    uint8_t* buckets_[4] = {};  // T1..T4 of the current nibble
    uint32_t base_[4] = {};     // per-byte context bases of T1..T4
    uint8_t* tables4_[4] = {};  // T1..T4
    uint32_t masks4_[4] = {};   // byte-offset masks of T1..T4

    MatchModel match_;

    SmallModels small_;

    Mixer2 cm_final_{131072, tables_.hot.weights(HotArea::kFinalAt), Mixer2::Unset{}};
    // The final stage's weights in regions of 256 pairs (one per byte
    // context): those used since the reset, and since the last clamp. A
    // region is reset when first used after a reset; only used ones are
    // clamped.
    uint64_t final_used_[8] = {};
    uint64_t final_unclamped_[8] = {};
    Mixer2 cm_stages_{3 * kStagePairs, tables_.hot.weights(HotArea::kStagesAt)};
};

// ---------------------------------------------------------------------------
// Hot paths, visible to every caller so that they inline.

inline uint32_t Engine::bucket_offset(int k, uint32_t v) const { return ((v + (v >> 24)) << 4) & masks4_[k]; }

// (The fetch helpers below are always inlined: left as calls, the
// compiler may find them free of side effects and drop them.)

// Starts fetching the bucket of a whole context.
template <class Storage>
[[gnu::always_inline]] inline void Engine::fetch_bucket(int k, uint32_t v) {
    const uint32_t offset = bucket_offset(k, v);
    store<Storage>().fetch_bucket(static_cast<uint32_t>(k), offset);
}

// The four table contexts of a byte differ only by the node added to a
// per-byte base, so the bases are computed once per byte.
inline void Engine::set_context_bases(bool has_prediction, int32_t pred) {
    bytes_.bases_now(has_prediction, static_cast<uint32_t>(pred), text_applied, base_);
}

template <class Storage>
inline void Engine::select_buckets(uint32_t node) {
    for (int k = 0; k < 4; ++k) {
        const uint32_t v = base_[k] + node;
        const uint32_t chk = v >> 24;
        const uint32_t offset = bucket_offset(k, v);
        uint8_t* b;
        b = store<Storage>().bucket(static_cast<uint32_t>(k), offset);
        if (b[0] != chk || chk == 0) [[unlikely]] take_bucket<Storage>(b, chk);
        buckets_[k] = b;
    }
}

template <class Storage>
inline void Engine::take_bucket(uint8_t* b, uint32_t chk) {
    if (b[0] == 0) store<Storage>().note_new_bucket(b);
    if (b[0] != chk) {
        const uint64_t zero = 0;
        std::memcpy(b, &zero, 8);
        std::memcpy(b + 8, &zero, 8);
        b[0] = static_cast<uint8_t>(chk);
    }
}

// One byte through the context model: for each bit, predict, code, learn.
// The per-bit state (node, position in the nibble, buckets) lives in
// locals so that it stays in registers across the eight bits.
template <class Coder, class Storage>
inline uint32_t Engine::cm_code_byte(Coder& coder, uint32_t c) {
    const int32_t mf = static_cast<int32_t>(miss_flag_);
    const uint32_t fctx = final_ctx_;
    uint8_t* const o1_row = o1_row_;
    uint8_t* const skip_row = skip_row_;
    // After a failed match prediction stages 1..3 use the pairs 256 on.
    int16_t* const w1 = cm_stages_.data() + 2 * mf;
    int16_t* const w2 = w1 + 2 * kStagePairs;
    int16_t* const w3 = w1 + 4 * kStagePairs;
    // The final stage's context is final_ctx | node, and final_ctx has its
    // low eight bits clear: one base per byte, the node added per bit.
    int16_t* const wf = cm_final_.data() + 2 * (fctx & 0x1FF00);
    {
        const uint32_t region = (fctx >> 8) & 511;
        const uint64_t bit = uint64_t{1} << (region & 63);
        if (!(final_used_[region >> 6] & bit)) [[unlikely]] {
            cm_final_.reset_pairs(256 * size_t{region}, 256);
            final_used_[region >> 6] |= bit;
        }
        final_unclamped_[region >> 6] |= bit;
    }
    uint8_t* bk[4] = {};
    uint32_t node = 1;
#pragma GCC unroll 8
    for (int j = 7; j >= 0; --j) {
        if (j == 3 && !Coder::encoding) {
            // The slot is known but for the byte's low nibble: in the table
            // that leaves one line, in the sparse map one of four entries.
            for (uint32_t low = 0; low < 16; low += Storage::kNibbleSlotStep)
                match_.fetch_next_slot(store<Storage>(), bytes_, ((node & 15) << 4) | low, text_applied);
        }
        if (j == 7 || j == 3) {
            select_buckets<Storage>(node);
            for (int k = 0; k < 4; ++k) bk[k] = buckets_[k];
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
                fetch_bucket<Storage>(0, base_[0] + 4 * node + i);
                fetch_bucket<Storage>(1, base_[1] + 4 * node + i);
            }
        } else if (j == 5) {
            for (uint32_t i = 0; i < 2; ++i) {
                fetch_bucket<Storage>(2, base_[2] + 2 * node + i);
                fetch_bucket<Storage>(3, base_[3] + 2 * node + i);
            }
        }
    }
    return node & 0xFF;
}

inline int32_t Engine::mm_predict() { return match_.predict(bytes_); }

template <class Storage>
inline void Engine::mm_update(uint8_t c, bool had_prediction, int32_t pred) {
    match_.update(store<Storage>(), bytes_, c, had_prediction, pred, text_applied, min_match);
}

template <class Storage>
[[gnu::always_inline]] inline void Engine::byte_update(uint8_t c, bool had_prediction, int32_t pred) {
    bytes_.push(c);
    skip_row_ = rows_ + 65536 + 256 * bytes_.c2;
    o1_row_ = rows_ + 256 * static_cast<uint32_t>(c);
    mm_update<Storage>(c, had_prediction, pred);
    // After a hit the next byte is most likely predicted and hit too.
    if (prefetch_next_ && !encoder_ahead_ && !(had_prediction && static_cast<int32_t>(c) == pred)) {
        // The next byte's first-nibble buckets that do not depend on the
        // match prediction are known now. They are fetched after the match
        // step, next to the fetches at the top of the next byte: in small
        // pages most fetches miss the TLB, and the page walks of one burst
        // overlap, where two bursts would hold the core up twice.
        uint32_t b[4];
        bytes_.bases_now(false, 0, text_applied, b);
        if (!text_applied) {
            base_[0] = b[0];
            fetch_bucket<Storage>(0, base_[0] + 1);
        }
        base_[1] = b[1];
        base_[2] = b[2];
        fetch_bucket<Storage>(1, base_[1] + 1);
        fetch_bucket<Storage>(2, base_[2] + 1);
    }
}

// The fetches ahead of one byte of general data (in the tables or the
// small-input map); with them the context bases of a byte without a
// prediction (and, encoding, of any miss). `ahead_done` tells the next
// byte what was fetched for it.
template <class Coder, class Storage>
[[gnu::always_inline]] inline void Engine::fetch_ahead(const uint8_t* bytes, uint32_t i, uint32_t n, uint32_t c,
                                                       bool has, int32_t pred, int raw, bool& ahead_done) {
    match_.fetch_next_slot(store<Storage>(), bytes_, has ? static_cast<uint32_t>(pred) : (Coder::encoding ? c : 0u),
                           text_applied);
    // A hit is most likely followed by another.
    if (has && (!Coder::encoding || c == static_cast<uint32_t>(pred)))
        match_.fetch_flag_weights_after_hit(bytes_, static_cast<uint32_t>(pred));
    // A byte takes less time than a slot takes to arrive when it is a
    // hit: fetch the slot of kMatchAhead bytes on as well, from the
    // bytes themselves or, when decoding a match, from its source.
    if constexpr (Coder::encoding) {
        if (i + kMatchAhead < n) match_.fetch_slot_at(store<Storage>(), bytes + i + kMatchAhead, text_applied);
    } else if (has) {
        const uint32_t from = match_.ptr & bytes_.mask;
        if (from + kMatchAhead <= bytes_.pos) match_.fetch_slot_at(store<Storage>(), bytes_.history + from + kMatchAhead, text_applied);
    }
    if constexpr (Coder::encoding) {
        // The encoder knows whether the byte is a hit and, if not, which
        // buckets both of its nibbles use: fetch all eight now.
        const bool hit = has && c == static_cast<uint32_t>(pred);
        if (!raw && !hit) {
            set_context_bases(has, pred);
            const uint32_t hi = 16 + (c >> 4);
            for (int k = 0; k < 4; ++k) {
                // Fetched a byte ahead: T2, T3 and, without the text
                // transform, T1.
                if (ahead_done && k < 3 && (k > 0 || !text_applied)) continue;
                fetch_bucket<Storage>(k, base_[k] + 1);
                fetch_bucket<Storage>(k, base_[k] + hi);
            }
        }
        // The next byte's buckets a byte ahead, unless it looks like a
        // hit. Those that hang on its match prediction are fetched with
        // the one it most likely has (after a hit the match goes on, after
        // a miss there is mostly none), and once more with the real one.
        ahead_done = false;
        if (!raw && i + 1 < n) {
            const uint32_t next = bytes[i + 1];
            const uint32_t continued = bytes_.history[(match_.ptr + 1) & bytes_.mask];
            if (!(hit && continued == next)) {
                const uint32_t hi = 16 + (next >> 4);
                uint32_t b[4];
                bytes_.bases_after(c, hit, hit ? continued : 0xFFFFFFFFu, text_applied, b);
                for (int k = 0; k < 4; ++k) {
                    fetch_bucket<Storage>(k, b[k] + 1);
                    fetch_bucket<Storage>(k, b[k] + hi);
                }
                ahead_done = true;
            }
        }
    } else if (!raw && !has) {
        // Most predicted bytes are hits and never reach the context
        // model: its buckets are fetched early only for bytes without
        // a prediction.
        set_context_bases(false, pred);
        fetch_bucket<Storage>(3, base_[3] + 1);
        if (text_applied) fetch_bucket<Storage>(0, base_[0] + 1);
        fetch_guessed<Storage>();
    }
}

// The decoder learns a byte only bit by bit, and the buckets of its second
// nibble and of the next byte's first nibble hang on it. Fetch those of the
// guessed byte while the first nibble is decoded: on binaries and source
// about half the guesses are right.
template <class Storage>
[[gnu::always_inline]] inline void Engine::fetch_guessed() {
    const uint32_t g = guess_[bytes_.newest4 & 0xFFFF];
    for (int k = 0; k < 4; ++k) fetch_bucket<Storage>(k, base_[k] + 16 + (g >> 4));
    uint32_t b[4];
    bytes_.bases_after(g, false, 0, text_applied, b);
#pragma GCC unroll 3
    for (int k = ByteContext::first_unpredicted(text_applied); k < 3; ++k) fetch_bucket<Storage>(k, b[k] + 1);
}

template <class Coder>
void Engine::code_general_chunk(Coder& coder, uint8_t* bytes, uint32_t n, int raw) {
    touched_ = true;
    if (sparse_active_) {
        if (sparse_.size() <= sparse_limit_) {
            code_general<Coder, MapStorage>(coder, bytes, n, raw);
            return;
        }
        leave_sparse();
    }
    code_general<Coder, TableStorage>(coder, bytes, n, raw);
}

template <class Coder, class Storage>
void Engine::code_general(Coder& coder, uint8_t* bytes, uint32_t n, int raw_in) {
    store<Storage>().start_block();
    const int raw = coder.direct(raw_in);
    prefetch_next_ = !raw;
    encoder_ahead_ = Coder::encoding;
    bool ahead_done = false;  // this byte's prediction-free buckets are on their way
    if (!raw) {
        cm_stages_.clamp();
    }
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t c = Coder::encoding ? bytes[i] : 0;
        store<Storage>().start_byte();
        const bool has = match_.len >= min_match;
        const int32_t pred = has ? match_.predicted(bytes_) : -1;
        match_.pred = pred;
        fetch_ahead<Coder, Storage>(bytes, i, n, c, has, pred, raw, ahead_done);
        if (has) {
            const int hit = coder.bit(Coder::encoding ? static_cast<int>(c == static_cast<uint32_t>(pred)) : 0,
                                      static_cast<uint32_t>(mm_predict()));
            if (hit) {
                c = static_cast<uint32_t>(pred);
                if constexpr (!Coder::encoding) {
                    bytes[i] = static_cast<uint8_t>(c);
                    note_guess(static_cast<uint8_t>(c));
                }
                byte_update<Storage>(static_cast<uint8_t>(c), true, pred);
                continue;
            }
        }
        if (!raw) {
            if (!has) {
                miss_flag_ = 0;
                final_ctx_ = (bytes_.c1 << 8) | 65536;
            } else {
                miss_flag_ = 256;
                final_ctx_ = static_cast<uint32_t>(pred) << 8;
                // (The encoder set them at the top of the byte.)
                if constexpr (!Coder::encoding) {
                    set_context_bases(true, pred);
                    fetch_guessed<Storage>();
                }
            }
            c = cm_code_byte<Coder, Storage>(coder, c);
        } else {
            uint32_t v = 0;
            for (int j = 7; j >= 0; --j) v = 2 * v + static_cast<uint32_t>(coder.direct(static_cast<int>((c >> j) & 1)));
            c = v;
        }
        if constexpr (!Coder::encoding) {
            bytes[i] = static_cast<uint8_t>(c);
            note_guess(static_cast<uint8_t>(c));
        }
        byte_update<Storage>(static_cast<uint8_t>(c), has, pred);
    }
}

}  // namespace taq
