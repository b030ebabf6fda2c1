// Direct 2-D convolution reference for the float convolution tests: every
// output summed in double from the raw [C_out][C_in/groups][kH][kW]
// weights, with the sum of |terms| as the scale of its allowed error.
#pragma once
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <random>
#include <vector>

namespace conv_ref {

struct Conv {
    int cin, h, w, cout, kh, kw, sh, sw, ph, pw, dh, dw, groups;
    bool relu, bias;
    int oh() const { return ext(h, kh, sh, ph, dh); }
    int ow() const { return ext(w, kw, sw, pw, dw); }
    static int ext(int in, int k, int s, int p, int d) {
        int span = in + 2 * p - d * (k - 1) - 1;
        return span < 0 ? 0 : span / s + 1;
    }
};

inline std::vector<float> randoms(size_t n, uint32_t seed) {
    std::mt19937 g(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = u(g);
    return v;
}

// Data of one case and the direct reference with a per-output error scale
// (sum of |terms|), in double.
struct Problem {
    Conv c;
    std::vector<float> in, w, bias;
    std::vector<double> want, scale;
    explicit Problem(const Conv& cv) : c(cv) {
        const int cig = c.cin / c.groups, cog = c.cout / c.groups;
        in = randoms(size_t(c.h) * c.w * c.cin, 11u + c.cin * 7u + c.h);
        w = randoms(size_t(c.cout) * cig * c.kh * c.kw, 5u + c.cout);
        if (c.bias) bias = randoms(size_t(c.cout), 3u);
        for (int oy = 0; oy < c.oh(); ++oy)
            for (int ox = 0; ox < c.ow(); ++ox)
                for (int o = 0; o < c.cout; ++o) {
                    const int g = o / cog;
                    double s = c.bias ? bias[o] : 0.0, a = std::fabs(s);
                    for (int ci = 0; ci < cig; ++ci)
                        for (int ky = 0; ky < c.kh; ++ky)
                            for (int kx = 0; kx < c.kw; ++kx) {
                                const int iy = oy * c.sh - c.ph + ky * c.dh, ix = ox * c.sw - c.pw + kx * c.dw;
                                if (iy < 0 || iy >= c.h || ix < 0 || ix >= c.w) continue;
                                double t = double(in[(size_t(iy) * c.w + ix) * c.cin + g * cig + ci]) *
                                           w[((size_t(o) * cig + ci) * c.kh + ky) * c.kw + kx];
                                s += t;
                                a += std::fabs(t);
                            }
                    want.push_back(c.relu && s < 0 ? 0.0 : s);
                    scale.push_back(a);
                }
    }
    const float* b() const { return c.bias ? bias.data() : nullptr; }
    size_t out_size() const { return size_t(c.oh()) * c.ow() * c.cout; }
    // Output with NaN guards behind it, to catch writes past the end.
    std::vector<float> fresh() const { return std::vector<float>(out_size() + 16, std::nanf("")); }
    void expect_near(const std::vector<float>& y, double tol) const {
        for (size_t i = 0; i < out_size(); ++i)
            ASSERT_NEAR(y[i], want[i], tol * (scale[i] + 1e-3)) << "output " << i;
        for (size_t i = out_size(); i < y.size(); ++i) ASSERT_TRUE(std::isnan(y[i])) << "guard " << i;
    }
};

inline void PrintTo(const Conv& c, std::ostream* os) {
    *os << c.cin << "x" << c.h << "x" << c.w << "->" << c.cout << " k" << c.kh << "x" << c.kw << " s"
        << c.sh << "," << c.sw << " p" << c.ph << "," << c.pw << " d" << c.dh << "," << c.dw << " g"
        << c.groups << (c.relu ? " relu" : "") << (c.bias ? " bias" : "");
}

}  // namespace conv_ref
