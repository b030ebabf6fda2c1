// Channel slice of a time-major signal: out[t][i] = x[t][start + i] for
// i < count, output rows packed (count floats each). Row copies only, so one
// portable version serves every path.
#pragma once
#include <cstdint>

namespace vantrel {

void k_slice_channels_f32(const float* x, float* out, int32_t n, int32_t c, int32_t start,
                          int32_t count, void* stream);

}  // namespace vantrel
