#include "transform/x86.h"

namespace taq {

namespace {

uint32_t encode_target(uint32_t d, uint32_t count) {
    const uint32_t z = (d + 0x01000000u + count) & 0x1FFFFFFu;
    const uint32_t b4 = (z >> 17) & 0xFF;
    const uint32_t b5 = (z >> 9) & 0xFF;
    const uint32_t b6 = (z >> 1) & 0xFF;
    const uint32_t b7 = (z & 1) ? 0x00 : 0xFF;
    return b4 | (b5 << 8) | (b6 << 16) | (b7 << 24);
}

uint32_t decode_target(uint32_t e, uint32_t count) {
    const uint32_t v = e + 0x01000000u;
    const uint32_t b0 = v & 0xFF, b1 = (v >> 8) & 0xFF, b2 = (v >> 16) & 0xFF, b3 = v >> 24;
    const uint32_t t = ((b3 << 7) | (b2 << 8) | (b1 << 16) | (b0 << 24)) >> 7;
    return ((t - count) & 0x1FFFFFFu) - 0x01000000u;
}

// An eight-byte window slides over the buffer; when its fourth byte is a
// call or jump opcode, the four bytes after it are rewritten before they
// leave the window. Output trails input by eight bytes, so the rewrite
// works in place.
template <bool Forward>
void transform(uint8_t* buf, size_t n) {
    if (n == 0) return;
    uint32_t older = 0, newer = 0, count = 0, next_allowed = 5;
    uint32_t mask = 0xFF;
    size_t out = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t opcode = older >> 24;
        if (count >= next_allowed && (opcode == 0xE8 || opcode == 0xE9)) {
            next_allowed = count + 4;
            if (newer + 0x01000000u <= 0x01FFFFFFu)
                newer = Forward ? encode_target(newer, count) : decode_target(newer, count);
        }
        if (!(mask & 0x80)) buf[out++] = static_cast<uint8_t>(older);
        older = (newer << 24) | (older >> 8);
        newer = (newer >> 8) | (static_cast<uint32_t>(buf[i]) << 24);
        ++count;
        mask = (mask << 1) & 0xFF;
    }
    while (mask != 0xFF) {
        while (mask & 0x80) {
            older = (newer << 24) | (older >> 8);
            newer >>= 8;
            mask = ((mask << 1) | 1) & 0xFF;
        }
        buf[out++] = static_cast<uint8_t>(older);
        older = (newer << 24) | (older >> 8);
        newer >>= 8;
        mask = ((mask << 1) | 1) & 0xFF;
    }
}

}  // namespace

void x86_forward(uint8_t* buf, size_t n) { transform<true>(buf, n); }
void x86_inverse(uint8_t* buf, size_t n) { transform<false>(buf, n); }

}  // namespace taq
