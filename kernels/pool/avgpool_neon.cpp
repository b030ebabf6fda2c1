// Global average pooling on Advanced SIMD.
#include <arm_neon.h>

#include "kernels/simd/lanes_f32_neon.h"
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
    static Acc add_n(Acc a, const int8_t* p, int n) { return avgpool_s8_add_padded<NeonS8>(a, p, n); }
    static void spill(int16_t* dst, const Acc& a) {
        vst1q_s16(dst, a.lo);
        vst1q_s16(dst + 8, a.hi);
    }
};
}  // namespace

VANTREL_AVGPOOL_KERNELS(_neon, LanesF32Neon, NeonS8)

}  // namespace vantrel
