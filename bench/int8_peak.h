// Tight loops of independent int8 multiply-accumulate instructions, one per
// instruction set, to measure the machine's int8 peak in the same run as the
// int8 GEMM timings.
#pragma once
#include <cstdint>

namespace vantrel_bench {

// Each runs `iters` iterations of kInt8PerIter independent accumulations and
// returns a value depending on all of them (so nothing is elided).
constexpr int kInt8PerIter = 12;
#if defined(__x86_64__)
// vpmaddwd + vpaddd on 256 bits (what the AVX2 GEMM runs): 16
// multiply-adds per step.
int32_t madd_loop_avx2(int64_t iters);
// vpdpbusd on 512 bits: 64 multiply-adds per step.
int32_t vnni_loop_avx512(int64_t iters);
#endif
#if defined(__aarch64__)
// sdot on 128 bits: 16 multiply-adds per step.
int32_t sdot_loop_neon(int64_t iters);
#endif

}  // namespace vantrel_bench
