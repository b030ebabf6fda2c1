// Active-path entry points of the float GEMM engine. Packing, the byte size
// of a block and the GEMM all follow active_kernel_path(), which the CPU
// backend sets from the same path it fills its table with, so a block packed
// through any of them fits the GEMM that later reads it.
#include "kernels/gemm/gemm_f32.h"
#include "kernels/kernel_path.h"

namespace vantrel {

namespace {

struct F32Path {
    float* (*pack)(const float*, int32_t, int32_t);
    uint64_t (*bytes)(int32_t, int32_t);
    void (*gemm)(const float*, const float*, const float*, float*, bool, int32_t, int32_t,
                 int32_t, bool);
    void (*linear)(const float*, const float*, const float*, float*, int32_t, int32_t,
                   const float*, void*);
    void (*relu)(float*, int32_t, void*);
};

F32Path active() {
    switch (active_kernel_path()) {
#if defined(__x86_64__)
        case KernelPath::Avx512:
            return {&pack_f32_avx512, &packed_f32_bytes_avx512, &gemm_f32_avx512,
                    &linear_f32_avx512, &relu_f32_avx512};
        case KernelPath::Avx2:
            return {&pack_f32_avx2, &packed_f32_bytes_avx2, &gemm_f32_avx2, &linear_f32_avx2,
                    &relu_f32_avx2};
#endif
#if defined(__aarch64__)
        case KernelPath::Neon:
            return {&pack_f32_neon, &packed_f32_bytes_neon, &gemm_f32_neon, &linear_f32_neon,
                    &relu_f32_neon};
#endif
        default:
            return {&pack_f32_portable, &packed_f32_bytes_portable, &gemm_f32_portable,
                    &linear_f32_portable, &relu_f32_portable};
    }
}

}  // namespace

float* pack_f32(const float* w, int32_t n, int32_t k) { return active().pack(w, n, k); }

void free_packed_f32(float* bp) { delete[] bp; }

uint64_t packed_f32_bytes(int32_t n, int32_t k) { return active().bytes(n, k); }

void gemm_f32(const float* a, const float* bp, const float* bias, float* y, bool relu, int32_t m,
              int32_t k, int32_t n, bool in_team) {
    active().gemm(a, bp, bias, y, relu, m, k, n, in_team);
}

void gemm_f32_plain(const float* a, const float* bp, float* y, int32_t m, int32_t k, int32_t n) {
    active().gemm(a, bp, nullptr, y, false, m, k, n, false);
}

void linear_f32(const float* x, const float* w, const float* bias, float* y, int32_t k, int32_t n,
                const float* bp, void* stream) {
    active().linear(x, w, bias, y, k, n, bp, stream);
}

void relu_f32(float* x, int32_t n, void* stream) { active().relu(x, n, stream); }

}  // namespace vantrel
