#include "kernels/conv/conv2d_s8_expand_dw.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kernels/conv/conv2d_s8_depthwise.h"
#include "kernels/conv/im2col_f32.h"
#include "kernels/conv/im2col_s8.h"
#include "kernels/gemm/gemm_s8.h"
#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {

namespace {
struct BandBuffer;            // each thread's expanded rows
struct DepthwiseBandBuffer;   // each thread's depthwise rows before the projection
struct WholeBuffer;           // the whole expanded tensor of a small image
struct WholeDepthwiseBuffer;  // the whole depthwise output of a small image
struct GatherBuffer;          // each thread's gathered windows of a stem-like expansion

// On one thread, below this many expanded bytes the tensor stays in L2
// between the layers anyway, and bands only add the rows they share
// (measured on MobileNetV2's blocks: 1.02 to 1.07 times the time from
// 56x56x144 down): the layers run whole, one after the other. A team always
// runs bands, in one parallel pass instead of three: 0.92 to 1.0 of the
// time on a quiet machine, and 0.5 to 0.7 with another process on a core,
// where every pass's end waits for the thread it delays.
constexpr int64_t kBandMinBytes = 512 * 1024;
// Below this many expanded bytes a team takes one strip per thread: the
// rows a strip shares with the next are a large part of a small image.
constexpr int64_t kSmallBytes = 128 * 1024;
// Expanded rows a band may hold, and depthwise rows: both and the next
// band's weights stay in a core's L2.
constexpr int64_t kBandBytes = 256 * 1024;
// Output-row strips per thread: each strip computes the rows its first band
// shares with the strip above once more.
constexpr int64_t kStripsPerThread = 2;

// The calling thread's buffer of `bytes`, from a 64-byte line.
template <class Tag>
int8_t* line_aligned_bytes(int64_t bytes) {
    thread_local std::vector<int8_t> buf;
    if (int64_t(buf.size()) < bytes + 64) buf.resize(size_t(bytes + 64));
    const uintptr_t a = reinterpret_cast<uintptr_t>(buf.data());
    return buf.data() + (64 - a % 64) % 64;
}

// Gathered windows of a non-pointwise expansion per product.
constexpr int64_t kGatherBytes = 32 * 1024;

// Expanded rows [r0, r1) (geometry e over the input) to out, row r0 first:
// each expanded byte is the GEMM's for its pixel, whatever rows a call
// holds.
void expand_rows(const ExpandDepthwiseS8& p, const int8_t* in, const Conv2dGeometry& e, int64_t r0, int64_t r1,
                 int8_t* out) {
    const int64_t k = e.kh * e.kw * p.cin;
    if (e.kh == 1 && e.kw == 1 && e.stride_h == 1 && e.stride_w == 1 && e.pad_h == 0 && e.pad_w == 0) {
        gemm_s8_s8out(in + r0 * e.w * p.cin, p.expand_bp, p.expand_bias, p.expand_mult, p.expand_shift,
                      p.expand_out_zp, out, int32_t((r1 - r0) * e.ow), p.cin, p.c);
        return;
    }
    const int64_t step = std::max<int64_t>(1, kGatherBytes / (e.ow * k));
    int8_t* a = line_aligned_bytes<GatherBuffer>(std::min(step, r1 - r0) * e.ow * k);
    for (int64_t r = r0; r < r1; r += step) {
        const int64_t n = std::min(step, r1 - r);
        im2col_rows_s8(in, e, 0, p.cin, r, r + n, p.expand_in_zp, a, r);
        gemm_s8_s8out(a, p.expand_bp, p.expand_bias, p.expand_mult, p.expand_shift, p.expand_out_zp,
                      out + (r - r0) * e.ow * p.c, int32_t(n * e.ow), int32_t(k), p.c);
    }
}

// Projected rows [oy0, oy1) of the output from `rows` depthwise rows at dw.
void project_rows(const ExpandDepthwiseS8& p, const int8_t* dw, int64_t ow, int64_t oy0, int64_t oy1, int8_t* out) {
    const int64_t shift = oy0 * ow * p.cproj;
    const int32_t m = int32_t((oy1 - oy0) * ow);
    if (p.residual) {
        S8ResidualAdd ra = *p.residual;  // indexes the whole output; this call sees it from row oy0
        ra.res += shift;
        gemm_s8_s8out_residual(dw, p.project_bp, p.project_bias, p.project_mult, p.project_shift, p.project_out_zp,
                               out + shift, m, p.c, p.cproj, ra);
    } else {
        gemm_s8_s8out(dw, p.project_bp, p.project_bias, p.project_mult, p.project_shift, p.project_out_zp,
                      out + shift, m, p.c, p.cproj);
    }
}
}  // namespace

