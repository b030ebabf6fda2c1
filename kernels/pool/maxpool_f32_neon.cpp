#include <arm_neon.h>

#include <limits>

#include "kernels/pool/maxpool.h"
#include "kernels/pool/maxpool_loops.h"

namespace vantrel {

namespace {
struct NeonF32 {
    using T = float;
    using V = float32x4_t;
    static constexpr int L = 4;
    static V lowest() { return vdupq_n_f32(-std::numeric_limits<float>::infinity()); }
    static V load(const float* p) { return vld1q_f32(p); }
    static V load_n(const float* p, int n) {
        float b[L];
        for (int i = 0; i < L; ++i) b[i] = i < n ? p[i] : -std::numeric_limits<float>::infinity();
        return vld1q_f32(b);
    }
    static void store(float* p, V v) { vst1q_f32(p, v); }
    static void store_n(float* p, V v, int n) {
        float b[L];
        vst1q_f32(b, v);
        for (int i = 0; i < n; ++i) p[i] = b[i];
    }
    // FMAX: the rule maxpool_max_f32 reproduces on the other paths.
    static V max(V m, V x) { return vmaxq_f32(m, x); }
};
}  // namespace

void k_maxpool_f32_neon(const float* in, float* out, int32_t c, int32_t h, int32_t w, int32_t kh,
                        int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                        int32_t pad_w, void* /*stream*/) {
    maxpool_loops<NeonF32>(in, out, c, h, w, kh, kw, stride_h, stride_w, pad_h, pad_w);
}

}  // namespace vantrel
