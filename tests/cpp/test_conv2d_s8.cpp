// int8 2-D convolution kernels against a direct convolution summed in int64
// here (in_zp padding, then requantize): im2col + GEMM, grouped and
// depthwise paths exactly, every depthwise vector path against the same
// reference, and Winograd exactly against a scalar version of its integer
// algorithm and loosely against the direct convolution. Every result is
// also checked to be the same at 1, 2 and 3 threads.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <ostream>
#include <random>
#include <vector>

#include "kernels/conv/conv2d_s8.h"
#include "kernels/conv/conv2d_s8_depthwise.h"
#include "kernels/conv/conv2d_s8_wino.h"
#include "kernels/gemm/gemm_s8.h"
#include "kernels/quantize.h"
#include "tests/cpp/kernel_test_paths.h"

using namespace vantrel;

namespace {

using Bytes = std::vector<int8_t>;

Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 g(seed);
    std::uniform_int_distribution<int> u(-128, 127);
    Bytes v(n);
    for (int8_t& x : v) x = int8_t(u(g));
    return v;
}

struct Conv {
    int cin, h, w, cout, kh, kw, sh, sw, ph, pw, groups, in_zp;
    int oh() const { return ext(h, kh, sh, ph); }
    int ow() const { return ext(w, kw, sw, pw); }
    static int ext(int in, int k, int s, int p) { return in + 2 * p - k < 0 ? 0 : (in + 2 * p - k) / s + 1; }
    friend std::ostream& operator<<(std::ostream& o, const Conv& c) {
        return o << "cin " << c.cin << " " << c.h << "x" << c.w << " cout " << c.cout << " k " << c.kh << "x" << c.kw
                  << " s " << c.sh << "," << c.sw << " p " << c.ph << "," << c.pw << " groups " << c.groups
                  << " in_zp " << c.in_zp;
    }
};

// Data of one case, per-channel requantisation spread over the int8 range,
// eff_bias with bits above 32 set (only the low word counts).
struct Problem {
    Conv c;
    Bytes in, w;
    std::vector<int64_t> eff_bias;
    std::vector<int32_t> mult, shift;
    int8_t out_zp = -3;
    explicit Problem(const Conv& cv) : c(cv) {
        const int cig = c.cin / c.groups, k = cig * c.kh * c.kw;
        in = random_bytes(size_t(c.h) * c.w * c.cin, 7u + c.cin * 13u + c.h);
        w = random_bytes(size_t(c.cout) * k, 3u + c.cout);
        std::mt19937 g(99u + c.cout);
        std::uniform_int_distribution<int> b(-20000, 20000);
        for (int o = 0; o < c.cout; ++o) {
            eff_bias.push_back(b(g) + int64_t(o % 3 - 1) * (int64_t(1) << 33));
            QuantMultiplier q = quantize_multiplier(float(40.0 / (std::sqrt(double(k)) * 5500.0) * (0.6 + 0.1 * (o % 9))));
            mult.push_back(q.multiplier);
            shift.push_back(q.shift);
        }
    }
    size_t out_size() const { return size_t(c.oh()) * c.ow() * c.cout; }
    // Raw int64 sum of output (oy, ox, o) over padded taps.
    int64_t acc(int oy, int ox, int o) const {
        const int cig = c.cin / c.groups, cog = c.cout / c.groups, g = o / cog;
        int64_t s = 0;
        for (int ci = 0; ci < cig; ++ci)
            for (int ky = 0; ky < c.kh; ++ky)
                for (int kx = 0; kx < c.kw; ++kx) {
                    const int iy = oy * c.sh - c.ph + ky, ix = ox * c.sw - c.pw + kx;
                    const bool inside = iy >= 0 && iy < c.h && ix >= 0 && ix < c.w;
                    const int v = inside ? in[(size_t(iy) * c.w + ix) * c.cin + g * cig + ci] : c.in_zp;
                    s += int64_t(v) * w[((size_t(o) * cig + ci) * c.kh + ky) * c.kw + kx];
                }
        return s;
    }
    Bytes reference() const {
        Bytes y;
        for (int oy = 0; oy < c.oh(); ++oy)
            for (int ox = 0; ox < c.ow(); ++ox)
                for (int o = 0; o < c.cout; ++o)
                    y.push_back(requantize(int32_t(acc(oy, ox, o)), int32_t(eff_bias[o]), mult[o], shift[o], out_zp));
        return y;
    }
};

// Runs fn at 1, 2 and 3 threads into fresh buffers (sentinel-filled, one
// guard byte); all three must agree, guard untouched.
Bytes at_thread_counts(size_t n, const std::function<void(int8_t*)>& fn) {
    const int saved = omp_get_max_threads();
    Bytes first;
    for (int threads : {1, 2, 3}) {
        omp_set_num_threads(threads);
        Bytes y(n + 1, int8_t(0x5a));
        fn(y.data());
        EXPECT_EQ(y[n], int8_t(0x5a)) << "wrote past the output at " << threads << " threads";
        y.pop_back();
        if (first.empty() && threads == 1) first = y;
        else EXPECT_EQ(first, y) << threads << " threads vs 1";
    }
    omp_set_num_threads(saved);
    return first;
}

