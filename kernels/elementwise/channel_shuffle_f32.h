// Channel shuffle of `rows` rows of c channels in `groups` groups: each row
// is read as a [groups][c / groups] matrix and written transposed, so output
// channel i * groups + g is input channel g * (c / groups) + i. Copies only,
// so one portable version serves every path. c must be a multiple of groups.
#pragma once
#include <cstdint>

namespace vantrel {

void k_channel_shuffle_f32(const float* x, float* y, int32_t rows, int32_t c, int32_t groups, void* stream);

}  // namespace vantrel
