// Nearest upsampling of n rows of c floats: each row written `scale`
// times in a row. Nothing is written when n, c or scale is below 1.
#pragma once
#include <cstdint>

namespace vantrel {

void k_upsample_nearest1d_f32(const float* in, float* out, int32_t n, int32_t c, int32_t scale,
                              void* stream);

}  // namespace vantrel
