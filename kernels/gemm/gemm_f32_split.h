// What every path of the float GEMM engine shares: the serial/parallel
// decision, the split of the work over an OpenMP team, and packing W into
// zero-padded column panels of a path's width.
#pragma once
#include <cstdint>

namespace vantrel {

struct GemmF32Args {
    const float* a;
    const float* bp;
    const float* bias;
    float* y;
    bool relu;
    int64_t m, k, n;
};

// Computes rows [r0, r1) of Y over column panels [p0, p1).
using GemmF32RangeFn = void (*)(const GemmF32Args& g, int64_t r0, int64_t r1, int64_t p0,
                                int64_t p1);

// A path's work units: row blocks of block_rows rows and panels of
// panel_cols columns, and the routine that computes a range of them.
struct GemmF32Tiling {
    int64_t block_rows;
    int64_t panel_cols;
    GemmF32RangeFn range;
};

// Whether M*K*N reaches the 2,000,000 multiply-adds that justify a team
// (exact, without 64-bit overflow for any 32-bit dimensions).
bool gemm_f32_large_enough(int64_t m, int64_t k, int64_t n);

// The engine's entry: decides serial or parallel (or computes this thread's
// share when in_team), then hands ranges to the path's routine.
void gemm_f32_run(const float* a, const float* bp, const float* bias, float* y, bool relu,
                  int32_t m, int32_t k, int32_t n, bool in_team, const GemmF32Tiling& tiling);

// ceil(N/width) panels of K rows of `width` floats; element (p, k, j) at
// (p*K + k)*width + j is W[p*width + j][k], 0 past N. Allocated with new[].
float* pack_f32_panels(const float* w, int32_t n, int32_t k, int64_t width);
uint64_t packed_f32_panel_bytes(int32_t n, int32_t k, int64_t width);

// k_linear_f32 on one path: packs a temporary block when bp is null.
using PackF32Fn = float* (*)(const float*, int32_t, int32_t);
using GemmF32Fn = void (*)(const float*, const float*, const float*, float*, bool, int32_t,
                           int32_t, int32_t, bool);
void linear_f32_on(PackF32Fn pack, GemmF32Fn gemm, const float* x, const float* w,
                   const float* bias, float* y, int32_t k, int32_t n, const float* bp);

}  // namespace vantrel
