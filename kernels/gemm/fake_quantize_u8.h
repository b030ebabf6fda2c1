// Asymmetric 8-bit quantise-and-restore in place, used to emulate int8
// activations inside float layers.
#pragma once
#include <cstdint>

namespace vantrel {

// The range always includes 0, so an all-positive or all-negative row keeps
// its resolution instead of collapsing onto one code.
void fake_quantize_u8(float* x, int64_t n);

}  // namespace vantrel
