// The tail a float convolution or matrix product may run on its output while
// a tile is still in cache, after its own + bias and ReLU: an activation
// (clamp or hard swish), then a row kernel (a path's GELU) in place, then
// the sum with a residual tensor of the output's layout, optionally followed
// by that sum's ReLU.
//
// Each step rounds exactly like the separate kernel it replaces (k_clamp_f32,
// k_hard_swish_f32, k_add_f32), so a fused convolution equals the sequence of
// separate ops bit for bit. The add's ReLU treats -0 by its position: whole
// groups of 4 of the flat tensor turn it into +0, the last n mod 4 elements
// keep it; `relu_tail_from` is that boundary (n / 4 * 4).
#pragma once
#include <cstdint>

namespace vantrel {

using EpilogueRowFnF32 = void (*)(float* x, int32_t n, void* stream);
using EpilogueUnaryFnF32 = void (*)(const float* x, float* y, int32_t n, void* stream);

struct ConvEpilogueF32 {
    enum : int32_t { kNone = 0, kClamp = 1, kHardSwish = 2 };
    int32_t act = kNone;
    float lo = 0.0f, hi = 6.0f;
    // Run on each stored span of a tile row. row_fn only for kernels whose
    // whole groups of 4 round alike wherever they start (activation.h), on
    // an output whose row length is a multiple of 4: every span then holds
    // whole groups, as in one call over the tensor. row_unary (x = y) only
    // for kernels with one formula for every element
    // (activation_ungrouped.h), or for a grouped kernel (activation.h, in
    // place) under row_fn's condition. At most one of the two.
    EpilogueRowFnF32 row_fn = nullptr;
    EpilogueUnaryFnF32 row_unary = nullptr;
    const float* residual = nullptr;  // same flat layout as the output, or null
    bool residual_relu = false;
    int64_t relu_tail_from = 0;

    bool active() const { return act != kNone || row_fn || row_unary || residual; }
};

// Unnamed namespace: each instruction-set file gets its own copy, which the
// compiler may vectorise with that file's instructions.
namespace {

// floor_at / ceil_at of the activation kernels: NaN passes through.
inline float epi_clamp(float v, float lo, float hi) {
    v = lo > v ? lo : v;
    return hi < v ? hi : v;
}

// Applies `e` to y[0, cnt), output elements [flat, flat + cnt) of the tensor.
inline void conv_epilogue_f32(const ConvEpilogueF32& e, float* y, int64_t flat, int64_t cnt) {
    if (e.act == ConvEpilogueF32::kClamp) {
        const float lo = e.lo, hi = e.hi;
        for (int64_t i = 0; i < cnt; ++i) y[i] = epi_clamp(y[i], lo, hi);
    } else if (e.act == ConvEpilogueF32::kHardSwish) {
        for (int64_t i = 0; i < cnt; ++i) y[i] = (y[i] * epi_clamp(y[i] + 3.0f, 0.0f, 6.0f)) / 6.0f;
    }
    if (e.row_fn) e.row_fn(y, int32_t(cnt), nullptr);
    if (e.row_unary) e.row_unary(y, y, int32_t(cnt), nullptr);
    if (!e.residual) return;
    const float* r = e.residual + flat;
    if (!e.residual_relu) {
        for (int64_t i = 0; i < cnt; ++i) y[i] = y[i] + r[i];
        return;
    }
    int64_t groups = e.relu_tail_from - flat;  // elements of whole groups in this span
    groups = groups < 0 ? 0 : groups > cnt ? cnt : groups;
    for (int64_t i = 0; i < groups; ++i) {
        const float s = y[i] + r[i];
        y[i] = (s > 0.0f || s != s) ? s : 0.0f;
    }
    for (int64_t i = groups; i < cnt; ++i) {
        const float s = y[i] + r[i];
        y[i] = (s >= 0.0f || s != s) ? s : 0.0f;
    }
}

}  // namespace

}  // namespace vantrel
