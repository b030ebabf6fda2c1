// Channel concatenation of time-major signals: row t of the output is row t
// of a (c1 floats) followed by c2 floats of b, its row t, or its row 0 for
// every t when broadcast is set (a conditioning vector repeated over time).
// A null b contributes nothing (c2 must then be 0). Row copies only, so one
// portable version serves every path.
#pragma once
#include <cstdint>

namespace vantrel {

void k_concat1d_f32(const float* a, const float* b, float* out, int32_t n, int32_t c1, int32_t c2,
                    bool broadcast, void* stream);

}  // namespace vantrel
