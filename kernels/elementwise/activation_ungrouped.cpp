#include "kernels/elementwise/activation_ungrouped.h"

#include <math.h>

#include "kernels/elementwise/activation_ungrouped_loops.h"
#include "kernels/simd/vmath.h"

namespace vantrel {

namespace {
// One lane, rounding and selecting exactly like the vector lane structs.
struct UngroupedLanesScalar {
    using V = float;
    static constexpr int L = 1;
    static V set1(float x) { return x; }
    static V load(const float* p) { return *p; }
    static V load_n(const float* p, int) { return *p; }
    static void store(float* p, V v) { *p = v; }
    static void store_n(float* p, V v, int) { *p = v; }
    static V add(V a, V b) { return a + b; }
    static V sub(V a, V b) { return a - b; }
    static V mul(V a, V b) { return a * b; }
    static V div(V a, V b) { return a / b; }
    static V fmadd(V a, V b, V c) { return ::fmaf(a, b, c); }
    static V fnmadd(V a, V b, V c) { return ::fmaf(-a, b, c); }
    static V abs(V v) { return ::fabsf(v); }
    static V floor_at(V v, V c) { return c > v ? c : v; }
    static V ceil_at(V v, V c) { return c < v ? c : v; }
    static V if_negative(V x, V a, V b) { return x < 0.0f ? a : b; }
    static V vexp(V v) { return vmath::vexp(v); }
};
}  // namespace

VANTREL_UNGROUPED_ACTIVATION_KERNELS(, UngroupedLanesScalar)

}  // namespace vantrel
