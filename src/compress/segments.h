// One entry's data, segment by segment, in either direction: the one loop
// that compress_entry, decode_entry, the engine tests and the benchmarks
// run. It lives beside the analysis it asks (only when encoding), above
// the model and the transforms it drives. A segment (up to kSegmentSize
// bytes of the data) goes
//
//   general path  a text segment through the digram transform, any other
//                 through the x86 transform; one direct bit for the choice
//                 and 24 for the coded length; then blocks of kBlockSize
//                 through the general block coder (the encoder marks a
//                 block of near-random bytes raw: eight direct bits a byte)
//   per kind      the delta transform when the entry asks for it, then the
//                 coder of the entry's data kind
//
// The transforms run forward before the coding and inverse after it. The
// caller's `Io` supplies and takes the bytes:
//   bool read(uint8_t* seg, size_t n, uint64_t position)   encoding: fill
//        the segment with the data at `position`; false: short read
//   void write(const uint8_t* seg, size_t n, uint64_t position)  decoding:
//        the segment's bytes, decoded
//   void count(uint64_t bytes)   progress: bytes of data done
//   bool stop()   optional: asked after each block and each segment; true
//        ends the loop at once (stopped)
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "archive/entry.h"
#include "compress/analysis.h"
#include "model/engine.h"
#include "transform/delta.h"
#include "transform/digram.h"
#include "transform/x86.h"

namespace taq {

struct SegmentOutcome {
    enum Status { ok, short_read, damaged, stopped } status = ok;
    const char* why = nullptr;  // what is damaged
};

template <class Coder, class Io>
SegmentOutcome code_segments(Engine& engine, DigramTransform& digram, Coder& coder, const CodingChoices& c,
                             uint64_t data_size, Io& io) {
    constexpr bool kEncoding = Coder::encoding;
    const auto damaged = [](const char* why) { return SegmentOutcome{SegmentOutcome::damaged, why}; };
    const auto stop = [&io] {
        if constexpr (requires { io.stop(); })
            return io.stop();
        else
            return false;
    };
    uint8_t* const seg = engine.segment();
    for (uint64_t position = 0; position < data_size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kSegmentSize, data_size - position));
        if constexpr (kEncoding) {
            if (!io.read(seg, n, position)) return {SegmentOutcome::short_read, nullptr};
        }
        if (c.general_path) {
            engine.clamp_general_segment();
            bool text = false;
            size_t coded = n;
            if constexpr (kEncoding) {
                int score = 0;
                if (classify_block(seg, n, &score) == kTextClass) {
                    const size_t m = digram.forward(seg, n);
                    if (m > 0) {
                        text = true;
                        coded = m;
                    }
                }
            }
            text = coder.direct(text) != 0;
            if constexpr (kEncoding) {
                if (!text) x86_forward(seg, n);
            }
            uint32_t length = 0;
            for (int bit = 23; bit >= 0; --bit)
                length = (length << 1) | static_cast<uint32_t>(coder.direct(static_cast<int>((coded >> bit) & 1)));
            coded = length;
            if (coded > n) return damaged("coded length past the segment");
            // Only text is coded shorter than its segment: the rest would
            // be left as an earlier segment had it.
            if (!text && coded != n) return damaged("coded length short of the segment");
            engine.set_text_applied(text);
            for (size_t at = 0; at < coded; at += kBlockSize) {
                const uint32_t len = static_cast<uint32_t>(std::min<size_t>(kBlockSize, coded - at));
                engine.code_general_chunk(coder, seg + at, len, kEncoding ? block_is_raw(seg + at, len) : 0);
                io.count(len);
                if (coder.overrun()) break;  // reported below, without decoding the rest
                if (stop()) return {SegmentOutcome::stopped, nullptr};
            }
            io.count(n - coded);  // what the text transform took out
            if constexpr (!kEncoding) {
                if (text) {
                    if (!digram.inverse(seg, coded, n)) return damaged("text stream cut short");
                } else {
                    x86_inverse(seg, n);
                }
            }
        } else {
            engine.clamp_small_segment();
            if constexpr (kEncoding) {
                if (c.delta_flag) delta_forward(seg, n, c.sample_width, c.channels);
            }
            engine.code_kind(coder, n, c);
            io.count(n);
            if constexpr (!kEncoding) {
                if (c.delta_flag) delta_inverse(seg, n, c.sample_width, c.channels);
            }
        }
        if (coder.overrun()) return damaged("coded data ends before the entry's data");
        if constexpr (!kEncoding) io.write(seg, n, position);
        position += n;
        if (stop()) return {SegmentOutcome::stopped, nullptr};
    }
    return {};
}

}  // namespace taq
