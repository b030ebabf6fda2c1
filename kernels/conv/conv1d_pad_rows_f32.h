// The zero-padded copy of a time-major signal that the unit-stride 1-D
// convolution paths read: `pad` zero rows, the l input rows, then zero rows
// up to `rows` in total (rows >= pad + l).
#pragma once
#include <cstdint>
#include <cstring>

namespace vantrel {

static inline void conv1d_pad_rows_f32(const float* in, int64_t l, int64_t cin, int64_t pad,
                                       int64_t rows, float* dst) {
    const size_t row_bytes = size_t(cin) * sizeof(float);
    std::memset(dst, 0, size_t(pad) * row_bytes);
    if (l > 0) std::memcpy(dst + pad * cin, in, size_t(l) * row_bytes);
    std::memset(dst + (pad + l) * cin, 0, size_t(rows - pad - l) * row_bytes);
}

}  // namespace vantrel
