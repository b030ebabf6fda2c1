// Independent lanes in a plain array (the compiler may vectorise them) for
// the portable versions of the templated row loops: LanesArray<T, L> has
// zero, set1, load, load_n (lanes >= n read as 0), store, store_n, add, mul.
// LanesF32 is its sixteen-float form, used by the average-pooling,
// bilinear-upsampling and max-pooling kernels. Plain IEEE single-precision
// operations lane by lane, so every width gives the same bits. The structs
// sit in an unnamed namespace: each file that includes this header, built
// with its own instruction set, gets its own copy.
#pragma once

namespace vantrel {
namespace {

template <class T, int kL>
struct LanesArray {
    static constexpr int L = kL;
    struct V {
        T v[L];
    };
    static V zero() { return set1(T(0)); }
    static V set1(T x) {
        V r;
        for (T& e : r.v) e = x;
        return r;
    }
    static V load(const T* p) {
        V r;
        for (int i = 0; i < L; ++i) r.v[i] = p[i];
        return r;
    }
    static V load_n(const T* p, int n) {
        V r = zero();
        for (int i = 0; i < n; ++i) r.v[i] = p[i];
        return r;
    }
    static void store(T* p, const V& a) {
        for (int i = 0; i < L; ++i) p[i] = a.v[i];
    }
    static void store_n(T* p, const V& a, int n) {
        for (int i = 0; i < n; ++i) p[i] = a.v[i];
    }
    static V add(const V& a, const V& b) {
        V r;
        for (int i = 0; i < L; ++i) r.v[i] = a.v[i] + b.v[i];
        return r;
    }
    static V mul(const V& a, const V& b) {
        V r;
        for (int i = 0; i < L; ++i) r.v[i] = a.v[i] * b.v[i];
        return r;
    }
};

using LanesF32 = LanesArray<float, 16>;

}  // namespace
}  // namespace vantrel
