// Planar to interleaved copy: x holds c planes of hw values each
// (x[ch * hw + p]); y gets hw rows of c channels (y[p * c + ch]). A matrix
// transpose done in square tiles, so both the reads and the writes of a tile
// stay within a few cache lines. Copies only, so one portable version serves
// every path.
#pragma once
#include <cstdint>

namespace vantrel {

void k_nchw_to_nhwc_f32(const float* x, float* y, int32_t c, int64_t hw, void* stream);

}  // namespace vantrel
