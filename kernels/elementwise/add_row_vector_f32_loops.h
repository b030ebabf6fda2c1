// k_add_row_vector_f32 on a lane struct Ln (lanes_f32_*.h): whole registers,
// then one partial register. Unnamed namespace: each instruction-set file
// keeps its own copy.
#pragma once
#include <cstdint>

namespace vantrel {
namespace {

template <class Ln>
void add_row_vector_lanes(float* x, const float* v, int32_t rows, int32_t n) {
    if (rows <= 0 || n <= 0) return;
    for (int64_t r = 0; r < rows; ++r) {
        float* row = x + r * int64_t(n);
        int64_t j = 0;
        for (; j + Ln::L <= n; j += Ln::L) Ln::store(row + j, Ln::add(Ln::load(row + j), Ln::load(v + j)));
        if (j < n) {
            const int k = int(n - j);
            Ln::store_n(row + j, Ln::add(Ln::load_n(row + j, k), Ln::load_n(v + j, k)), k);
        }
    }
}

}  // namespace
}  // namespace vantrel
