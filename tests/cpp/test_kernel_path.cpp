#include <gtest/gtest.h>

#include "engine/cpu_backend/cpu_backend.h"
#include "kernel_test_paths.h"
#include "kernels/cpu_kernels.h"
#include "kernels/kernel_path.h"

using namespace vantrel;

TEST(KernelPath, EnvironmentCapsTheChoice) {
    KernelPath best = best_supported_kernel_path();
    EXPECT_TRUE(kernel_path_supported(best));
    EXPECT_EQ(select_kernel_path(nullptr), best);
    EXPECT_EQ(select_kernel_path(""), best);
    EXPECT_EQ(select_kernel_path("auto"), best);
    EXPECT_EQ(select_kernel_path("portable"), KernelPath::Portable);
    KernelPath avx2 = select_kernel_path("avx2");
    EXPECT_TRUE(avx2 == KernelPath::Avx2 || avx2 == KernelPath::Portable);
    EXPECT_EQ(avx2 == KernelPath::Avx2, kernel_path_supported(KernelPath::Avx2));
    KernelPath avx512 = select_kernel_path("avx512");
    EXPECT_TRUE(kernel_path_supported(avx512));
    EXPECT_NE(avx512, KernelPath::Neon);
#if defined(__aarch64__)
    EXPECT_EQ(best, KernelPath::Neon);
    EXPECT_EQ(select_kernel_path("avx2"), KernelPath::Portable);
#else
    EXPECT_EQ(select_kernel_path("neon"), KernelPath::Portable);
#endif
}

TEST(KernelPath, PickFallsBackToLowerPaths) {
    int (*p)() = [] { return 0; };
    int (*a2)() = [] { return 2; };
    int (*a5)() = [] { return 5; };
    int (*ne)() = [] { return 9; };
    EXPECT_EQ(pick_kernel(KernelPath::Avx512, p, a2, a5, ne)(), 5);
    EXPECT_EQ(pick_kernel(KernelPath::Avx512, p, a2, (int (*)()) nullptr, ne)(), 2);
    EXPECT_EQ(pick_kernel(KernelPath::Avx512, p, (int (*)()) nullptr, (int (*)()) nullptr, ne)(), 0);
    EXPECT_EQ(pick_kernel(KernelPath::Avx2, p, a2, a5, ne)(), 2);
    EXPECT_EQ(pick_kernel(KernelPath::Neon, p, a2, a5, ne)(), 9);
    EXPECT_EQ(pick_kernel(KernelPath::Neon, p, a2, a5, (int (*)()) nullptr)(), 0);
    EXPECT_EQ(pick_kernel(KernelPath::Portable, p, a2, a5, ne)(), 0);
}

// Selecting a path refills the registered Backend in place and the
// CPU-internal table together; the slots they share hold the same variant.
TEST(KernelPath, SelectingAPathRefillsBothTables) {
    const KernelPath before = active_kernel_path();
    const Backend& b = active_backend_or_throw();
    ASSERT_EQ(&b, &cpu_backend());
    for (KernelPath p : {KernelPath::Portable, KernelPath::Avx2, KernelPath::Avx512, KernelPath::Neon}) {
        if (!kernel_path_supported(p)) continue;
        vantrel_test::ScopedKernelPath on(p);
        const CpuKernels& k = cpu_kernels();
        EXPECT_EQ(active_kernel_path(), p);
        EXPECT_EQ(k.path, p);
        EXPECT_EQ(b.k_pack_f32, k.pack_f32);
        EXPECT_EQ(b.k_gemm_f32, k.gemm_f32);
        EXPECT_EQ(b.k_linear_f32, k.linear_f32);
        EXPECT_EQ(b.k_relu_f32, k.relu_f32);
        EXPECT_EQ(b.k_gemm_s8_requant, k.gemm_s8_requant);
        EXPECT_EQ(b.k_gemm_s8_s32, k.gemm_s8_s32);
        EXPECT_EQ(b.k_gelu_f32, k.gelu_f32);
        // Every path but the portable one has its own variants of these.
        const bool portable = p == KernelPath::Portable;
        EXPECT_EQ(k.attention_core_f32 == &attention_core_f32_portable, portable);
        EXPECT_EQ(k.conv1d_f32_direct == &conv1d_f32_direct_portable, portable);
        EXPECT_EQ(k.conv2d_s8_depthwise3x3 == &conv2d_s8_depthwise3x3_portable, portable);
        EXPECT_EQ(k.lstm_cell_f32 == &lstm_cell_f32_portable, portable);
        EXPECT_EQ(k.stft_f32 == &stft_f32_portable, portable);
    }
    EXPECT_EQ(active_kernel_path(), before);
    EXPECT_EQ(cpu_kernels().path, before);
}
