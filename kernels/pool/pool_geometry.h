// Window geometry shared by the pooling kernels and layers.
//
// Helpers here are `static inline`: this header is included by files built
// with different instruction sets, and a shared (weak) copy of an inline
// function could otherwise be taken from the AVX-512 object by a portable
// caller.
#pragma once
#include <cstdint>

namespace vantrel {

// Output extent of a pooling window along one axis: floor division, so a
// window larger than the padded input gives 0, never a negative extent.
// Invalid geometry (kernel or stride below 1, negative pad) also gives 0.
static inline int64_t pool_out_extent(int64_t in, int64_t k, int64_t stride, int64_t pad) {
    if (in < 0 || k < 1 || stride < 1 || pad < 0) return 0;
    int64_t span = in + 2 * pad - k;
    return span < 0 ? 0 : span / stride + 1;
}

// Input positions [begin, end) that window `o` covers along one axis,
// clipped to the input (padding positions are skipped, never read).
struct PoolSpan {
    int64_t begin;
    int64_t end;
};
static inline PoolSpan pool_span(int64_t o, int64_t k, int64_t stride, int64_t pad, int64_t in) {
    int64_t start = o * stride - pad;
    int64_t b = start < 0 ? 0 : start;
    int64_t e = start + k < in ? start + k : in;
    return {b, e < b ? b : e};
}

}  // namespace vantrel
