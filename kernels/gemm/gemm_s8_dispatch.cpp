// Active-path entry points of the int8 GEMM engine, for the kernels and
// layers that call it directly rather than through the kernel table. Every
// path reads the same packed layout, so any block fits any path.
#include "kernels/gemm/gemm_s8.h"
#include "kernels/kernel_path.h"

namespace vantrel {

namespace {

struct S8Path {
    void (*requant)(const int8_t*, const int8_t*, const int64_t*, const int32_t*, const int32_t*,
                    const float*, int8_t, void*, bool, int32_t, int32_t, int32_t, bool, bool,
                    const int32_t*, void*);
    void (*s32)(const int8_t*, const int8_t*, int32_t*, int32_t, int32_t, int32_t,
                const int32_t*);
};

S8Path active() {
    switch (active_kernel_path()) {
#if defined(__x86_64__)
        case KernelPath::Avx512: return {&gemm_s8_requant_avx512, &gemm_s8_s32_avx512};
        case KernelPath::Avx2: return {&gemm_s8_requant_avx2, &gemm_s8_s32_avx2};
#endif
#if defined(__aarch64__)
        case KernelPath::Neon: return {&gemm_s8_requant_neon, &gemm_s8_s32_neon};
#endif
        default: return {&gemm_s8_requant_portable, &gemm_s8_s32_portable};
    }
}

}  // namespace

void gemm_s8_f32out(const int8_t* a, const int8_t* bp, const int64_t* eff_bias,
                    const float* scale, float* out, int32_t m, int32_t k, int32_t n,
                    bool out_transposed, bool in_team) {
    active().requant(a, bp, eff_bias, nullptr, nullptr, scale, 0, out, true, m, k, n,
                     out_transposed, in_team, nullptr, nullptr);
}

void gemm_s8_s8out(const int8_t* a, const int8_t* bp, const int64_t* eff_bias,
                   const int32_t* multiplier, const int32_t* shift, int8_t out_zp, int8_t* out,
                   int32_t m, int32_t k, int32_t n, bool out_transposed, bool in_team) {
    active().requant(a, bp, eff_bias, multiplier, shift, nullptr, out_zp, out, false, m, k, n,
                     out_transposed, in_team, nullptr, nullptr);
}

void gemm_s8_s32(const int8_t* a, const int8_t* bp, int32_t* y, int32_t m, int32_t k,
                 int32_t n) {
    active().s32(a, bp, y, m, k, n, nullptr);
}

}  // namespace vantrel
