#include "kernels/elementwise/add_row_vector_f32.h"
#include "kernels/elementwise/add_row_vector_f32_loops.h"
#include "kernels/simd/lanes_f32_avx2.h"

namespace vantrel {

void k_add_row_vector_f32_avx2(float* x, const float* v, int32_t rows, int32_t n) {
    add_row_vector_lanes<LanesF32Avx2>(x, v, rows, n);
}

}  // namespace vantrel
