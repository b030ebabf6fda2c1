#include "kernels/attention/causal_attention_f32.h"

#include <cmath>

#include "kernels/attention/causal_attention_f32_loops.h"

namespace vantrel {

namespace {

struct CausalOpsPortable {
    static void rope(float* x, const float* cs, const float* sn, int64_t half) {
        for (int64_t i = 0; i < half; ++i) {
            const float a = x[i], b = x[i + half];
            x[i] = std::fmaf(-sn[i], b, cs[i] * a);
            x[i + half] = std::fmaf(sn[i], a, cs[i] * b);
        }
    }

    static float dot(const float* q, const float* kr, int64_t d) {
        float l[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
        int64_t j = 0;
        for (; j + 8 <= d; j += 8)
            for (int e = 0; e < 8; ++e) l[e] = std::fmaf(q[j + e], kr[j + e], l[e]);
        float s = ((l[0] + l[1]) + (l[2] + l[3])) + ((l[4] + l[5]) + (l[6] + l[7]));
        for (; j < d; ++j) s = std::fmaf(q[j], kr[j], s);
        return s;
    }

    static void scores(const float* q, int64_t qstride, int64_t nq, const float* keys, int64_t stride,
                       int64_t n, int64_t d, float scale, float* s, int64_t sstride, bool /*streamed*/) {
        for (int64_t i = 0; i < nq; ++i)
            for (int64_t j = 0; j < n; ++j) s[i * sstride + j] = scale * dot(q + i * qstride, keys + j * stride, d);
    }

    static float row_max(const float* s, int64_t n) {
        float m = s[0];
        for (int64_t j = 1; j < n; ++j) m = s[j] > m ? s[j] : m;
        return m;
    }

    static float sum(const float* e, int64_t n) {
        float l[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
        int64_t j = 0;
        for (; j + 8 <= n; j += 8)
            for (int r = 0; r < 8; ++r) l[r] += e[j + r];
        float s = ((l[0] + l[1]) + (l[2] + l[3])) + ((l[4] + l[5]) + (l[6] + l[7]));
        for (; j < n; ++j) s += e[j];
        return s;
    }

    static void weighted_sum(const float* w, int64_t wstride, int64_t nq, const float* vals, int64_t stride,
                             int64_t n, int64_t d, float* o, int64_t ostride) {
        for (int64_t i = 0; i < nq; ++i) {
            float* oi = o + i * ostride;
            const float* wi = w + i * wstride;
            for (int64_t c = 0; c < d; ++c) oi[c] = 0.0f;
            for (int64_t j = 0; j < n; ++j) {
                const float* vr = vals + j * stride;
                for (int64_t c = 0; c < d; ++c) oi[c] = std::fmaf(wi[j], vr[c], oi[c]);
            }
        }
    }
};

// a * b for non-negative counts, -1 past 63 bits.
int64_t mul_or_neg(int64_t a, int64_t b) {
    if (a < 0 || b < 0) return -1;
    if (a != 0 && b > INT64_MAX / a) return -1;
    return a * b;
}
int64_t add_or_neg(int64_t a, int64_t b) {
    if (a < 0 || b < 0 || a > INT64_MAX - b) return -1;
    return a + b;
}

}  // namespace

int64_t causal_attention_work_floats(int64_t tokens, int64_t cache_position, int64_t num_q_heads,
                                     int64_t num_kv_heads, int64_t head_dim) {
    const int64_t rows = mul_or_neg(tokens, mul_or_neg(add_or_neg(num_q_heads, num_kv_heads), head_dim));
    const int64_t scores =
        mul_or_neg(mul_or_neg(tokens, num_q_heads), add_or_neg(cache_position, tokens));
    return add_or_neg(add_or_neg(rows, scores), mul_or_neg(2, head_dim));
}

void k_causal_attention_f32(const float* q, const float* k, const float* v, float* kv_cache,
                            int32_t cache_position, int32_t capacity, float* out, int32_t tokens,
                            float rope_theta, int32_t num_q_heads, int32_t num_kv_heads,
                            int32_t head_dim, int32_t rope_position, uint8_t /*cache_flag*/,
                            float* work, void* /*stream*/) {
    causal_attention_run<CausalOpsPortable>(q, k, v, kv_cache, cache_position, capacity, out, tokens,
                                            rope_theta, num_q_heads, num_kv_heads, head_dim,
                                            rope_position, work);
}

}  // namespace vantrel
