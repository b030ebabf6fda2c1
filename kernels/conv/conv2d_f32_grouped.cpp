#include "kernels/conv/conv2d_f32_grouped.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/conv/conv2d_f32_grouped_loops.h"
#include "kernels/conv/im2col_f32.h"
#include "kernels/cpu_kernels.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/kernel_path.h"
#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {

namespace {

struct GroupedBuffer;  // tags the buffer of calls without scratch

bool valid_groups(int32_t cin, int32_t cout, int32_t groups) {
    return cin > 0 && cout > 0 && groups > 0 && cin % groups == 0 && cout % groups == 0;
}

// Output rows [oy0, oy1) of group g: y is [m][cog], out is [m][cout].
void scatter_rows(const float* y, float* out, const Conv2dGeometry& g, int64_t cout, int64_t cog,
                  int64_t grp, int64_t oy0, int64_t oy1) {
    for (int64_t r = oy0 * g.ow; r < oy1 * g.ow; ++r)
        std::memcpy(out + r * cout + grp * cog, y + r * cog, size_t(cog) * sizeof(float));
}

}  // namespace

VANTREL_GROUPED_F32_ENTRY_POINT(portable, GroupedScalarChannels)

bool grouped_direct_f32_suits(int32_t cin, int32_t cout, int32_t groups) {
    if (!valid_groups(cin, cout, groups)) return false;
    const int32_t cig = cin / groups, cog = cout / groups;
    // Measured (bench/conv_grouped_bench.cpp, time against the per-group
    // GEMM, 1 and 2 threads): 4 channels a group 0.08-0.10, 8 0.2-0.33, 16
    // 0.5-0.6, 24 0.7-0.97, 32 0.85-1.0; wider groups fill the GEMM's
    // panels and its barriers per group matter less. Since the AVX-512
    // blocks copy their input, one thread: 16 0.64-0.69, 24 0.95-0.97, 32
    // 0.94-1.02 (before: 0.80-0.86, 1.02-1.05, 1.23-1.28).
    if (cig > 32 || cog > 32) return false;
    return cog >= 8 || (cig == cog && (cog == 2 || cog == 4));
}

void grouped_weights_tap_major_f32(const float* w, float* taps, int32_t cin, int32_t cout,
                                   int32_t groups, int32_t kh, int32_t kw) {
    const int64_t cig = cin / groups, nt = int64_t(kh) * kw;
    for (int64_t o = 0; o < cout; ++o) {
        const int64_t b0 = o - o % 16, wb = std::min<int64_t>(16, cout - b0);
        float* blk = taps + b0 * nt * cig + (o - b0);
        for (int64_t ci = 0; ci < cig; ++ci)
            for (int64_t t = 0; t < nt; ++t) blk[(t * cig + ci) * wb] = w[(o * cig + ci) * nt + t];
    }
}

void conv2d_f32_grouped_direct(const float* in, const float* w_taps, const float* bias, float* out,
                               int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t groups,
                               int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w,
                               int32_t pad_h, int32_t pad_w, int32_t dilation_h, int32_t dilation_w,
                               bool relu) {
    // The path the CPU tables were filled with; no table slot of its own.
    using Fn = void (*)(VANTREL_GROUPED_F32_ARGS);
#if defined(__x86_64__)
    const Fn fn = pick_kernel<Fn>(cpu_kernels().path, &conv2d_f32_grouped_direct_portable,
                                  &conv2d_f32_grouped_direct_avx2, &conv2d_f32_grouped_direct_avx512, nullptr);
#elif defined(__aarch64__)
    const Fn fn = pick_kernel<Fn>(cpu_kernels().path, &conv2d_f32_grouped_direct_portable, nullptr, nullptr,
                                  &conv2d_f32_grouped_direct_neon);
#else
    const Fn fn = &conv2d_f32_grouped_direct_portable;
#endif
    fn(in, w_taps, bias, out, cin, h, w_in, cout, groups, kh, kw, stride_h, stride_w, pad_h, pad_w, dilation_h,
       dilation_w, relu);
}

int64_t grouped_conv_f32_scratch_floats(int32_t cin, int32_t h, int32_t w_in, int32_t cout,
                                        int32_t groups, int32_t kh, int32_t kw, int32_t stride_h,
                                        int32_t stride_w, int32_t pad_h, int32_t pad_w,
                                        int32_t dilation_h, int32_t dilation_w) {
    if (!valid_groups(cin, cout, groups)) return 0;
    const Conv2dGeometry g =
        conv2d_geometry(cin, h, w_in, kh, kw, stride_h, stride_w, pad_h, pad_w, dilation_h, dilation_w);
    return g.oh * g.ow * (g.kh * g.kw * (cin / groups) + cout / groups);
}

void conv2d_f32_grouped(const float* in, const float* const* bp, const float* bias, float* out,
                        int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t groups,
                        int32_t kh, int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                        int32_t pad_w, int32_t dilation_h, int32_t dilation_w, bool relu,
                        float* scratch, void*) {
    if (!valid_groups(cin, cout, groups))
        throw std::runtime_error("conv2d_f32_grouped: " + std::to_string(groups) +
                                 " groups do not divide " + std::to_string(cin) + " input and " +
                                 std::to_string(cout) + " output channels");
    const Conv2dGeometry g =
        conv2d_geometry(cin, h, w_in, kh, kw, stride_h, stride_w, pad_h, pad_w, dilation_h, dilation_w);
    if (g.oh <= 0 || g.ow <= 0) return;
    const int64_t cig = cin / groups, cog = cout / groups;
    const int64_t m = g.oh * g.ow, k = g.kh * g.kw * cig;
    if (m > INT32_MAX || k > INT32_MAX)
        throw std::runtime_error("conv2d_f32_grouped: im2col matrix of " + std::to_string(m) +
                                 " x " + std::to_string(k) + " exceeds the GEMM's 32-bit extents");
    float* a = scratch ? scratch : conv_thread_floats<GroupedBuffer>(m * (k + cog));
    float* y = a + m * k;

    // Per group: the im2col rows and the scatter shared by output rows
    // over the team, the product split by the GEMM itself.
    const int threads = strip_team();
    auto shared_rows = [&](auto&& fn) { run_shares(g.oh, threads, fn); };
    for (int64_t grp = 0; grp < groups; ++grp) {
        shared_rows([&](int64_t r0, int64_t r1) { im2col_rows_f32(in, g, grp * cig, cig, r0, r1, a); });
        gemm_f32(a, bp[grp], bias ? bias + grp * cog : nullptr, y, relu, int32_t(m), int32_t(k), int32_t(cog),
                 false);
        shared_rows([&](int64_t r0, int64_t r1) { scatter_rows(y, out, g, cout, cog, grp, r0, r1); });
    }
}

}  // namespace vantrel
