// Max pooling on Advanced SIMD: four float or sixteen int8 lanes per
// register.
#include <arm_neon.h>

#include <limits>

#include "kernels/pool/maxpool.h"
#include "kernels/pool/maxpool_loops.h"
#include "kernels/simd/lanes_f32_neon.h"

namespace vantrel {

namespace {
struct MaxF32 : LanesF32Neon {
    using T = float;
    static V lowest() { return set1(-std::numeric_limits<float>::infinity()); }
    // FMAX: the rule maxpool_max_f32 reproduces on the other paths.
    static V max(V m, V x) { return vmaxq_f32(m, x); }
};

struct MaxS8 {
    using T = int8_t;
    using V = int8x16_t;
    static constexpr int L = 16;
    static V lowest() { return vdupq_n_s8(-128); }
    static V load(const int8_t* p) { return vld1q_s8(p); }
    static void store(int8_t* p, V v) { vst1q_s8(p, v); }
    static V load_n(const int8_t* p, int n) { return load_n_buffered<MaxS8>(p, n, int8_t(-128)); }
    static void store_n(int8_t* p, V v, int n) { store_n_buffered<MaxS8>(p, v, n); }
    static V max(V m, V x) { return vmaxq_s8(m, x); }
};
}  // namespace

VANTREL_MAXPOOL_KERNEL(k_maxpool_f32_neon, MaxF32)
VANTREL_MAXPOOL_CEIL_KERNEL(k_maxpool_ceil_f32_neon, MaxF32)
VANTREL_MAXPOOL_KERNEL(k_maxpool_s8_neon, MaxS8)
VANTREL_MAXPOOL_CEIL_KERNEL(k_maxpool_ceil_s8_neon, MaxS8)

}  // namespace vantrel
