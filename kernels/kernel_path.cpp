#include "kernels/kernel_path.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace vantrel {

bool kernel_path_supported(KernelPath p) {
    switch (p) {
        case KernelPath::Portable: return true;
#if defined(__x86_64__)
        case KernelPath::Avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case KernelPath::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vnni") &&
                   kernel_path_supported(KernelPath::Avx2);
#endif
#if defined(__aarch64__) && defined(__ARM_FEATURE_DOTPROD)
        case KernelPath::Neon: return true;
#endif
        default: return false;
    }
}

KernelPath best_supported_kernel_path() {
    for (KernelPath p : {KernelPath::Neon, KernelPath::Avx512, KernelPath::Avx2})
        if (kernel_path_supported(p)) return p;
    return KernelPath::Portable;
}

KernelPath select_kernel_path(const char* env) {
    KernelPath best = best_supported_kernel_path();
    if (!env || !*env || std::strcmp(env, "auto") == 0) return best;
    KernelPath cap;
    if (std::strcmp(env, "portable") == 0) cap = KernelPath::Portable;
    else if (std::strcmp(env, "avx2") == 0) cap = KernelPath::Avx2;
    else if (std::strcmp(env, "avx512") == 0) cap = KernelPath::Avx512;
    else if (std::strcmp(env, "neon") == 0) cap = KernelPath::Neon;
    else {
        std::fprintf(stderr, "Warning: VANTREL_KERNEL_PATH='%s' is not one of portable, avx2, avx512, neon, auto; using %s\n",
                     env, kernel_path_name(best));
        return best;
    }
    if (cap == KernelPath::Portable) return cap;
    if (cap == KernelPath::Neon) return kernel_path_supported(cap) ? cap : KernelPath::Portable;
    // x86-64 paths are ordered: take the best one not above the cap.
    for (KernelPath p : {KernelPath::Avx512, KernelPath::Avx2})
        if (int(p) <= int(cap) && kernel_path_supported(p)) return p;
    return KernelPath::Portable;
}

const char* kernel_path_name(KernelPath p) {
    switch (p) {
        case KernelPath::Portable: return "portable";
        case KernelPath::Avx2: return "avx2";
        case KernelPath::Avx512: return "avx512";
        case KernelPath::Neon: return "neon";
    }
    return "portable";
}

}  // namespace vantrel
