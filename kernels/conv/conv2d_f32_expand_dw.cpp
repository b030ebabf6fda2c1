#include "kernels/conv/conv2d_f32_expand_dw.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernels/cpu_kernels.h"
#include "kernels/conv/conv2d_f32.h"
#include "kernels/conv/conv2d_f32_depthwise.h"
#include "kernels/conv/im2col_f32.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {

namespace {
struct BandBuffer;   // tags each thread's expanded rows
struct WholeBuffer;  // tags the whole expanded tensor of a small image
struct GatherBuffer;  // each thread's gathered windows of a stem-like expansion
struct DepthwiseBandBuffer;   // each thread's depthwise rows before the projection
struct WholeDepthwiseBuffer;  // the whole depthwise output of a small image
struct SliceBuffer;           // each thread's expanded channel slice
struct SliceDepthwiseBuffer;  // each thread's depthwise outputs of its slice
struct SliceTapsBuffer;       // each thread's depthwise weights of its slice

// Below this many bytes the expanded tensor stays in L2 between the two
// products anyway, and bands only add the rows they share (measured on
// MobileNetV2, 1 thread, against the two layers apart: 112x112x96 into a
// stride-2 3x3 0.74, 28x28x192 in bands 0.93 (whole 1.0), 14x14x576 in
// bands 1.05, 7x7x576 from 14x14 1.08): the two run whole, one after the
// other.
constexpr int64_t kBandMinBytes = 512 * 1024;

// Output rows per thread from which a team runs a small tensor in bands
// (14x14 blocks on 2 threads: 0.81-0.90 of the separate products' time,
// from 0.92-0.97 whole).
constexpr int64_t kTeamBandMinRows = 4;

// Expanded rows a band may hold: the band and the next one's weights stay
// in a core's L2 beside it.
constexpr int64_t kBandBytes = 384 * 1024;
// Gathered windows of a non-pointwise expansion per product.
constexpr int64_t kGatherBytes = 32 * 1024;
// Output-row strips per thread: each strip computes the rows its first band
// shares with the strip above once more, so a thread takes two only when
// each holds this many rows (EfficientNet's 14x14 blocks, 3-4 rows a strip:
// one strip per thread 0.85-0.90 of the time on 2 threads, 28x28 0.92-0.95,
// 56x56 no better).
constexpr int64_t kStripsPerThread = 2;
constexpr int64_t kMinStripRows = 8;

// The calling thread's buffer of `floats`, from a 64-byte line: the
// product's full-width stores and the depthwise loads then never straddle
// two lines (an unaligned buffer measured 10-15% slower on 7x7 layers).
template <class Tag>
float* line_aligned_floats(int64_t floats) {
    constexpr int64_t kLineFloats = 64 / int64_t(sizeof(float));
    float* p = conv_thread_floats<Tag>(floats + kLineFloats);
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    return p + int64_t((64 - a % 64) % 64) / int64_t(sizeof(float));
}
}  // namespace

bool expand_depthwise_f32_suits(const ExpandDepthwiseF32& p) {
    return p.cin > 0 && p.cmid > 0 && p.cout > 0 && p.cout % p.cmid == 0 && p.kh >= 1 && p.kw >= 1 &&
           p.stride_h >= 1 && p.stride_w >= 1 && p.dil_h >= 1 && p.dil_w >= 1 && p.pad_h >= 0 && p.pad_w >= 0 &&
           int64_t(p.pad_h) <= int64_t(p.kh - 1) * p.dil_h && !p.expand_epi.residual &&
           (p.expand_bp || p.cin == p.cmid) && (p.cproj == 0 || (p.cproj > 0 && p.project_bp)) &&
           (p.expand_bp || p.cproj > 0) && p.ekh >= 1 && p.ekw >= 1 && p.estride_h >= 1 && p.estride_w >= 1 &&
           p.epad_h >= 0 && p.epad_w >= 0 && (p.expand_bp || (p.ekh == 1 && p.ekw == 1 && p.estride_h == 1 &&
                                                               p.estride_w == 1 && p.epad_h == 0 && p.epad_w == 0)) &&
           (p.in_stride == 0 || p.in_stride == p.cin || (!p.expand_bp && p.in_stride > p.cin && p.cout == p.cmid));
}

