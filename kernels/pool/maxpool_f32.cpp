#include <limits>

#include "kernels/pool/maxpool.h"
#include "kernels/pool/maxpool_loops.h"

namespace vantrel {

namespace {
// Eight independent lanes; the vector paths compute the same rule per lane.
struct PortableF32 {
    using T = float;
    static constexpr int L = 8;
    struct V {
        float v[L];
    };
    static V lowest() {
        V r;
        for (float& x : r.v) x = -std::numeric_limits<float>::infinity();
        return r;
    }
    static V load(const float* p) {
        V r;
        for (int i = 0; i < L; ++i) r.v[i] = p[i];
        return r;
    }
    static V load_n(const float* p, int n) {
        V r = lowest();
        for (int i = 0; i < n; ++i) r.v[i] = p[i];
        return r;
    }
    static void store(float* p, const V& a) {
        for (int i = 0; i < L; ++i) p[i] = a.v[i];
    }
    static void store_n(float* p, const V& a, int n) {
        for (int i = 0; i < n; ++i) p[i] = a.v[i];
    }
    static V max(const V& m, const V& x) {
        V r;
        for (int i = 0; i < L; ++i) r.v[i] = maxpool_max_f32(m.v[i], x.v[i]);
        return r;
    }
};
}  // namespace

void k_maxpool_f32(const float* in, float* out, int32_t c, int32_t h, int32_t w, int32_t kh,
                   int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h, int32_t pad_w,
                   void* /*stream*/) {
    maxpool_loops<PortableF32>(in, out, c, h, w, kh, kw, stride_h, stride_w, pad_h, pad_w);
}

}  // namespace vantrel
