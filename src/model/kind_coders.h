// The per-kind coders: each codes a whole segment of one data kind through
// the small direct models (small_models.h), choosing for every byte the
// neighbours its contexts hang on and the order in which bytes are visited.
// Both directions run the same loop; a decoder finds each neighbour already
// decoded because the visiting order takes it first. Every loop asks the
// decoder now and then whether it ran past its stream, so that a damaged
// entry ends in bounded time.
//
//   grey image    column by column; left, above and above-right pixels
//   colour image  per channel (blue, green, red), in tiles of 128 pixels by
//                 16 rows; left, right-channel and above neighbours
//   audio         per byte of a sample and per channel, along the frames;
//                 the neighbouring channel or byte, one and two frames back
//   media         in order; the two bytes before
#pragma once

#include <algorithm>
#include <cstdint>

#include "archive/entry.h"
#include "model/small_models.h"

namespace taq {

template <class Coder>
void code_grey_image(SmallModels& m, Coder& coder, uint8_t* b, uint64_t length, uint32_t width) {
    const uint64_t w = width;
    const uint64_t rows = length / w;
    // Columns from `length` on hold no byte: a width far above the data
    // must not cost a pass over each of them.
    for (uint64_t i = 0; i < w && i < length; ++i) {
        for (uint64_t j = 0; j <= rows; ++j) {
            if (j % 1024 == 0 && coder.overrun()) return;  // damaged: the caller says so
            const uint64_t pos = i + w * j;
            if (pos >= length) continue;
            const uint32_t a = (i > 0 && pos >= 2) ? b[pos - 1] * 512u : 0u;
            const uint32_t bb = j > 0 ? b[pos - w] * 512u + 256u : 256u;
            const uint32_t c = (i > 0 && pos + w - 1 < length) ? b[pos + w - 1] * 256u : a / 2;
            m.set_contexts(a, bb, c);
            m.code_byte<SmallBlend::image>(coder, b + pos);
        }
    }
}

template <class Coder>
void code_colour_image(SmallModels& m, Coder& coder, uint8_t* b, uint64_t length, uint32_t width) {
    const uint64_t w = width;
    const uint64_t row = 3 * w;
    const uint64_t rows = length / row;
    static constexpr int kChannels[3] = {2, 1, 0};
    for (int n : kChannels) {
        // A tile's bytes start at 3 * 128 * tile: tiles past the data are
        // passed over at once, however wide the image claims to be.
        for (uint64_t tile = 0; 128 * tile < w && 384 * tile < length; ++tile) {
            const uint64_t k_end = std::min<uint64_t>(128 * tile + 127, w - 1);
            for (uint64_t band = 0; 16 * band <= rows; ++band) {
                if (coder.overrun()) return;  // damaged: the caller says so
                const uint64_t band_last = 16 * band + 15;
                for (uint64_t k = 128 * tile; k <= k_end; ++k) {
                    for (uint64_t l = 16 * band; l <= band_last && l <= rows; ++l) {
                        const uint64_t pos = row * l + 3 * k + static_cast<uint64_t>(n);
                        if (pos >= length) continue;
                        uint32_t a, bb;
                        if (n == 2) {
                            a = k > 0 ? b[pos - 3] * 512u : 0u;
                            bb = (k > 0 && l != band_last && l + 1 <= rows && pos + row - 3 < length)
                                     ? b[pos + row - 3] * 512u + 256u
                                     : 256u;
                        } else {
                            a = k > 0 ? (n == 1 ? b[pos - 3] : b[pos - 1]) * 512u : 0u;
                            bb = pos + 1 < length ? b[pos + 1] * 512u + 256u : 256u;
                        }
                        const uint32_t c = l > 0 ? b[pos - row] * 256u : bb / 2;
                        m.set_contexts(a, bb, c);
                        m.code_byte<SmallBlend::image>(coder, b + pos);
                    }
                }
            }
        }
    }
}

template <class Coder>
void code_media(SmallModels& m, Coder& coder, uint8_t* b, uint64_t length) {
    for (uint64_t pos = 0; pos < length; ++pos) {
        if (pos % 4096 == 0 && coder.overrun()) return;  // damaged: the caller says so
        // ctx_c carries the bits of the bytes before.
        m.ctx_a = pos >= 2 ? b[pos - 1] * 512u : 0u;
        m.ctx_b = pos >= 3 ? b[pos - 2] * 512u + 256u : 256u;
        m.code_byte<SmallBlend::media>(coder, b + pos);
    }
}

// `stride` bytes to a frame: `channels` samples of `sample_width` bytes.
template <class Coder>
void code_audio(SmallModels& m, Coder& coder, uint8_t* b, uint64_t length, uint32_t sample_width, uint32_t channels,
                uint32_t stride) {
    const uint64_t s = stride;
    for (uint32_t i = 0; i < sample_width; ++i) {
        for (uint32_t j = 0; j < channels; ++j) {
            for (uint64_t pos = i + static_cast<uint64_t>(sample_width) * j; pos < length; pos += s) {
                if (pos % 4096 < s && coder.overrun()) return;  // damaged: the caller says so
                uint32_t a;
                if (j > 0) a = b[pos - sample_width] * 512u;
                else if (i > 0) a = b[pos - 1] * 512u;
                else if (pos > s) a = b[pos - s] * 512u;
                else a = 0;
                const uint32_t bb = pos > s ? b[pos - s] * 512u + 256u : 256u;
                const uint32_t c = pos > 2 * s ? b[pos - 2 * s] * 256u : a / 2;
                m.set_contexts(a, bb, c);
                m.code_byte<SmallBlend::audio>(coder, b + pos);
            }
        }
    }
}

// The segment `b` of `length` bytes through the coder of its kind (general
// data has none here: nothing is coded).
template <class Coder>
void code_kind(SmallModels& m, Coder& coder, uint8_t* b, uint64_t length, const CodingChoices& c) {
    m.use();
    switch (c.data_kind) {
        case DataKind::colour_image: code_colour_image(m, coder, b, length, c.image_width); break;
        case DataKind::media: code_media(m, coder, b, length); break;
        case DataKind::audio: code_audio(m, coder, b, length, c.sample_width, c.channels, c.record_length); break;
        case DataKind::grey_image: code_grey_image(m, coder, b, length, c.image_width); break;
        case DataKind::general: break;
    }
}

}  // namespace taq
