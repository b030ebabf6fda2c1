// Kernel variants a test can run on this CPU, running a scope on another
// kernel path, and float bit comparison.
#pragma once
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "engine/cpu_backend/cpu_backend.h"
#include "kernels/kernel_path.h"

namespace vantrel_test {

// The portable variant plus each vector variant this CPU runs. The AVX-512
// element-wise kernels need F/BW/VL/DQ only, not the whole AVX-512 path.
template <class Fn>
std::vector<std::pair<std::string, Fn>> runnable_paths(Fn portable, Fn avx2, Fn avx512, Fn neon) {
    std::vector<std::pair<std::string, Fn>> p = {{"portable", portable}};
#if defined(__x86_64__)
    if (avx2 && vantrel::kernel_path_supported(vantrel::KernelPath::Avx2)) p.emplace_back("avx2", avx2);
    if (avx512 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq"))
        p.emplace_back("avx512", avx512);
#endif
    if (neon) p.emplace_back("neon", neon);
    return p;
}

// Refills the CPU tables (Backend and kernels/cpu_kernels.h) for a path this
// CPU runs, and for the previous path again at the end of the scope.
class ScopedKernelPath {
public:
    explicit ScopedKernelPath(vantrel::KernelPath p) { vantrel::select_cpu_kernel_path(p); }
    ~ScopedKernelPath() { vantrel::select_cpu_kernel_path(saved_); }
    ScopedKernelPath(const ScopedKernelPath&) = delete;
    ScopedKernelPath& operator=(const ScopedKernelPath&) = delete;

private:
    vantrel::KernelPath saved_ = vantrel::active_kernel_path();
};

inline uint32_t float_bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}
// Same bits, or both NaN (NaN payloads are not compared).
inline bool same_float(float a, float b) { return (std::isnan(a) && std::isnan(b)) || float_bits(a) == float_bits(b); }

// A kernel's output against its formula evaluated in double:
// |y - exact(x)| <= tolerance * max(1, |exact(x)|) element by element.
inline void expect_close_to_double(const char* name, const std::vector<float>& x, const std::vector<float>& y,
                                   double (*exact)(double), double tolerance) {
    for (size_t i = 0; i < x.size(); ++i) {
        double e = exact(x[i]);
        ASSERT_LE(std::fabs(y[i] - e), tolerance * std::fmax(1.0, std::fabs(e)))
            << name << " x=" << x[i] << " got " << y[i] << " want " << e;
    }
}

// Every length from 0 to `max`, then 1037: every tail of every block size
// and one long run.
inline std::vector<int> lengths_through(int max) {
    std::vector<int> lengths;
    for (int n = 0; n <= max; ++n) lengths.push_back(n);
    lengths.push_back(1037);
    return lengths;
}

}  // namespace vantrel_test

// Arguments for runnable_paths: `k` and whichever of k_avx2, k_avx512,
// k_neon this build has.
#if defined(__x86_64__)
#define VANTREL_KERNEL_VARIANTS(T, k) T(k), T(k##_avx2), T(k##_avx512), T(nullptr)
#elif defined(__aarch64__)
#define VANTREL_KERNEL_VARIANTS(T, k) T(k), T(nullptr), T(nullptr), T(k##_neon)
#else
#define VANTREL_KERNEL_VARIANTS(T, k) T(k), T(nullptr), T(nullptr), T(nullptr)
#endif
