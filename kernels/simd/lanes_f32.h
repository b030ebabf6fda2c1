// Sixteen independent float lanes (the compiler may vectorise them) for the
// channel loops of the average-pooling and bilinear-upsampling kernels: zero,
// set1, load, load_n (lanes >= n read as 0), store, store_n, add, mul. Plain
// IEEE single-precision operations lane by lane, so every width gives the same
// bits. The struct sits in an unnamed namespace: each file that includes this
// header, built with its own instruction set, gets its own copy.
#pragma once

namespace vantrel {
namespace {

struct LanesF32 {
    static constexpr int L = 16;
    struct V {
        float v[L];
    };
    static V zero() { return set1(0.0f); }
    static V set1(float x) {
        V r;
        for (float& e : r.v) e = x;
        return r;
    }
    static V load(const float* p) {
        V r;
        for (int i = 0; i < L; ++i) r.v[i] = p[i];
        return r;
    }
    static V load_n(const float* p, int n) {
        V r = zero();
        for (int i = 0; i < n; ++i) r.v[i] = p[i];
        return r;
    }
    static void store(float* p, const V& a) {
        for (int i = 0; i < L; ++i) p[i] = a.v[i];
    }
    static void store_n(float* p, const V& a, int n) {
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

}  // namespace
}  // namespace vantrel
