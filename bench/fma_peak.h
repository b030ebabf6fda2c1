// Tight loops of independent fused multiply-adds, one per instruction set,
// to measure the machine's FMA peak in the same run as the GEMM timings.
#pragma once
#include <cstdint>

namespace vantrel_bench {

// Each runs `iters` iterations of kFmaPerIter vector FMAs of the ISA's width
// and returns a value depending on all of them (so nothing is elided).
constexpr int kFmaPerIter = 12;
#if defined(__x86_64__)
float fma_loop_avx2(int64_t iters);    // 8 lanes
float fma_loop_avx512(int64_t iters);  // 16 lanes
#endif
#if defined(__aarch64__)
float fma_loop_neon(int64_t iters);    // 4 lanes
#endif

}  // namespace vantrel_bench
