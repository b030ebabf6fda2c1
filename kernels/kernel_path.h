// Which implementation of each kernel runs.
//
// Every kernel has a portable C++ version; beside it may sit vector
// versions in files named <kernel>_avx2.cpp, <kernel>_avx512.cpp (x86-64,
// compiled with their instruction sets whatever the build's baseline) and
// <kernel>_neon.cpp (aarch64 only). On x86-64 the path is chosen once, from
// the CPU's features, when the CPU backend fills its kernel tables (its
// Backend and kernels/cpu_kernels.h), so one build runs on any x86-64. On aarch64 the Advanced SIMD + dot-product path
// is chosen at compile time.
//
// VANTREL_KERNEL_PATH=portable|avx2|avx512|neon|auto caps the choice (a path
// the CPU cannot run falls back to the best one below it), so tests can
// compare paths on one machine.
#pragma once

namespace vantrel {

enum class KernelPath { Portable = 0, Avx2 = 1, Avx512 = 2, Neon = 3 };

// Best path this CPU and build support, ignoring the environment.
KernelPath best_supported_kernel_path();
bool kernel_path_supported(KernelPath p);
// Chosen path: the best supported one, capped by VANTREL_KERNEL_PATH.
KernelPath select_kernel_path(const char* env_value);
// The path the CPU backend's tables were filled with (kernels/cpu_kernels.h).
KernelPath active_kernel_path();
const char* kernel_path_name(KernelPath p);

// Picks a kernel variant for a path, when the CPU backend fills its tables.
// Null variants fall back to the next lower path; the portable one must exist.
template <class Fn>
constexpr Fn pick_kernel(KernelPath path, Fn portable, Fn avx2, Fn avx512, Fn neon) {
    switch (path) {
        case KernelPath::Neon: if (neon) return neon; return portable;
        case KernelPath::Avx512: if (avx512) return avx512; [[fallthrough]];
        case KernelPath::Avx2: if (avx2) return avx2; [[fallthrough]];
        default: return portable;
    }
}

}  // namespace vantrel