Bytes reordered(const Problem& p) {
    const int cig = p.c.cin / p.c.groups, taps = p.c.kh * p.c.kw;
    Bytes r(p.w.size());
    for (int o = 0; o < p.c.cout; ++o)
        for (int ci = 0; ci < cig; ++ci)
            for (int t = 0; t < taps; ++t) r[(size_t(o) * taps + t) * cig + ci] = p.w[(size_t(o) * cig + ci) * taps + t];
    return r;
}

class Conv2dS8 : public ::testing::TestWithParam<Conv> {};
TEST_P(Conv2dS8, MatchesDirectReference) {
    const Problem p(GetParam());
    const Conv& c = p.c;
    const Bytes want = p.reference();
    const int k = c.kh * c.kw * c.cin / c.groups;
    int8_t* bp = c.groups == 1 ? pack_s8(reordered(p).data(), c.cout, k) : nullptr;
    Bytes scratch(size_t(c.oh()) * c.ow() * k + 1);
    for (bool dense : {true, false}) {
        if (c.groups == 1 && !dense) continue;
        auto run = [&](const int8_t* packed, int8_t* s) {
            return at_thread_counts(p.out_size(), [&](int8_t* y) {
                k_conv2d_s8(p.in.data(), p.w.data(), packed, p.eff_bias.data(), p.mult.data(), p.shift.data(),
                            int8_t(c.in_zp), p.out_zp, y, c.cin, c.h, c.w, c.cout, c.kh, c.kw, c.sh, c.sw,
                            c.ph, c.pw, c.groups, s, dense, nullptr, nullptr);
            });
        };
        EXPECT_EQ(run(bp, scratch.data()), want) << "dense=" << dense;
        // No packed block: packs the file-order weights itself.
        EXPECT_EQ(run(nullptr, nullptr), want) << "dense=" << dense << ", unpacked";
    }
    free_packed_s8(bp);
}
INSTANTIATE_TEST_SUITE_P(
    Shapes, Conv2dS8,
    ::testing::Values(Conv{8, 5, 6, 12, 1, 1, 1, 1, 0, 0, 1, 4},    // direct 1x1
                      Conv{5, 7, 6, 9, 1, 1, 2, 2, 0, 0, 1, -2},    // 1x1 stride 2: im2col
                      Conv{6, 6, 7, 10, 3, 3, 1, 1, 1, 1, 1, 5},    // borders are in_zp = 5
                      Conv{3, 11, 10, 8, 7, 7, 2, 2, 3, 3, 1, -9},  // 7x7 stride 2 pad 3
                      Conv{4, 7, 9, 6, 3, 2, 1, 2, 2, 0, 1, 11},    // non-square kernel and stride
                      Conv{19, 12, 13, 21, 3, 3, 1, 1, 1, 1, 1, 1}, // several GEMM blocks
                      Conv{4, 2, 3, 5, 5, 1, 1, 1, 0, 0, 1, 0},     // kernel taller than input
                      Conv{6, 5, 6, 4, 3, 3, 1, 1, 1, 1, 2, 7},     // groups 2
                      Conv{8, 6, 5, 12, 1, 1, 1, 1, 0, 0, 4, -1},   // groups 4, 1x1
                      Conv{8, 7, 7, 8, 3, 3, 2, 2, 1, 1, 4, 3},     // groups 4, stride 2
                      Conv{20, 7, 5, 20, 3, 3, 2, 2, 1, 1, 20, 6},  // depthwise, file-order weights
                      Conv{9, 7, 6, 9, 3, 3, 1, 1, 0, 0, 9, -4}));  // depthwise shape, pad 0: per group

