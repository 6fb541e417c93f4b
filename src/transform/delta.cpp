#include "transform/delta.h"

namespace taq {

namespace {

uint32_t read_sample(const uint8_t* p, unsigned width) {
    switch (width) {
        case 1: return p[0];
        case 2: return p[0] | (p[1] << 8);
        case 3: return (static_cast<uint32_t>(p[0]) << 16) | (p[1] << 8) | p[2];  // most significant first
        default: return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
    }
}

void write_sample(uint8_t* p, unsigned width, uint32_t v) {
    switch (width) {
        case 1: p[0] = static_cast<uint8_t>(v); break;
        case 2:
            p[0] = static_cast<uint8_t>(v);
            p[1] = static_cast<uint8_t>(v >> 8);
            break;
        case 3:
            p[0] = static_cast<uint8_t>(v >> 16);
            p[1] = static_cast<uint8_t>(v >> 8);
            p[2] = static_cast<uint8_t>(v);
            break;
        default:
            p[0] = static_cast<uint8_t>(v);
            p[1] = static_cast<uint8_t>(v >> 8);
            p[2] = static_cast<uint8_t>(v >> 16);
            p[3] = static_cast<uint8_t>(v >> 24);
    }
}

template <bool Forward>
void delta(uint8_t* buf, size_t n, unsigned width, unsigned channels) {
    if (n == 0 || width < 1 || width > 4 || channels < 1) return;
    if (channels > 32) channels = 32;
    uint32_t previous[32] = {};
    unsigned k = 0;
    for (size_t s = 0; s + width <= n; s += width) {
        const uint32_t value = read_sample(buf + s, width);
        if (Forward) {
            write_sample(buf + s, width, value - previous[k]);
            previous[k] = value;
        } else {
            const uint32_t restored = value + previous[k];
            write_sample(buf + s, width, restored);
            previous[k] = restored;
        }
        if (++k == channels) k = 0;
    }
}

}  // namespace

void delta_forward(uint8_t* buf, size_t n, unsigned sample_width, unsigned channels) {
    delta<true>(buf, n, sample_width, channels);
}
void delta_inverse(uint8_t* buf, size_t n, unsigned sample_width, unsigned channels) {
    delta<false>(buf, n, sample_width, channels);
}

}  // namespace taq
