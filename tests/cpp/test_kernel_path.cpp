#include <gtest/gtest.h>

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
