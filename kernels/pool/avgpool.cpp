// Portable global average pooling: independent lanes the compiler may
// vectorise.
#include "kernels/simd/lanes_f32.h"
#include "kernels/pool/avgpool.h"
#include "kernels/pool/avgpool_loops.h"

namespace vantrel {

namespace {
struct PortableS8 {
    static constexpr int L = 32;
    struct Acc {
        int16_t v[L];
    };
    static Acc zero() { return Acc{}; }
    static Acc add(Acc a, const int8_t* p) {
        for (int i = 0; i < L; ++i) a.v[i] = int16_t(a.v[i] + p[i]);
        return a;
    }
    static Acc add_n(Acc a, const int8_t* p, int n) {
        for (int i = 0; i < n; ++i) a.v[i] = int16_t(a.v[i] + p[i]);
        return a;
    }
    static void spill(int16_t* dst, const Acc& a) {
        for (int i = 0; i < L; ++i) dst[i] = a.v[i];
    }
};
}  // namespace

VANTREL_AVGPOOL_KERNELS(, LanesF32, PortableS8)

}  // namespace vantrel
