#include <cmath>
#include <cstring>
#include <vector>

#include "kernels/conv/conv1d_f32_wino.h"

namespace vantrel {

namespace {

// Coefficients, ascending powers, of prod (x - roots[j]).
std::vector<double> poly_from_roots(const std::vector<double>& roots) {
    std::vector<double> c = {1.0};
    for (double q : roots) {
        std::vector<double> n(c.size() + 1, 0.0);
        for (size_t i = 0; i < c.size(); ++i) {
            n[i + 1] += c[i];
            n[i] -= q * c[i];
        }
        c.swap(n);
    }
    return c;
}

Conv1dWinograd make_tables(int m, int r) {
    Conv1dWinograd w;
    std::memset(&w, 0, sizeof(w));
    w.m = m;
    w.r = r;
    w.n = m + r - 1;
    const int finite = w.n - 1;
    std::vector<double> p(size_t(finite), 0.0);
    for (int q = 1; 2 * q <= finite - 1; ++q) {
        p[size_t(2 * q - 1)] = q;
        p[size_t(2 * q)] = -q;
    }
    for (int i = 0; i < finite; ++i) {
        double den = 1.0;
        std::vector<double> others;
        for (int j = 0; j < finite; ++j)
            if (j != i) {
                den *= p[size_t(i)] - p[size_t(j)];
                others.push_back(p[size_t(j)]);
            }
        for (int k = 0; k < r; ++k) w.g[i][k] = float(std::pow(p[size_t(i)], k) / den);
        const std::vector<double> c = poly_from_roots(others);
        for (size_t k = 0; k < c.size(); ++k) w.bt[i][k] = float(c[k]);  // integers, exact
    }
    w.g[finite][r - 1] = 1.0f;
    const std::vector<double> c = poly_from_roots(p);
    for (size_t k = 0; k < c.size(); ++k) w.bt[finite][k] = float(c[k]);
    for (int i = 0; i < w.n; ++i)
        for (int k = 0; k < w.n; ++k)
            if (w.bt[i][k] != 0.0f) {
                w.bt_idx[i][w.bt_nnz[i]] = k;
                w.bt_coef[i][w.bt_nnz[i]] = w.bt[i][k];
                ++w.bt_nnz[i];
            }
    return w;
}

}  // namespace

const Conv1dWinograd* conv1d_winograd_for(int32_t r) {
    static const Conv1dWinograd f43 = make_tables(4, 3), f27 = make_tables(2, 7),
                                f211 = make_tables(2, 11);
    switch (r) {
        case 3: return &f43;
        case 7: return &f27;
        case 11: return &f211;
        default: return nullptr;
    }
}

int64_t conv1d_wino_tiles(const Conv1dWinograd& w, int64_t l_out) {
    return l_out <= 0 ? 0 : (l_out + w.m - 1) / w.m;
}

int64_t conv1d_wino_padded_rows(const Conv1dWinograd& w, int64_t tiles, int64_t padded_len) {
    const int64_t rows = w.m * tiles + w.r - 1;
    return rows > padded_len ? rows : padded_len;
}

void conv1d_wino_filter_transform(const Conv1dWinograd& w, const float* wr, float* u,
                                  int32_t cout, int32_t cin) {
    const int64_t plane = int64_t(cout) * cin;
    for (int t = 0; t < w.n; ++t)
        for (int64_t o = 0; o < cout; ++o)
            for (int64_t c = 0; c < cin; ++c) {
                float s = 0.0f;
                for (int k = 0; k < w.r; ++k)
                    if (w.g[t][k] != 0.0f) s = s + w.g[t][k] * wr[(o * w.r + k) * cin + c];
                u[t * plane + o * cin + c] = s;
            }
}

}  // namespace vantrel
