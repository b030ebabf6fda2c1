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

void k_avgpool_s8(const int8_t* in, int32_t in_zp, int32_t out_zp, int8_t* out, int32_t c,
                  int32_t h, int32_t w, void* /*stream*/, float in_scale, float out_scale) {
    avgpool_s8_loops<PortableS8>(in, in_zp, out_zp, out, c, h, w, in_scale, out_scale);
}

}  // namespace vantrel
