// The call-address transform: the 32-bit displacement after an E8/E9
// opcode becomes a big-endian form of the absolute target, so that calls
// to one place look alike wherever they stand. In place, same length.
#pragma once

#include <cstddef>
#include <cstdint>

namespace taq {

void x86_forward(uint8_t* buf, size_t n);
void x86_inverse(uint8_t* buf, size_t n);

}  // namespace taq
