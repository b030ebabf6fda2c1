// Portable max pooling: independent lanes the compiler may vectorise; the
// vector paths compute the same rule per lane.
#include "kernels/pool/maxpool.h"

#include <limits>

#include "kernels/pool/maxpool_loops.h"
#include "kernels/simd/lanes_f32.h"

namespace vantrel {

namespace {
struct MaxF32 : LanesF32 {
    using T = float;
    static V lowest() { return set1(-std::numeric_limits<float>::infinity()); }
    static V max(const V& m, const V& x) {
        V r;
        for (int i = 0; i < L; ++i) r.v[i] = maxpool_max_f32(m.v[i], x.v[i]);
        return r;
    }
};

struct MaxS8 : LanesArray<int8_t, 16> {
    using T = int8_t;
    static V lowest() { return set1(-128); }
    static V max(const V& m, const V& x) {
        V r;
        for (int i = 0; i < L; ++i) r.v[i] = x.v[i] > m.v[i] ? x.v[i] : m.v[i];
        return r;
    }
};
}  // namespace

VANTREL_MAXPOOL_KERNEL(k_maxpool_f32, MaxF32)
VANTREL_MAXPOOL_CEIL_KERNEL(k_maxpool_ceil_f32, MaxF32)
VANTREL_MAXPOOL_KERNEL(k_maxpool_s8, MaxS8)
VANTREL_MAXPOOL_CEIL_KERNEL(k_maxpool_ceil_s8, MaxS8)

}  // namespace vantrel
