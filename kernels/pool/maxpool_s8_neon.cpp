#include <arm_neon.h>

#include "kernels/pool/maxpool.h"
#include "kernels/pool/maxpool_loops.h"

namespace vantrel {

namespace {
struct NeonS8 {
    using T = int8_t;
    using V = int8x16_t;
    static constexpr int L = 16;
    static V lowest() { return vdupq_n_s8(-128); }
    static V load(const int8_t* p) { return vld1q_s8(p); }
    static V load_n(const int8_t* p, int n) {
        int8_t b[L];
        for (int i = 0; i < L; ++i) b[i] = i < n ? p[i] : int8_t(-128);
        return vld1q_s8(b);
    }
    static void store(int8_t* p, V v) { vst1q_s8(p, v); }
    static void store_n(int8_t* p, V v, int n) {
        int8_t b[L];
        vst1q_s8(b, v);
        for (int i = 0; i < n; ++i) p[i] = b[i];
    }
    static V max(V m, V x) { return vmaxq_s8(m, x); }
};
}  // namespace

void k_maxpool_s8_neon(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w, int32_t kh,
                       int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h,
                       int32_t pad_w, void* /*stream*/) {
    maxpool_loops<NeonS8>(in, out, c, h, w, kh, kw, stride_h, stride_w, pad_h, pad_w);
}

}  // namespace vantrel
