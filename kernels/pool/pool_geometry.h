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

// Ceil-mode output extent: the division rounds up, but the last window must
// still start inside the input or its left padding (a window starting in the
// right padding is dropped). A window larger than the padded input can still
// give one output when the rounding reaches it.
static inline int64_t pool_out_extent_ceil(int64_t in, int64_t k, int64_t stride, int64_t pad) {
    if (in < 0 || k < 1 || stride < 1 || pad < 0) return 0;
    int64_t span = in + 2 * pad - k + (stride - 1);
    if (span < 0) return 0;
    int64_t n = span / stride + 1;
    if ((n - 1) * stride >= in + pad) --n;
    return n;
}

static inline int64_t pool_out_extent(int64_t in, int64_t k, int64_t stride, int64_t pad, bool ceil_mode) {
    return ceil_mode ? pool_out_extent_ceil(in, k, stride, pad) : pool_out_extent(in, k, stride, pad);
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

// An averaging window along one axis: the input positions it reads and the
// count its divisor takes on this axis.
struct AvgSpan {
    int64_t begin;
    int64_t end;
    int64_t count;
};

// Windowed average pooling: with count_include_pad the count runs over the
// padded input (a ceil-mode window past the right padding is cut there),
// without it over the positions read.
static inline AvgSpan avg_window_span(int64_t o, int64_t k, int64_t stride, int64_t pad, int64_t in,
                                      bool count_include_pad) {
    const PoolSpan s = pool_span(o, k, stride, pad, in);
    const int64_t start = o * stride - pad;
    const int64_t padded_end = start + k < in + pad ? start + k : in + pad;
    return {s.begin, s.end, count_include_pad ? padded_end - start : s.end - s.begin};
}

// Adaptive average pooling: bin o of `out` over `in` positions is
// [floor(o*in/out), ceil((o+1)*in/out)); neighbouring bins may overlap.
static inline AvgSpan adaptive_span(int64_t o, int64_t in, int64_t out) {
    const int64_t b = o * in / out, e = ((o + 1) * in + out - 1) / out;
    return {b, e, e - b};
}

}  // namespace vantrel
