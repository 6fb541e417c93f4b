// The text digram transform: groups of two or three lower-case letters
// from a fixed dictionary become single byte codes 123..254; literal bytes
// in that range are escaped by doubling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace taq {

class DigramTransform {
public:
    DigramTransform();

    // Rewrites buf[0..n) in place and returns the new length m (the bytes
    // after m are spaces up to n), or 0 when the transform declines: n below
    // 512, or the output would exceed 95 % of n. Declining leaves buf as it was.
    size_t forward(uint8_t* buf, size_t n);

    // Expands the `coded` bytes at the start of buf into exactly n bytes.
    // buf must hold at least n bytes. Returns false when the coded bytes run
    // out before n bytes are restored (a damaged stream); the rest is zeros.
    bool inverse(uint8_t* buf, size_t coded, size_t n);

    static const char* entry(unsigned code);  // letters of a code, for tests

private:
    struct Node {
        uint16_t child[26];
        uint8_t code;
    };
    // Room for n bytes of output (and a little slack); grown on demand and
    // never cleared, since every byte is written before it is read.
    uint8_t* scratch(size_t n);

    std::vector<Node> trie_;
    std::unique_ptr<uint8_t[]> scratch_;
    size_t scratch_size_ = 0;
};

}  // namespace taq
