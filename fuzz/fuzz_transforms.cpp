// The inverse transforms on arbitrary bytes and parameters, and each
// transform's forward and inverse on the same bytes, which must give them
// back. Input: a selector byte, the parameters, then the data.
//   0: call addresses          x86_inverse, and x86_forward then x86_inverse
//   1: delta, width and        delta_inverse, and delta_forward then
//      channels from 2 bytes   delta_inverse
//   2: text digrams, coded     inverse of `coded` bytes into n, and forward
//      length and n from       then inverse when forward takes the data
//      2 bytes each
// The data sits in a buffer of exactly its size, so a step past it is
// reported.
#include <vector>

#include "fuzz_support.h"
#include "transform/delta.h"
#include "transform/digram.h"
#include "transform/x86.h"

using namespace taq;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const unsigned selector = in.byte() % 3;
    if (selector == 0) {
        const std::vector<uint8_t> original = in.rest();
        std::vector<uint8_t> buf = original;
        x86_inverse(buf.data(), buf.size());
        buf = original;
        x86_forward(buf.data(), buf.size());
        x86_inverse(buf.data(), buf.size());
        fuzz::check(buf == original, "call-address transform does not invert");
    } else if (selector == 1) {
        const unsigned width = in.byte(), channels = in.byte();
        const std::vector<uint8_t> original = in.rest();
        std::vector<uint8_t> buf = original;
        delta_inverse(buf.data(), buf.size(), width, channels);
        buf = original;
        delta_forward(buf.data(), buf.size(), width, channels);
        delta_inverse(buf.data(), buf.size(), width, channels);
        fuzz::check(buf == original, "delta does not invert");
    } else {
        const size_t coded_arg = in.u16(), n_arg = in.u16();
        const std::vector<uint8_t> original = in.rest();
        DigramTransform digram;
        // As the decoder calls it: the coded bytes at the start of a buffer
        // of n bytes, coded <= n.
        const size_t n = std::max(original.size(), n_arg);
        std::vector<uint8_t> buf(original);
        buf.resize(n);
        digram.inverse(buf.data(), std::min(coded_arg, original.size()), n);

        buf = original;
        const size_t m = digram.forward(buf.data(), buf.size());
        if (m != 0) {
            fuzz::check(m <= original.size(), "digram forward grew the data");
            fuzz::check(digram.inverse(buf.data(), m, buf.size()), "digram inverse ran out");
            fuzz::check(buf == original, "digram transform does not invert");
        }
    }
    return 0;
}