// Depthwise 3x3 kernels through the layer's entry (tap-major weights, 32-bit
// biases): every path against the reference, including requantisation
// parameters at the edges of the vector lanes' ranges.
struct Dw {
    int c, h, w, stride;
};
class DepthwiseS8 : public ::testing::TestWithParam<Dw> {};
TEST_P(DepthwiseS8, EveryPathMatchesReference) {
    const Dw d = GetParam();
    Problem p(Conv{d.c, d.h, d.w, d.c, 3, 3, d.stride, d.stride, 1, 1, d.c, 9});
    // Channel 0: x = m = INT32_MIN (zero weights, bias INT32_MIN) saturates;
    // then shifts beyond +-32 and shifts whose low byte is small.
    for (int t = 0; t < 9; ++t) p.w[size_t(t)] = 0;
    p.eff_bias[0] = INT32_MIN;
    p.mult[0] = INT32_MIN;
    const int32_t shifts[] = {0, 40, -40, 300, -300, 3, -31, -32, 256};
    for (int ch = 1; ch < 9 && ch < d.c; ++ch) p.shift[size_t(ch)] = shifts[ch];
    const Bytes want = p.reference();
    Bytes taps(size_t(d.c) * 9);
    depthwise3x3_weights_tap_major_s8(p.w.data(), taps.data(), d.c);
    std::vector<int32_t> bias32(p.eff_bias.begin(), p.eff_bias.end());
    using Fn = void (*)(VANTREL_DEPTHWISE3X3_S8_ARGS);
    for (auto& v : vantrel_test::runnable_paths(VANTREL_KERNEL_VARIANTS(Fn, conv2d_s8_depthwise3x3))) {
        Bytes y = at_thread_counts(p.out_size(), [&](int8_t* o) {
            v.second(p.in.data(), taps.data(), bias32.data(), p.mult.data(), p.shift.data(), 9, p.out_zp, o,
                     d.c, d.h, d.w, d.stride);
        });
        EXPECT_EQ(y, want) << v.first;
    }
}
INSTANTIATE_TEST_SUITE_P(Shapes, DepthwiseS8,
                         ::testing::Values(Dw{35, 7, 9, 1}, Dw{35, 7, 9, 2}, Dw{48, 9, 6, 2},
                                           Dw{16, 5, 5, 1}, Dw{9, 1, 2, 2}));

// ---- Winograd ----------------------------------------------------------

// Steps 2 and 3 of requantize, in int64.
int32_t rescale_ref(int32_t x, int32_t m, int32_t e) {
    int64_t t = (x == INT32_MIN && m == INT32_MIN) ? INT32_MAX : (2 * int64_t(x) * m + (int64_t(1) << 31)) >> 32;
    if (e >= 0) return e >= 32 ? 0 : int32_t(uint32_t(t) << e);
    const int s = std::min(-e, 32);
    return int32_t((t + (int64_t(1) << (s - 1))) >> s);
}

// Weights prepared as the int8 convolution layer does: U_t = G g G^T,
// quantised per position, and the bias correcting the zero point's term.
struct WinoData {
    std::vector<Bytes> uq;  // 16 x [cout][cin]
    float u_scale[16];
    std::vector<int64_t> wino_bias;
    explicit WinoData(const Problem& p) : uq(16) {
        const Conv& c = p.c;
        const float G[4][3] = {{1, 0, 0}, {0.5f, 0.5f, 0.5f}, {0.5f, -0.5f, 0.5f}, {0, 0, 1}};
        std::vector<float> u(size_t(16) * c.cout * c.cin);
        for (int o = 0; o < c.cout; ++o)
            for (int ci = 0; ci < c.cin; ++ci)
                for (int i = 0; i < 4; ++i)
                    for (int j = 0; j < 4; ++j) {
                        float s = 0;
                        for (int a = 0; a < 3; ++a)
                            for (int b = 0; b < 3; ++b) s += G[i][a] * float(p.w[((size_t(o) * c.cin + ci) * 3 + a) * 3 + b]) * G[j][b];
                        u[(size_t(4 * i + j) * c.cout + o) * c.cin + ci] = s;
                    }
        for (int t = 0; t < 16; ++t) {
            const float* ut = &u[size_t(t) * c.cout * c.cin];
            float mx = 0;
            for (int i = 0; i < c.cout * c.cin; ++i) mx = std::max(mx, std::fabs(ut[i]));
            u_scale[t] = mx > 0 ? mx * 0.007874016f : 1.0f;
            for (int i = 0; i < c.cout * c.cin; ++i)
                uq[t].push_back(int8_t(std::max(-128.0f, std::min(127.0f, std::round(ut[i] * (1.0f / u_scale[t]))))));
        }
        const QuantMultiplier q5 = quantize_multiplier(u_scale[5] / 0.25f);
        for (int o = 0; o < c.cout; ++o) {
            int64_t row_sum = 0, corr5 = 0;
            for (int i = 0; i < c.cin * 9; ++i) row_sum += p.w[size_t(o) * c.cin * 9 + i];
            for (int ci = 0; ci < c.cin; ++ci) corr5 += uq[5][size_t(o) * c.cin + ci];
            const int64_t zp_term = ((int64_t(1) << (30 - q5.shift)) + c.in_zp * corr5 * q5.multiplier) >> (31 - q5.shift);
            wino_bias.push_back(p.eff_bias[o] + c.in_zp * row_sum - zp_term);
        }
    }
};

