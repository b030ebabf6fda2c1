#include "kernels/conv/conv2d_s8.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/conv/conv2d_s8_depthwise.h"
#include "kernels/gemm/gemm_s8.h"
#include "kernels/conv/im2col_s8.h"
#include "kernels/parallel/strip_pool.h"
#include "kernels/quantize.h"

namespace vantrel {

namespace {

// Packed blocks made for one call, released on every exit path.
struct TempPacks {
    std::vector<int8_t*> blocks;
    ~TempPacks() {
        for (int8_t* b : blocks) free_packed_s8(b);
    }
};

struct Epilogue {
    const int64_t* eff_bias;
    const int32_t* multiplier;
    const int32_t* shift;
    int8_t out_zp;
};

// Row-split work (im2col, scatter) comes from the strip pool in a few
// strips per thread.
constexpr int64_t kStripsPerThread = 4;
// The fused im2col + GEMM strips of conv_dense: kStripBytes of im2col rows
// each at most (with the GEMM's copy of them, within a core's L2),
// kMinStripPixels per thread at least (whole register tiles), and weights
// of kMaxStripWeights bytes at most (every strip reads them all from L2).
constexpr int64_t kStripBytes = 192 * 1024;
constexpr int64_t kMinStripPixels = 96;
constexpr int64_t kMaxStripWeights = 256 * 1024;

// The im2col rows of channels [c0, c0 + cn) in strips of output rows.
void im2col_strips(const int8_t* in, const Conv2dGeometry& g, int64_t c0, int64_t cn, int8_t in_zp,
                   int8_t* a) {
    const int team = strip_team();
    const int strips = int(std::min<int64_t>(g.oh, int64_t(team) * kStripsPerThread));
    run_strips(strips, team, [&](int64_t i, int) {
        const SplitRange rows = balanced_split(g.oh, strips, int(i));
        im2col_rows_s8(in, g, c0, cn, rows.begin, rows.end, in_zp, a);
    });
}

void check_gemm_extents(int64_t m, int64_t k) {
    if (m > INT32_MAX || k > INT32_MAX)
        throw std::runtime_error("k_conv2d_s8: im2col matrix of " + std::to_string(m) + " x " +
                                 std::to_string(k) + " exceeds the GEMM's 32-bit extents");
}

// groups == 1: one im2col matrix over all channels and one GEMM whose
// [M][C_out] output is the channels-last result.
void conv_dense(const int8_t* in, const int8_t* w, const int8_t* bp, const Epilogue& ep,
                int8_t in_zp, int8_t* out, const Conv2dGeometry& g, int32_t cout, int8_t* scratch) {
    const int64_t m = g.oh * g.ow, k = g.kh * g.kw * g.c_total;
    check_gemm_extents(m, k);
    const bool direct = g.kh == 1 && g.kw == 1 && g.pad_h == 0 && g.pad_w == 0 &&
                        g.stride_h == 1 && g.stride_w == 1;
    TempPacks temp;
    if (!bp) {
        temp.blocks.push_back(nullptr);
        if (g.kh == 1 && g.kw == 1) {
            temp.blocks[0] = pack_s8(w, cout, int32_t(k));
        } else {
            // The im2col columns run ky, kx, c; the file order is c, ky, kx.
            std::vector<int8_t> r(size_t(cout) * size_t(k));
            reorder_conv_weights_s8(w, r.data(), cout, int32_t(g.c_total), int32_t(g.kh),
                                    int32_t(g.kw));
            temp.blocks[0] = pack_s8(r.data(), cout, int32_t(k));
        }
        bp = temp.blocks[0];
    }
    const int32_t m32 = int32_t(m), k32 = int32_t(k);
    std::vector<int8_t> own;
    const int team = strip_team();
    if (!direct && m >= cout && m >= int64_t(team) * kMinStripPixels && int64_t(cout) * k <= kMaxStripWeights) {
        // Many pixels, few channels (a stem, the 56 x 56 layers): each strip
        // lays out the im2col rows of its own pixels in a slice of the
        // scratch area and runs the GEMM on them at once, while they are in
        // this core's cache, instead of writing the whole matrix (1.8 MB for
        // ResNet's stem) and reading it back. Every strip reads all the
        // weights, hence the bound on them. Rows are independent, so the
        // bytes are the same.
        // At most one strip per pixel, so the count fits the split's int.
        const int64_t strips = std::min<int64_t>(
            m, std::max<int64_t>(int64_t(team) * kStripsPerThread, (m * k + kStripBytes - 1) / kStripBytes));
        const int64_t most = (m + strips - 1) / strips;
        const uint64_t slice = uint64_t(most) * uint64_t(k);
        if (!scratch || uint64_t(team) * slice > uint64_t(m) * uint64_t(k)) {
            own.resize(size_t(team) * size_t(slice));
            scratch = own.data();
        }
        run_strips(strips, team, [&](int64_t i, int w) {
            const SplitRange px = balanced_split(m, int(strips), int(i));
            if (px.begin >= px.end) return;
            int8_t* a = scratch + uint64_t(w) * slice;
            im2col_pixels_s8(in, g, px.begin, px.end, in_zp, a);
            // Inside a strip the GEMM runs on this thread alone.
            gemm_s8_s8out(a, bp, ep.eff_bias, ep.multiplier, ep.shift, ep.out_zp, out + px.begin * cout,
                          int32_t(px.end - px.begin), k32, cout, false, false);
        });
        return;
    }
    int8_t* a = nullptr;
    if (!direct) {
        if (!scratch) {
            own.resize(size_t(m) * size_t(k));
            scratch = own.data();
        }
        a = scratch;
    }
    const int8_t* amat = direct ? in : a;

    if (!direct) im2col_strips(in, g, 0, g.c_total, in_zp, a);
    // The GEMM takes the strip pool itself.
    gemm_s8_s8out(amat, bp, ep.eff_bias, ep.multiplier, ep.shift, ep.out_zp, out, m32, k32, cout,
                  false, false);
}

// Copies rows [r0, r1) of one group's [M][cout_g] product into its output
// channels [c0, c0 + cout_g) of the [M][cout] output.
void scatter_group(const int8_t* prod, int8_t* out, int64_t cout, int64_t c0, int64_t cout_g,
                   int64_t r0, int64_t r1) {
    for (int64_t r = r0; r < r1; ++r)
        std::memcpy(out + r * cout + c0, prod + r * cout_g, size_t(cout_g));
}

// groups > 1, general shape: each group convolves its own input channels
// with its own weights into a temporary [M][cout_g], which is then copied
// into the group's output channels.
void conv_per_group(const int8_t* in, const int8_t* w, const Epilogue& ep, int8_t in_zp,
                    int8_t* out, const Conv2dGeometry& g, int64_t cin, int64_t cout,
                    int64_t groups, int8_t* scratch) {
    const int64_t cin_g = cin / groups, cout_g = cout / groups;
    const int64_t m = g.oh * g.ow, k = g.kh * g.kw * cin_g;
    check_gemm_extents(m, k);
    TempPacks packs;
    packs.blocks.assign(size_t(groups), nullptr);
    {
        std::vector<int8_t> r(size_t(cout_g) * size_t(k));
        for (int64_t gi = 0; gi < groups; ++gi) {
            reorder_conv_weights_s8(w + gi * cout_g * k, r.data(), int32_t(cout_g), int32_t(cin_g),
                                    int32_t(g.kh), int32_t(g.kw));
            packs.blocks[size_t(gi)] = pack_s8(r.data(), int32_t(cout_g), int32_t(k));
        }
    }
    std::vector<int8_t> own;
    if (!scratch) {
        own.resize(size_t(m) * size_t(k));
        scratch = own.data();
    }
    int8_t* a = scratch;
    std::vector<int8_t> prod(size_t(m) * size_t(cout_g));
    const int32_t m32 = int32_t(m), k32 = int32_t(k), n32 = int32_t(cout_g);
    auto group_epilogue = [&](int64_t gi, const int64_t*& b, const int32_t*& mu, const int32_t*& sh) {
        b = ep.eff_bias + gi * cout_g;
        mu = ep.multiplier + gi * cout_g;
        sh = ep.shift + gi * cout_g;
    };

    for (int64_t gi = 0; gi < groups; ++gi) {
        const int64_t* b;
        const int32_t *mu, *sh;
        group_epilogue(gi, b, mu, sh);
        im2col_strips(in, g, gi * cin_g, cin_g, in_zp, a);
        gemm_s8_s8out(a, packs.blocks[size_t(gi)], b, mu, sh, ep.out_zp, prod.data(), m32, k32, n32,
                      false, false);
        const int team = strip_team();
        const int strips = int(std::min<int64_t>(m, int64_t(team) * kStripsPerThread));
        run_strips(strips, team, [&](int64_t i, int) {
            const SplitRange px = balanced_split(m, strips, int(i));
            scatter_group(prod.data(), out, cout, gi * cout_g, cout_g, px.begin, px.end);
        });
    }
}

// Depthwise 3x3 from file-order weights: the kernel wants tap-major weights
// and 32-bit biases.
void conv_depthwise_file_order(const int8_t* in, const int8_t* w, const Epilogue& ep,
                               int8_t in_zp, int8_t* out, int32_t c, int32_t h, int32_t w_in,
                               int32_t stride) {
    std::vector<int8_t> taps(static_cast<size_t>(c) * 9);
    depthwise3x3_weights_tap_major_s8(w, taps.data(), c);
    std::vector<int32_t> bias32(static_cast<size_t>(c));
    for (size_t i = 0; i < bias32.size(); ++i) bias32[i] = int32_t(uint32_t(uint64_t(ep.eff_bias[i])));
    conv2d_s8_depthwise3x3(in, taps.data(), bias32.data(), ep.multiplier, ep.shift, in_zp,
                           ep.out_zp, out, c, h, w_in, stride);
}

}  // namespace

void reorder_conv_weights_s8(const int8_t* w, int8_t* r, int32_t cout, int32_t cin_g, int32_t kh,
                             int32_t kw) {
    reorder_conv_weights_taps(w, r, cout, cin_g, int64_t(kh) * kw);
}

void k_conv2d_s8(const int8_t* in, const int8_t* w, const int8_t* bp, const int64_t* eff_bias,
                 const int32_t* multiplier, const int32_t* shift, int8_t in_zp, int8_t out_zp,
                 int8_t* out, int32_t cin, int32_t h, int32_t w_in, int32_t cout, int32_t kh,
                 int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h, int32_t pad_w,
                 int32_t groups, int8_t* scratch, bool dense, const int32_t*, void*) {
    (void)dense;  // groups alone decides: a dense im2col over grouped weights has no meaning
    if (groups < 1) groups = 1;
    if (cin <= 0 || cout <= 0 || h <= 0 || w_in <= 0) return;
    if (cin % groups != 0 || cout % groups != 0)
        throw std::runtime_error("k_conv2d_s8: " + std::to_string(cin) + " input and " +
                                 std::to_string(cout) + " output channels are not multiples of " +
                                 std::to_string(groups) + " groups");
    const Conv2dGeometry g =
        conv2d_geometry(cin / groups, h, w_in, kh, kw, stride_h, stride_w, pad_h, pad_w, 1, 1);
    if (g.oh <= 0 || g.ow <= 0) return;
    // A null bias is a zero bias.
    std::vector<int64_t> zero_bias;
    if (!eff_bias) {
        zero_bias.assign(size_t(cout), 0);
        eff_bias = zero_bias.data();
    }
    const Epilogue ep{eff_bias, multiplier, shift, out_zp};
    if (groups == 1) {
        conv_dense(in, w, bp, ep, in_zp, out, g, cout, scratch);
        return;
    }
    if (cin == groups && cout == groups && kh == 3 && kw == 3 && pad_h == 1 && pad_w == 1 &&
        stride_h == stride_w && (stride_h == 1 || stride_h == 2)) {
        conv_depthwise_file_order(in, w, ep, in_zp, out, cin, h, w_in, stride_h);
        return;
    }
    // The per-group im2col reads the group's channels out of whole pixels.
    Conv2dGeometry gg = g;
    gg.c_total = cin;
    conv_per_group(in, w, ep, in_zp, out, gg, cin, cout, groups, scratch);
}

}  // namespace vantrel
