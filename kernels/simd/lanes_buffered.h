// Partial loads and stores through a stack buffer, for lane structs whose
// registers have no masked forms (AVX2, Advanced SIMD): Ln supplies V, L,
// load and store. load_n reads p[0..n) and fills the other lanes; store_n
// writes lanes [0, n) only. Neither touches memory past p + n.
#pragma once

namespace vantrel {
namespace {

template <class Ln, class T>
inline typename Ln::V load_n_buffered(const T* p, int n, T fill) {
    alignas(64) T b[Ln::L];
    for (int i = 0; i < Ln::L; ++i) b[i] = i < n ? p[i] : fill;
    return Ln::load(b);
}

template <class Ln, class T>
inline void store_n_buffered(T* p, typename Ln::V v, int n) {
    alignas(64) T b[Ln::L];
    Ln::store(b, v);
    for (int i = 0; i < n; ++i) p[i] = b[i];
}

}  // namespace
}  // namespace vantrel