// The integer Winograd algorithm written out with the transform matrices.
Bytes wino_reference(const Problem& p, const WinoData& wd) {
    const Conv& c = p.c;
    const int BT[4][4] = {{1, 0, -1, 0}, {0, 1, 1, 0}, {0, -1, 1, 0}, {0, 1, 0, -1}};
    const int AT[2][4] = {{1, 1, 1, 0}, {0, 1, -1, -1}};
    Bytes y(p.out_size());
    for (int ty = 0; ty < (c.h + 1) / 2; ++ty)
        for (int tx = 0; tx < (c.w + 1) / 2; ++tx) {
            std::vector<int> v(size_t(16) * c.cin);
            for (int ci = 0; ci < c.cin; ++ci)
                for (int i = 0; i < 4; ++i)
                    for (int j = 0; j < 4; ++j) {
                        int s = 0;
                        for (int a = 0; a < 4; ++a)
                            for (int b = 0; b < 4; ++b) {
                                const int iy = 2 * ty - 1 + a, ix = 2 * tx - 1 + b;
                                const bool inside = iy >= 0 && iy < c.h && ix >= 0 && ix < c.w;
                                s += BT[i][a] * (inside ? p.in[(size_t(iy) * c.w + ix) * c.cin + ci] : c.in_zp) * BT[j][b];
                            }
                        v[size_t(4 * i + j) * c.cin + ci] = std::max(-128, std::min(127, (s + 2) >> 2));
                    }
            for (int o = 0; o < c.cout; ++o) {
                int64_t r[16];
                for (int t = 0; t < 16; ++t) {
                    int64_t prod = 0;
                    for (int ci = 0; ci < c.cin; ++ci) prod += int64_t(v[size_t(t) * c.cin + ci]) * wd.uq[t][size_t(o) * c.cin + ci];
                    const QuantMultiplier q = quantize_multiplier((1.0f / 0.25f) * wd.u_scale[t]);
                    r[t] = rescale_ref(int32_t(prod), q.multiplier, q.shift);
                }
                for (int a = 0; a < 2; ++a)
                    for (int b = 0; b < 2; ++b) {
                        const int oy = 2 * ty + a, ox = 2 * tx + b;
                        if (oy >= c.h || ox >= c.w) continue;
                        int64_t s = 0;
                        for (int i = 0; i < 4; ++i)
                            for (int j = 0; j < 4; ++j) s += AT[a][i] * r[4 * i + j] * AT[b][j];
                        y[(size_t(oy) * c.w + ox) * c.cout + o] =
                            requantize(int32_t(s), int32_t(wd.wino_bias[o]), p.mult[o], p.shift[o], p.out_zp);
                    }
            }
        }
    return y;
}

class WinogradS8 : public ::testing::TestWithParam<Conv> {};
TEST_P(WinogradS8, MatchesIntegerAlgorithmAndApproximatesDirect) {
    const Problem p(GetParam());
    const Conv& c = p.c;
    const WinoData wd(p);
    const int8_t* u[16];
    for (int t = 0; t < 16; ++t) u[t] = pack_s8(wd.uq[t].data(), c.cout, c.cin);
    const int64_t tiles = int64_t((c.h + 1) / 2) * ((c.w + 1) / 2);
    Bytes s0(size_t(16 * tiles * c.cin));
    std::vector<int32_t> s1(size_t(16 * tiles * c.cout));
    auto run = [&](int8_t* a0, int32_t* a1) {
        return at_thread_counts(p.out_size(), [&](int8_t* y) {
            k_conv2d_s8_wino(p.in.data(), u, wd.u_scale, wd.wino_bias.data(), p.mult.data(), p.shift.data(),
                             nullptr, int8_t(c.in_zp), 0.25f, p.out_zp, y, c.cin, c.h, c.w, c.cout, a0, a1,
                             nullptr, nullptr);
        });
    };
    const Bytes y = run(s0.data(), s1.data());
    EXPECT_EQ(y, wino_reference(p, wd));
    EXPECT_EQ(run(nullptr, nullptr), y) << "null scratch";
    // The quantised transforms stay close to the direct convolution.
    const Bytes direct = p.reference();
    double sum = 0;
    int worst = 0;
    for (size_t i = 0; i < y.size(); ++i) {
        const int d = std::abs(int(y[i]) - int(direct[i]));
        sum += d;
        worst = std::max(worst, d);
    }
    EXPECT_LE(sum / double(y.size()), 0.8);
    EXPECT_LE(worst, 3);
    for (auto* b : u) free_packed_s8(const_cast<int8_t*>(b));
}
INSTANTIATE_TEST_SUITE_P(Shapes, WinogradS8,
                         ::testing::Values(Conv{5, 7, 9, 6, 3, 3, 1, 1, 1, 1, 1, 3},     // odd h and w
                                           Conv{16, 8, 6, 20, 3, 3, 1, 1, 1, 1, 1, -7},
                                           Conv{3, 1, 1, 4, 3, 3, 1, 1, 1, 1, 1, 0}));

}  // namespace
