#include "kernels/attention/attention_core.h"

#include <math.h>

#include "kernels/attention/attention_core_loops.h"
#include "kernels/simd/vmath.h"

namespace vantrel {

namespace {

struct AttentionOpsPortable {
    static constexpr int kRows = 1;
    static void scores(const float* q, const float* kt, int64_t stride, int64_t n, int64_t d,
                       float scale, float* s) {
        for (int64_t j = 0; j < n; ++j) {
            float acc = 0.0f;
            for (int64_t c = 0; c < d; ++c) acc = ::fmaf(q[c], kt[c * stride + j], acc);
            s[j] = scale * acc;
        }
    }
    static float max_scores(const float* s, int64_t n, float m) {
        for (int64_t j = 0; j < n; ++j) m = s[j] > m ? s[j] : m;
        return m;
    }
    static void weights(const float* s, int64_t n, float m, float* p) {
        const int64_t groups = n / 4 * 4;
        for (int64_t j = 0; j < groups; ++j) p[j] = vmath::vexp(s[j] - m);
        for (int64_t j = groups; j < n; ++j) p[j] = ::expf(s[j] - m);
    }
    static void accumulate(float* acc, float a, const float* p, const float* v, int64_t n, int64_t d) {
        for (int64_t c = 0; c < d; ++c) acc[c] = acc[c] * a;
        for (int64_t j = 0; j < n; ++j) {
            const float w = p[j];
            const float* vj = v + j * d;
            for (int64_t c = 0; c < d; ++c) acc[c] = ::fmaf(w, vj[c], acc[c]);
        }
    }
};

}  // namespace

void attention_core_f32_portable(const float* qkv, float* out, int32_t tokens, int32_t embed,
                                 int32_t num_heads, const float* key_mask) {
    attention_core_run<AttentionOpsPortable>(qkv, out, tokens, embed, num_heads, key_mask);
}

void attention_head_f32_portable(const float* q, const float* k, const float* v, int64_t ld, float* out,
                                 int64_t ldo, int32_t tokens, int32_t d, const float* key_mask) {
    attention_one_head<AttentionOpsPortable>(q, k, v, ld, out, ldo, tokens, d, key_mask);
}

}  // namespace vantrel