namespace {
bool expand_in_place(const ExpandDepthwiseF32& p) {
    return p.ekh == 1 && p.ekw == 1 && p.estride_h == 1 && p.estride_w == 1 && p.epad_h == 0 && p.epad_w == 0;
}

// Expanded rows [r0, r1) (geometry e over the input) to out, row r0 first.
void expand_rows(const ExpandDepthwiseF32& p, const float* in, const Conv2dGeometry& e, int64_t r0, int64_t r1,
                 float* out, const ConvEpilogueF32* epi) {
    const int64_t k = e.kh * e.kw * p.cin;
    if (expand_in_place(p)) {
        gemm_f32_epi(in + r0 * e.w * p.cin, p.expand_bp, p.expand_bias, out, p.expand_relu, int32_t((r1 - r0) * e.ow),
                     p.cin, p.cmid, false, epi);
        return;
    }
    // Windows that lie inside the input are read in place where the path
    // can (a row's windows are kh runs of kw * cin floats); the others go
    // through a small gathered matrix. Either way each output is the GEMM's
    // sum over the same k values in the same order.
    const GemmF32RowsFn in_place = cpu_kernels().gemm_f32_rows;
    const int64_t xa = std::min(e.ow, (e.pad_w + e.stride_w - 1) / e.stride_w);  // first inside column
    const int64_t last = e.w - e.kw + e.pad_w;                                    // largest inside ox * stride
    const int64_t xb = last < 0 ? xa : std::max(xa, std::min(e.ow, last / e.stride_w + 1));
    const int64_t step = std::max<int64_t>(1, kGatherBytes / (e.ow * k * int64_t(sizeof(float))));
    float* a = conv_thread_floats<GatherBuffer>(std::min(step, r1 - r0) * e.ow * k);
    auto gathered = [&](int64_t p0, int64_t p1) {  // output pixels [p0, p1), p0 at row r0
        im2col_pixels_f32(in, e, p0, p1, a);
        gemm_f32_epi(a, p.expand_bp, p.expand_bias, out + (p0 - r0 * e.ow) * p.cmid, p.expand_relu,
                     int32_t(p1 - p0), int32_t(k), p.cmid, false, epi);
    };
    for (int64_t r = r0; r < r1;) {
        const int64_t iy = r * e.stride_h - e.pad_h;
        if (in_place && iy >= 0 && iy + e.kh <= e.h && xb - xa >= 4) {
            in_place(in + (iy * e.w + xa * e.stride_w - e.pad_w) * p.cin, e.stride_w * p.cin, e.kw * p.cin,
                     e.w * p.cin, p.expand_bp, p.expand_bias, out + ((r - r0) * e.ow + xa) * p.cmid, p.expand_relu,
                     int32_t(xb - xa), int32_t(k), p.cmid, epi);
            if (xa > 0) gathered(r * e.ow, r * e.ow + xa);
            if (xb < e.ow) gathered(r * e.ow + xb, (r + 1) * e.ow);
            ++r;
            continue;
        }
        const int64_t n = std::min(step, r1 - r);
        gathered(r * e.ow, (r + n) * e.ow);
        r += n;
    }
}

// gemm_f32_epi over m rows, the rows split evenly between the team (the
// product's own split hands out strips of whole 12-row blocks, 4 of them
// for 2 threads: on 196 rows one thread gets 120). Each row's outputs are
// the same sums whatever rows a call holds.
void gemm_rows_even(const float* a, const float* bp, const float* bias, float* y, bool relu, int64_t m, int32_t k,
                    int32_t n, const ConvEpilogueF32* epi) {
    const int team = strip_team();
    run_strips(team, team, [&](int64_t s, int) {
        const SplitRange r = balanced_split(m, team, int(s));
        if (r.end <= r.begin) return;
        ConvEpilogueF32 local;
        const ConvEpilogueF32* e = nullptr;
        if (epi) {
            local = *epi;  // indexes the whole output; this call sees it from row r.begin
            if (local.residual) local.residual += r.begin * n;
            local.relu_tail_from -= r.begin * n;
            e = &local;
        }
        gemm_f32_epi(a + r.begin * k, bp, bias, y + r.begin * n, relu, int32_t(r.end - r.begin), k, n, false, e);
    });
}

// The projection of depthwise rows [oy0, oy1) (`rows` of them at dw, row
// oy0 first) into the whole output `out`.
void project_rows(const ExpandDepthwiseF32& p, const float* dw, int64_t ow, int64_t oy0, int64_t oy1,
                  float* out, bool whole) {
    const int64_t shift = oy0 * ow * p.cproj;
    ConvEpilogueF32 local = p.project_epi;  // indexes the whole output; this call sees it from row oy0
    if (local.residual) local.residual += shift;
    local.relu_tail_from -= shift;
    const ConvEpilogueF32* e = local.active() ? &local : nullptr;
    if (whole)
        gemm_rows_even(dw, p.project_bp, p.project_bias, out + shift, p.project_relu, (oy1 - oy0) * ow, p.cout,
                       p.cproj, e);
    else
        gemm_f32_epi(dw, p.project_bp, p.project_bias, out + shift, p.project_relu, int32_t((oy1 - oy0) * ow),
                     p.cout, p.cproj, false, e);
}
// Whether a team of `team` may take a small image in channel slices: a
// plain 1x1 expansion feeding a depthwise layer of multiplier 1 with no
// residual (which reads every channel of a pixel), at least a panel a
// thread, and slices of whole groups of 4 (the grouped activations'
// condition).
bool channel_slices_suit(const ExpandDepthwiseF32& p, int team, int64_t panel) {
    if (team < 2 || !p.expand_bp || !expand_in_place(p) || p.cout != p.cmid) return false;
    if ((p.in_stride != 0 && p.in_stride != p.cin) || (p.dw_epi && p.dw_epi->residual)) return false;
    return (int64_t(p.cmid) + panel - 1) / panel >= team && p.cmid % 4 == 0 && panel % 4 == 0;
}

// A team's small image of few rows (7x7) otherwise runs as two team
// passes, the expansion then the depthwise layer. In channel slices it is
// one: each thread expands its own range of W's panels over every pixel
// (reading only its part of W) and runs the depthwise layer on those
// channels while they are in its L2 (2 threads, EfficientNet's and
// MobileNet's 7x7 blocks with SiLU, weights from memory: 160 -> 960,
// 192 -> 1152, 256 -> 1536, 320 -> 1920 0.70-0.77 of the time; with the
// projection after them, a team product of its own, 0.84-0.87). Not at
// 14x14 (0.99-1.09 of the row strips' time) nor 28x28 (1.6).
//
// Channel slice s of `team`: the expansion's columns [c0, c1) over every
// pixel, then the depthwise layer over them, copied to their place in
// `out`. Each value is the same sum as in the whole call.
void expand_depthwise_slice(const float* in, const Conv2dGeometry& e, const Conv2dGeometry& g,
                            const ExpandDepthwiseF32& p, int64_t panel, int team, int s, float* out) {
    const int64_t panels = (int64_t(p.cmid) + panel - 1) / panel;
    const SplitRange pr = balanced_split(panels, team, s);
    const int64_t c0 = pr.begin * panel, c1 = std::min<int64_t>(p.cmid, pr.end * panel), cs = c1 - c0;
    if (cs <= 0) return;
    const int64_t pixels = e.oh * e.ow, taps = int64_t(p.kh) * p.kw, out_pixels = g.oh * g.ow;
    float* x = line_aligned_floats<SliceBuffer>(pixels * cs);
    float* dw = line_aligned_floats<SliceDepthwiseBuffer>(out_pixels * cs);
    float* w = line_aligned_floats<SliceTapsBuffer>(taps * cs);
    const ConvEpilogueF32* expand_epi = p.expand_epi.active() ? &p.expand_epi : nullptr;
    gemm_f32_epi(in, p.expand_bp + pr.begin * p.cin * panel, p.expand_bias ? p.expand_bias + c0 : nullptr, x,
                 p.expand_relu, int32_t(pixels), p.cin, int32_t(cs), false, expand_epi);
    for (int64_t t = 0; t < taps; ++t) std::memcpy(w + t * cs, p.dw_taps + t * p.cmid + c0, size_t(cs) * sizeof(float));
    const Conv2dGeometry b = conv2d_geometry(int32_t(cs), int32_t(e.oh), int32_t(e.ow), p.kh, p.kw, p.stride_h,
                                             p.stride_w, p.pad_h, p.pad_w, p.dil_h, p.dil_w);
    const ConvEpilogueF32* dw_epi = p.dw_epi && p.dw_epi->active() ? p.dw_epi : nullptr;
    conv2d_f32_depthwise_rows(x, w, p.dw_bias ? p.dw_bias + c0 : nullptr, dw, b, cs, p.dw_relu, 0, g.oh, dw_epi);
    for (int64_t i = 0; i < out_pixels; ++i)
        std::memcpy(out + i * p.cmid + c0, dw + i * cs, size_t(cs) * sizeof(float));
}
}  // namespace

