// Per-channel delta of interleaved samples (1 to 4 bytes wide, up to 32
// channels), in place. A final partial sample is left as it is.
#pragma once

#include <cstddef>
#include <cstdint>

namespace taq {

void delta_forward(uint8_t* buf, size_t n, unsigned sample_width, unsigned channels);
void delta_inverse(uint8_t* buf, size_t n, unsigned sample_width, unsigned channels);

}  // namespace taq
