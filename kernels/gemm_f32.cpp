#include "kernels/gemm_f32.h"

#include <cmath>
#include <cstring>
#include <new>

namespace vantrel {

float* pack_f32_portable(const float* w, int32_t n, int32_t k) {
    int64_t panels = n > 0 ? (int64_t(n) + 3) / 4 : 0;
    int64_t kk = k > 0 ? k : 0;
    int64_t total = panels * kk * 4;
    float* bp = new float[size_t(total > 0 ? total : 1)]();
    for (int64_t col = 0; col < (n > 0 ? n : 0); ++col)
        for (int64_t i = 0; i < kk; ++i) bp[((col / 4) * kk + i) * 4 + col % 4] = w[col * kk + i];
    return bp;
}

// Reference engine: per output, sum from 0 in increasing k with one fused
// multiply-add per term. Tiled and threaded versions keep this order.
void gemm_f32_portable(const float* a, const float* bp, const float* bias, float* y, bool relu,
                       int32_t m, int32_t k, int32_t n, bool /*in_team*/) {
    for (int64_t r = 0; r < m; ++r)
        for (int64_t col = 0; col < n; ++col) {
            const float* panel = bp + (col / 4) * int64_t(k) * 4 + col % 4;
            float s = 0.0f;
            for (int64_t i = 0; i < k; ++i) s = std::fmaf(a[r * k + i], panel[i * 4], s);
            if (bias) s += bias[col];
            if (relu) s = s > 0.0f ? s : 0.0f;
            y[r * n + col] = s;
        }
}

float* pack_f32(const float* w, int32_t n, int32_t k) { return pack_f32_portable(w, n, k); }
void free_packed_f32(float* bp) { delete[] bp; }
void gemm_f32(const float* a, const float* bp, const float* bias, float* y, bool relu, int32_t m,
              int32_t k, int32_t n, bool in_team) {
    gemm_f32_portable(a, bp, bias, y, relu, m, k, n, in_team);
}
void gemm_f32_plain(const float* a, const float* bp, float* y, int32_t m, int32_t k, int32_t n) {
    gemm_f32(a, bp, nullptr, y, false, m, k, n, false);
}
void linear_f32(const float* x, const float* w, const float* bias, float* y, int32_t k, int32_t n,
                const float* bp, void* /*stream*/) {
    float* tmp = bp ? nullptr : pack_f32(w, n, k);
    gemm_f32(x, bp ? bp : tmp, bias, y, false, 1, k, n, false);
    free_packed_f32(tmp);
}
void relu_f32(float* x, int32_t n, void* /*stream*/) {
    for (int64_t i = 0; i < n; ++i) x[i] = x[i] > 0.0f ? x[i] : 0.0f;
}

}  // namespace vantrel
