#include "kernels/conv/conv1d_f32_wino.h"

#include "kernels/conv/conv1d_f32_wino_loops.h"
#include "kernels/simd/lanes_f32.h"

namespace vantrel {

namespace {
struct PortableOps : LanesF32 {
    static V relu(const V& a) {
        V r;
        for (int i = 0; i < L; ++i) r.v[i] = a.v[i] > 0.0f ? a.v[i] : 0.0f;
        return r;
    }
};
}  // namespace

void conv1d_f32_wino_portable(VANTREL_CONV1D_WINO_F32_ARGS) {
    conv1d_wino_run<PortableOps>(padded, u, bias, out, cin, l_out, cout, r, relu, v, mb);
}

}  // namespace vantrel
