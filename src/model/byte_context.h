// What the general model knows of the bytes before the one being coded:
// the history (a ring of model-memory size, which the match model points
// into), the two newest bytes, the four newest as one word, and the rolling
// order-1..5 hashes (each the one below it plus the newest byte, times 321).
//
// The four hashed tables of the context model are addressed per byte by a
// base that these give (context_bases below); the bucket of a nibble is the
// base plus the node of the bits so far. The same bases are needed well
// before the byte is coded, to fetch its buckets ahead (of the next byte,
// from an expected byte), so there is one formula and every caller, coding
// or fetching, goes through it: a fetch that drifted from the coding would
// fail no vector, it would only lose speed.
#pragma once

#include <cstdint>

namespace taq {

struct ByteContext {
    uint8_t* history = nullptr;  // mask + 1 bytes, a ring
    uint32_t mask = 0;
    uint32_t pos = 0;        // where the next byte goes
    uint64_t written = 0;    // bytes added since the reset
    uint32_t c1 = 0, c2 = 0;  // the newest byte, the one before
    uint32_t newest4 = 0;     // the four newest bytes, the newest lowest
    uint32_t h1 = 0, h2 = 0, h3 = 0, h4 = 0, h5 = 0;

    // The order-2..5 hashes once `x` follows the bytes hashed now.
    struct Hashes {
        uint32_t h2, h3, h4, h5;
    };
    Hashes hashes_after(uint32_t x) const { return {(x + h1) * 321u, (x + h2) * 321u, (x + h3) * 321u, (x + h4) * 321u}; }
    Hashes hashes() const { return {h2, h3, h4, h5}; }

    void push(uint8_t c) {
        c2 = c1;
        c1 = c;
        const Hashes h = hashes_after(c);
        h5 = h.h5;
        h4 = h.h4;
        h3 = h.h3;
        h2 = h.h2;
        h1 = c * 321u;
        newest4 = (newest4 << 8) | c;
        history[pos] = c;
        pos = (pos + 1) & mask;
        ++written;
    }
    void reset() {
        pos = 0;
        written = 0;
        c1 = c2 = 0;
        newest4 = 0;
        h1 = h2 = h3 = h4 = h5 = 0;
    }

    // The per-byte bases of T1..T4 from a byte's hashes, the two bytes
    // before its newest two (`older`) and its match prediction `p` (all
    // ones without one), with or without the text transform. T1..T3 hang
    // on the prediction only under the text transform, and there only T1.
    [[gnu::always_inline]] static void context_bases(const Hashes& h, uint32_t older, bool has_prediction, uint32_t p,
                                                     bool text, uint32_t (&b)[4]) {
        if (!text) {
            b[0] = h.h4 + h.h5;
            b[1] = h.h3;
            b[2] = h.h2;
            b[3] = older * 43690u + (p << 8);
        } else {
            const uint32_t pm = p + (has_prediction ? 256u : 0u);
            b[0] = pm * h.h5;
            b[1] = h.h4;
            b[2] = h.h3;
            b[3] = pm * h.h2;
        }
    }
    // The first of T1..T3 whose base does not hang on the prediction.
    static int first_unpredicted(bool text) { return text ? 1 : 0; }
    // The bases of the byte coded next.
    [[gnu::always_inline]] void bases_now(bool has_prediction, uint32_t p, bool text, uint32_t (&b)[4]) const {
        context_bases(hashes(), newest4 >> 16, has_prediction, p, text, b);
    }
    // The bases of the byte after `x`, were `x` coded next.
    [[gnu::always_inline]] void bases_after(uint32_t x, bool has_prediction, uint32_t p, bool text,
                                            uint32_t (&b)[4]) const {
        context_bases(hashes_after(x), ((newest4 << 8) | x) >> 16, has_prediction, p, text, b);
    }
};

}  // namespace taq
