// The general block coder: codes blocks of general data (anything the
// per-kind coders do not take) byte by byte through the match model and,
// for the bytes that it does not predict, the context model. It owns the
// models' memory (table_memory.h), the small-input map (sparse.h) and the
// state of the bytes before (byte_context.h), and it schedules the work:
//
//   per byte    the match model's flag when it predicts; a hit ends the
//               byte. Otherwise the context model's eight bits (or eight
//               direct bits in a raw block). Then the byte goes into the
//               history, the match model looks up or follows its match,
//               and the rows and bases of the next byte are set.
//   ahead       memory is the cost, not arithmetic: the buckets, match
//               slots and flag weights of a byte are fetched before it is
//               coded (fetch_ahead). The encoder knows every byte, so it
//               fetches both nibbles' buckets of the byte and those of the
//               next one; the decoder fetches what the byte's high bits
//               allow (the second nibble after bits 6 and 5, the next
//               match slot at bit 3) and, for the rest, what its guess of
//               the byte (the one that last followed the same two bytes)
//               gives. Match slots are fetched kMatchAhead bytes ahead too.
//
// The storage (TableStorage or MapStorage, storage.h) is a template
// parameter of the loops: a fresh model expecting little data starts in
// the map and moves into the tables when the map fills. Every loop is one
// template over the coder (Encoder or Decoder), so the two directions
// cannot drift; the encoder and decoder differ only in what they fetch.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "model/byte_context.h"
#include "model/context_model.h"
#include "model/match_model.h"
#include "model/primitives.h"
#include "model/sparse.h"
#include "model/storage.h"
#include "model/table_memory.h"

namespace taq {

class GeneralCoder {
public:
    // Allocates the segment buffer and the model tables for model memory
    // `memory` (a power of two, at least 16 bytes). Throws std::bad_alloc.
    explicit GeneralCoder(uint32_t memory);
    ~GeneralCoder();
    GeneralCoder(const GeneralCoder&) = delete;
    GeneralCoder& operator=(const GeneralCoder&) = delete;

    uint32_t memory() const { return mem_; }
    // Backs the hashed tables with large pages from now on; worth it when
    // much data follows, a loss for small entries (each first touch clears
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
    void reset(uint64_t expected);
    // Whether the general model still keeps to the small-input map.
    bool in_small_map() const { return sparse_active_; }

    // Per-entry and per-segment settings read by the models.
    uint8_t min_match = 3;
    bool text_applied = false;

    // The weight clamp the drivers run per segment.
    void clamp_segment() { cm_.clamp_segment(); }

    // One block (1..4096 bytes) of general data. The encoder passes whether
    // the block goes raw; the decoder learns it from the stream.
    template <class Coder>
    void code_block(Coder& coder, uint8_t* bytes, uint32_t n, int raw);

private:
    template <class Coder, class Storage>
    [[gnu::noinline]] void code_general(Coder& coder, uint8_t* bytes, uint32_t n, int raw);
    template <class Coder, class Storage>
    uint32_t cm_code_byte(Coder& coder, uint32_t c);
    int32_t mm_predict();
    template <class Storage>
    void byte_update(uint8_t c, bool had_prediction, int32_t pred);
    void set_context_bases(bool has_prediction, int32_t pred);
    template <class Storage>
    void fetch_bucket(int k, uint32_t context);
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