void conv2d_s8_expand_depthwise(const int8_t* in, int32_t h_in, int32_t w_in, const ExpandDepthwiseS8& p,
                                int8_t* out) {
    const Conv2dGeometry e = conv2d_geometry(p.cin, h_in, w_in, p.ekh, p.ekw, p.estride_h, p.estride_w, p.epad_h,
                                             p.epad_w, 1, 1);
    if (h_in <= 0 || w_in <= 0 || e.oh <= 0 || e.ow <= 0 || p.c <= 0 || p.stride < 1) return;
    const int32_t h = int32_t(e.oh), w = int32_t(e.ow);  // the depthwise input
    const int64_t oh = conv_out_extent(h, 3, p.stride, 1, 1), ow = conv_out_extent(w, 3, p.stride, 1, 1);
    if (oh <= 0 || ow <= 0) return;
    const bool expand = p.expand_bp != nullptr, project = p.cproj > 0;
    const int64_t row_bytes = int64_t(w) * p.c, dw_row_bytes = ow * p.c;
    const int team = strip_team();
    if (team == 1 && int64_t(h) * row_bytes < kBandMinBytes) {
        const int8_t* mid = in;
        if (expand) {
            int8_t* x = line_aligned_bytes<WholeBuffer>(int64_t(h) * row_bytes);
            expand_rows(p, in, e, 0, h, x);
            mid = x;
        }
        int8_t* dw = project ? line_aligned_bytes<WholeDepthwiseBuffer>(oh * dw_row_bytes) : out;
        conv2d_s8_depthwise3x3_rows_laid_out(p.dw_layout, mid, 0, p.dw_taps, p.dw_bias, p.dw_mult, p.dw_shift,
                                             p.dw_in_zp, p.dw_out_zp, dw, p.c, h, w, p.stride, 0, oh);
        if (project) project_rows(p, dw, ow, 0, oh, out);
        return;
    }
    const int64_t s = p.stride;
    int64_t band = std::max<int64_t>(1, (kBandBytes / row_bytes - 3) / s + 1);  // output rows per band
    if (project) band = std::min(band, std::max<int64_t>(1, kBandBytes / dw_row_bytes));
    const int64_t cap = std::min<int64_t>(h, (band - 1) * s + 3);  // expanded rows per band
    const int64_t per_thread = int64_t(h) * row_bytes < kSmallBytes ? 1 : kStripsPerThread;
    const int strips = int(std::min<int64_t>(oh, int64_t(team) * per_thread));
    run_strips(strips, team, [&](int64_t strip, int) {
        const SplitRange rows = balanced_split(oh, strips, int(strip));
        int8_t* buf = expand ? line_aligned_bytes<BandBuffer>(cap * row_bytes) : nullptr;
        int8_t* dw_buf = project ? line_aligned_bytes<DepthwiseBandBuffer>(band * dw_row_bytes) : nullptr;
        int64_t have_lo = 0, have_hi = 0;  // expanded rows in buf, from its top
        for (int64_t oy0 = rows.begin; oy0 < rows.end; oy0 += band) {
            const int64_t oy1 = std::min<int64_t>(rows.end, oy0 + band);
            const int64_t lo = std::max<int64_t>(0, oy0 * s - 1);
            const int64_t hi = std::min<int64_t>(h, (oy1 - 1) * s + 2);
            const int8_t* src = in + lo * row_bytes;
            if (expand) {
                // Rows the previous band expanded move up rather than being
                // computed again.
                int64_t from = lo;
                if (have_hi > lo && have_lo <= lo) {
                    std::memmove(buf, buf + (lo - have_lo) * row_bytes, size_t((have_hi - lo) * row_bytes));
                    from = have_hi;
                }
                if (hi > from) expand_rows(p, in, e, from, hi, buf + (from - lo) * row_bytes);
                have_lo = lo;
                have_hi = hi;
                src = buf;
            }
            int8_t* dst = project ? dw_buf : out + oy0 * dw_row_bytes;
            conv2d_s8_depthwise3x3_rows_laid_out(p.dw_layout, src, lo, p.dw_taps, p.dw_bias, p.dw_mult, p.dw_shift,
                                                 p.dw_in_zp, p.dw_out_zp, dst, p.c, h, w, p.stride, oy0, oy1);
            if (project) project_rows(p, dw_buf, ow, oy0, oy1, out);
        }
    });
}

}  // namespace vantrel
