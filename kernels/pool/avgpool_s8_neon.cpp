#include <arm_neon.h>

#include "kernels/pool/avgpool.h"
#include "kernels/pool/avgpool_loops.h"

namespace vantrel {

namespace {
struct NeonS8 {
    static constexpr int L = 16;
    struct Acc {
        int16x8_t lo, hi;  // int16 sums of channels 0..7 and 8..15
    };
    static Acc zero() { return Acc{vdupq_n_s16(0), vdupq_n_s16(0)}; }
    static Acc add_vec(Acc a, int8x16_t v) {
        a.lo = vaddw_s8(a.lo, vget_low_s8(v));
        a.hi = vaddw_high_s8(a.hi, v);
        return a;
    }
    static Acc add(Acc a, const int8_t* p) { return add_vec(a, vld1q_s8(p)); }
    static Acc add_n(Acc a, const int8_t* p, int n) {
        int8_t b[L] = {};
        for (int i = 0; i < n; ++i) b[i] = p[i];
        return add_vec(a, vld1q_s8(b));
    }
    static void spill(int16_t* dst, const Acc& a) {
        vst1q_s16(dst, a.lo);
        vst1q_s16(dst + 8, a.hi);
    }
};
}  // namespace

void k_avgpool_s8_neon(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out, int32_t c,
                       int32_t h, int32_t w, void* /*stream*/, float in_scale, float out_scale) {
    avgpool_s8_loops<NeonS8>(in, in_zp, out_zp, out, c, h, w, in_scale, out_scale);
}

}  // namespace vantrel
