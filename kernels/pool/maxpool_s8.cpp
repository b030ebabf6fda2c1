#include "kernels/pool/maxpool.h"
#include "kernels/pool/maxpool_loops.h"

namespace vantrel {

namespace {
struct PortableS8 {
    using T = int8_t;
    static constexpr int L = 16;
    struct V {
        int8_t v[L];
    };
    static V lowest() {
        V r;
        for (int8_t& x : r.v) x = -128;
        return r;
    }
    static V load(const int8_t* p) {
        V r;
        for (int i = 0; i < L; ++i) r.v[i] = p[i];
        return r;
    }
    static V load_n(const int8_t* p, int n) {
        V r = lowest();
        for (int i = 0; i < n; ++i) r.v[i] = p[i];
        return r;
    }
    static void store(int8_t* p, const V& a) {
        for (int i = 0; i < L; ++i) p[i] = a.v[i];
    }
    static void store_n(int8_t* p, const V& a, int n) {
        for (int i = 0; i < n; ++i) p[i] = a.v[i];
    }
    static V max(const V& m, const V& x) {
        V r;
        for (int i = 0; i < L; ++i) r.v[i] = x.v[i] > m.v[i] ? x.v[i] : m.v[i];
        return r;
    }
};
}  // namespace

void k_maxpool_s8(const int8_t* in, int8_t* out, int32_t c, int32_t h, int32_t w, int32_t kh,
                  int32_t kw, int32_t stride_h, int32_t stride_w, int32_t pad_h, int32_t pad_w,
                  void* /*stream*/) {
    maxpool_loops<PortableS8>(in, out, c, h, w, kh, kw, stride_h, stride_w, pad_h, pad_w);
}

}  // namespace vantrel