void conv2d_f32_expand_depthwise(const float* in, int32_t h_in, int32_t w_in, const ExpandDepthwiseF32& p,
                                 float* out) {
    const Conv2dGeometry e = conv2d_geometry(p.cin, h_in, w_in, p.ekh, p.ekw, p.estride_h, p.estride_w, p.epad_h,
                                             p.epad_w, 1, 1);
    if (e.oh <= 0 || e.ow <= 0 || h_in <= 0 || w_in <= 0) return;
    const int64_t h = e.oh, w = e.ow;  // the depthwise input
    const Conv2dGeometry g = conv2d_geometry(p.cmid, h, w, p.kh, p.kw, p.stride_h, p.stride_w, p.pad_h, p.pad_w,
                                             p.dil_h, p.dil_w);
    if (g.oh <= 0 || g.ow <= 0 || h <= 0 || w <= 0) return;
    const int64_t span = (g.kh - 1) * g.dil_h + 1;  // input rows one output row reads
    const int64_t row_floats = int64_t(w) * p.cmid;
    // Floats per pixel of `in` (wider than cmid only without expansion).
    const int64_t px = p.in_stride > 0 ? p.in_stride : p.cin;
    const ConvEpilogueF32* expand_epi = p.expand_epi.active() ? &p.expand_epi : nullptr;
    const bool expand = p.expand_bp != nullptr, project = p.cproj > 0;
    const int64_t dw_row_floats = g.ow * p.cout;
    // A team takes small tensors in bands as well, one strip per thread, for
    // one parallel pass instead of three, unless the image has too few rows
    // for the rows strips share (7x7: each strip expands a third more).
    const int team = strip_team();
    const bool small = int64_t(h) * row_floats * int64_t(sizeof(float)) < kBandMinBytes;
    // The path's panel width: a one-column block holds one panel of one row.
    const int64_t panel = int64_t(packed_f32_bytes(1, 1) / sizeof(float));
    if (small && team > 1 && g.oh < kTeamBandMinRows * team && channel_slices_suit(p, team, panel)) {
        // A projection reads every channel: it follows as a team product.
        float* dw = project ? line_aligned_floats<WholeDepthwiseBuffer>(g.oh * dw_row_floats) : out;
        run_strips(team, team, [&](int64_t s, int) { expand_depthwise_slice(in, e, g, p, panel, team, int(s), dw); });
        if (project) project_rows(p, dw, g.ow, 0, g.oh, out, true);
        return;
    }
    if (small && (team == 1 || g.oh < kTeamBandMinRows * team)) {
        const float* mid = in;
        if (expand) {
            float* x = line_aligned_floats<WholeBuffer>(int64_t(h) * row_floats);
            if (expand_in_place(p))
                gemm_rows_even(in, p.expand_bp, p.expand_bias, x, p.expand_relu, h * w, p.cin, p.cmid, expand_epi);
            else
                conv2d_f32_epi(in, nullptr, p.expand_bias, x, p.cin, h_in, w_in, p.cmid, p.ekh, p.ekw, p.estride_h,
                               p.estride_w, p.epad_h, p.epad_w, p.expand_relu, p.expand_bp, nullptr, 1, 1, expand_epi);
            mid = x;
        }
        float* dw = project ? line_aligned_floats<WholeDepthwiseBuffer>(g.oh * dw_row_floats) : out;
        if (expand || px == p.cmid) {
            conv2d_f32_depthwise_epi(mid, p.dw_taps, p.dw_bias, dw, p.cmid, int32_t(h), int32_t(w), p.cout, p.kh,
                                     p.kw, p.stride_h, p.stride_w, p.pad_h, p.pad_w, p.dil_h, p.dil_w, p.dw_relu,
                                     p.dw_epi);
        } else {
            // Wider input pixels: the row kernel reads the prefix in place,
            // rows split as the whole-image kernel splits them.
            const Conv2dGeometry gs = conv2d_geometry(px, h, w, p.kh, p.kw, p.stride_h, p.stride_w, p.pad_h,
                                                      p.pad_w, p.dil_h, p.dil_w);
            const ConvEpilogueF32* de = p.dw_epi && p.dw_epi->active() ? p.dw_epi : nullptr;
            const int whole_strips = int(std::min<int64_t>(g.oh, int64_t(team) * kDepthwiseStripsPerThread));
            run_strips(whole_strips, team, [&](int64_t s, int) {
                const SplitRange r = balanced_split(g.oh, whole_strips, int(s));
                conv2d_f32_depthwise_rows(mid, p.dw_taps, p.dw_bias, dw, gs, p.cout, p.dw_relu, r.begin, r.end, de);
            });
        }
        if (project) project_rows(p, dw, g.ow, 0, g.oh, out, true);
        return;
    }
    const int64_t fit = kBandBytes / (row_floats * int64_t(sizeof(float)));
    int64_t band = std::max<int64_t>(1, (fit - span) / g.stride_h + 1);  // output rows per band
    // The depthwise rows the projection reads stay within the same budget.
    if (project) band = std::min(band, std::max<int64_t>(1, kBandBytes / (dw_row_floats * int64_t(sizeof(float)))));
    const int64_t cap = std::min<int64_t>(h, (band - 1) * g.stride_h + span);   // expanded rows per band
    const bool split = !small && g.oh >= int64_t(team) * kStripsPerThread * kMinStripRows;
    const int strips = int(std::min<int64_t>(g.oh, int64_t(team) * (split ? kStripsPerThread : 1)));
    run_strips(strips, team, [&](int64_t s, int) {
        const SplitRange rows = balanced_split(g.oh, strips, int(s));
        float* buf = expand ? line_aligned_floats<BandBuffer>(cap * row_floats) : nullptr;
        float* dw_buf = project ? line_aligned_floats<DepthwiseBandBuffer>(band * dw_row_floats) : nullptr;
        int64_t have_lo = 0, have_hi = 0;  // expanded rows in buf, from its top
        for (int64_t oy0 = rows.begin; oy0 < rows.end; oy0 += band) {
            const int64_t oy1 = std::min<int64_t>(rows.end, oy0 + band);
            const int64_t lo = std::max<int64_t>(0, oy0 * g.stride_h - g.pad_h);
            const int64_t hi = std::min<int64_t>(h, (oy1 - 1) * g.stride_h - g.pad_h + span);
            const float* src = in + lo * w * px;
            if (expand) {
                // Rows the previous band expanded move up rather than being
                // computed again.
                int64_t from = lo;
                if (have_hi > lo && have_lo <= lo) {
                    std::memmove(buf, buf + (lo - have_lo) * row_floats,
                                 size_t((have_hi - lo) * row_floats) * sizeof(float));
                    from = have_hi;
                }
                if (hi > from) expand_rows(p, in, e, from, hi, buf + (from - lo) * row_floats, expand_epi);
                have_lo = lo;
                have_hi = hi;
                src = buf;
            }
            // The band as an image of its own: rows lo..hi, its top padding
            // what remains of the image's above row lo.
            const Conv2dGeometry b = conv2d_geometry(expand ? p.cmid : px, hi - lo, w, p.kh, p.kw, p.stride_h,
                                                     p.stride_w, lo - (oy0 * g.stride_h - g.pad_h), p.pad_w, p.dil_h,
                                                     p.dil_w);
            // The depthwise rows go to the output, or to dw_buf for the
            // projection.
            const int64_t shift = project ? 0 : oy0 * dw_row_floats;
            ConvEpilogueF32 local;
            const ConvEpilogueF32* dw_epi = nullptr;
            if (p.dw_epi) {
                local = *p.dw_epi;  // indexes the whole depthwise output; this call sees it from row oy0
                if (local.residual) local.residual += oy0 * dw_row_floats;
                local.relu_tail_from -= oy0 * dw_row_floats;
                dw_epi = &local;
            }
            conv2d_f32_depthwise_rows(src, p.dw_taps, p.dw_bias, project ? dw_buf : out + shift, b, p.cout,
                                      p.dw_relu, 0, oy1 - oy0, dw_epi);
            if (project) project_rows(p, dw_buf, g.ow, oy0, oy1, out, false);
        }
    });
}

}  // namespace vantrel
