// Portable windowed and adaptive average pooling: independent lanes the
// compiler may vectorise; the vector paths compute the same per lane.
#include "kernels/pool/avgpool2d.h"

#include "kernels/pool/avgpool2d_loops.h"
#include "kernels/simd/lanes_f32.h"

namespace vantrel {

namespace {
struct AvgF32 : LanesF32 {
    static V div(const V& a, const V& b) {
        V r;
        for (int i = 0; i < L; ++i) r.v[i] = a.v[i] / b.v[i];
        return r;
    }
};
}  // namespace

VANTREL_AVGPOOL2D_KERNELS(, AvgF32)

}  // namespace vantrel