    // What was touched since the last reset.
    bool touched_ = false;        // general model used since the reset
    // After a reset for a small input the buckets and match slots live in
    // sparse_, until it holds sparse_limit_ entries; then they move into
    // the tables. The map takes about 32 bytes an entry, so the limit keeps
    // it within half the tables' size (and 128 MiB).
    // Entries of up to a quarter of the limit in bytes start in the map.
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
    ContextModel cm_;
    MatchModel match_;
};

// ---------------------------------------------------------------------------
// Hot paths, visible to every caller so that they inline.

// (The fetch helpers below are always inlined: left as calls, the
// compiler may find them free of side effects and drop them.)

// Starts fetching the bucket of a whole context.
template <class Storage>
[[gnu::always_inline]] inline void GeneralCoder::fetch_bucket(int k, uint32_t v) {
    cm_.fetch_bucket(store<Storage>(), k, v);
}

// The four table contexts of a byte differ only by the node added to a
// per-byte base, so the bases are computed once per byte.
inline void GeneralCoder::set_context_bases(bool has_prediction, int32_t pred) {
    bytes_.bases_now(has_prediction, static_cast<uint32_t>(pred), text_applied, cm_.base);
}

// One byte through the context model; decoding, the match slot of the
// next byte is fetched once only its low nibble is unknown (in the table
// that leaves one line, in the small-input map one of four entries).
template <class Coder, class Storage>
inline uint32_t GeneralCoder::cm_code_byte(Coder& coder, uint32_t c) {
    const Storage st = store<Storage>();
    return cm_.code_byte(coder, st, c, [&](uint32_t high) {
        for (uint32_t low = 0; low < 16; low += Storage::kNibbleSlotStep)
            match_.fetch_next_slot(st, bytes_, (high << 4) | low, text_applied);
    });
}

inline int32_t GeneralCoder::mm_predict() { return match_.predict(bytes_); }

template <class Storage>
inline void GeneralCoder::mm_update(uint8_t c, bool had_prediction, int32_t pred) {
    match_.update(store<Storage>(), bytes_, c, had_prediction, pred, text_applied, min_match);
}

template <class Storage>
[[gnu::always_inline]] inline void GeneralCoder::byte_update(uint8_t c, bool had_prediction, int32_t pred) {
    bytes_.push(c);
    cm_.follow(c, bytes_.c2);
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
            cm_.base[0] = b[0];
            fetch_bucket<Storage>(0, cm_.base[0] + 1);
        }
        cm_.base[1] = b[1];
        cm_.base[2] = b[2];
        fetch_bucket<Storage>(1, cm_.base[1] + 1);
        fetch_bucket<Storage>(2, cm_.base[2] + 1);
    }
}

// The fetches ahead of one byte of general data (in the tables or the
// small-input map); with them the context bases of a byte without a
// prediction (and, encoding, of any miss). `ahead_done` tells the next
// byte what was fetched for it.
template <class Coder, class Storage>
[[gnu::always_inline]] inline void GeneralCoder::fetch_ahead(const uint8_t* bytes, uint32_t i, uint32_t n, uint32_t c,
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
                fetch_bucket<Storage>(k, cm_.base[k] + 1);
                fetch_bucket<Storage>(k, cm_.base[k] + hi);
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
        fetch_bucket<Storage>(3, cm_.base[3] + 1);
        if (text_applied) fetch_bucket<Storage>(0, cm_.base[0] + 1);
        fetch_guessed<Storage>();
    }
}

// The decoder learns a byte only bit by bit, and the buckets of its second
// nibble and of the next byte's first nibble hang on it. Fetch those of the
// guessed byte while the first nibble is decoded: on binaries and source
// about half the guesses are right.
template <class Storage>
[[gnu::always_inline]] inline void GeneralCoder::fetch_guessed() {
    const uint32_t g = guess_[bytes_.newest4 & 0xFFFF];
    for (int k = 0; k < 4; ++k) fetch_bucket<Storage>(k, cm_.base[k] + 16 + (g >> 4));
    uint32_t b[4];
    bytes_.bases_after(g, false, 0, text_applied, b);
#pragma GCC unroll 3
    for (int k = ByteContext::first_unpredicted(text_applied); k < 3; ++k) fetch_bucket<Storage>(k, b[k] + 1);
}

template <class Coder>
void GeneralCoder::code_block(Coder& coder, uint8_t* bytes, uint32_t n, int raw) {
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
void GeneralCoder::code_general(Coder& coder, uint8_t* bytes, uint32_t n, int raw_in) {
    store<Storage>().start_block();
    const int raw = coder.direct(raw_in);
    prefetch_next_ = !raw;
    encoder_ahead_ = Coder::encoding;
    bool ahead_done = false;  // this byte's prediction-free buckets are on their way
    if (!raw) {
        cm_.stages.clamp();
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
            cm_.start_byte(has, pred, bytes_.c1);
            // (The encoder set the bases at the top of the byte.)
            if (has && !Coder::encoding) {
                set_context_bases(true, pred);
                fetch_guessed<Storage>();
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
