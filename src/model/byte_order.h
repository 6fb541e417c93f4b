// Words read from byte buffers in a fixed byte order, whatever the host's.
//
// The model's formulas read history bytes as words: the match table's hash
// takes little-endian words, the backward match check compares eight bytes
// at a time with the newest byte on top. A plain load would give another
// number on a big-endian machine, and an archive coded there would differ
// from one coded anywhere else. These loads go through memcpy (no
// alignment needed) and swap only on a big-endian host: on a little-endian
// one each is a single move.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace taq {

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "the byte-order loads know little- and big-endian hosts only");

inline uint32_t load_le32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}

inline uint64_t load_le64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// The four bytes at p with the first on top (the last, newest, lowest).
inline uint32_t load_be32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
    return v;
}

}  // namespace taq
