// The CPU-internal kernel table: the instruction-set variant of each routine
// that layers and other kernels call directly rather than through the
// Backend table (GEMM engines, attention core, 1-D and depthwise
// convolutions, the int8 Winograd transforms, LSTM cell, STFT).
//
// The CPU backend fills it together with its Backend table, for the same
// kernel path (engine/cpu_backend/cpu_backend.h); that is the one moment the
// path is chosen. The entry points (gemm_f32, pack_f32, gemm_s8_f32out,
// attention_core_f32, conv1d_f32_direct, ...) then call through this table:
// one pointer load, no path test per call. The slots the Backend shares
// (k_pack_f32, k_gemm_f32, k_gemm_s8_requant, ...) are copied from here, so a
// block packed through the Backend fits the GEMM every kernel calls.
//
// Until the backend fills it, the table holds the portable variants.
#pragma once
#include "kernels/attention/attention_core.h"
#include "kernels/audio/lstm_f32.h"
#include "kernels/audio/stft_f32.h"
#include "kernels/conv/conv1d_f32_direct.h"
#include "kernels/conv/conv1d_f32_wino.h"
#include "kernels/conv/conv2d_f32_depthwise.h"
#include "kernels/conv/conv2d_s8_depthwise.h"
#include "kernels/conv/conv2d_s8_wino.h"
#include "kernels/elementwise/activation.h"
#include "kernels/gemm/gemm_f32.h"
#include "kernels/gemm/gemm_s8.h"
#include "kernels/kernel_path.h"
#include "kernels/quantize.h"

namespace vantrel {

struct CpuKernels {
    KernelPath path;
    // float GEMM engine; its packed layout belongs to the path.
    decltype(&pack_f32_portable) pack_f32;
    decltype(&packed_f32_bytes_portable) packed_f32_bytes;
    decltype(&gemm_f32_portable) gemm_f32;
    decltype(&gemm_f32_epi_portable) gemm_f32_epi;
    decltype(&linear_f32_portable) linear_f32;
    decltype(&relu_f32_portable) relu_f32;
    // Null on paths without it (the portable one included): see gemm_f32.h.
    GemmF32RowsFn gemm_f32_rows;
    // int8 GEMM engine (one packed layout for every path).
    decltype(&gemm_s8_requant_portable) gemm_s8_requant;
    decltype(&gemm_s8_s32_portable) gemm_s8_s32;
    decltype(&gemm_s8_residual_portable) gemm_s8_residual;
    // GELU epilogue of seq_gemm_s8 (the Backend's k_gelu_f32).
    decltype(&k_gelu_f32) gelu_f32;
    decltype(&attention_core_f32_portable) attention_core_f32;
    decltype(&attention_head_f32_portable) attention_head_f32;
    decltype(&conv1d_f32_direct_portable) conv1d_f32_direct;
    decltype(&conv1d_f32_wino_portable) conv1d_f32_wino;
    decltype(&conv2d_f32_depthwise_portable) conv2d_f32_depthwise;
    decltype(&conv2d_f32_depthwise_epi_portable) conv2d_f32_depthwise_epi;
    decltype(&conv2d_f32_depthwise_rows_portable) conv2d_f32_depthwise_rows;
    decltype(&conv2d_s8_depthwise3x3_portable) conv2d_s8_depthwise3x3;
    decltype(&conv2d_s8_depthwise3x3_rows_portable) conv2d_s8_depthwise3x3_rows;
    // Input transform and output stage of k_conv2d_s8_wino.
    decltype(&conv2d_s8_wino_output_portable) conv2d_s8_wino_output;
    decltype(&conv2d_s8_wino_input_portable) conv2d_s8_wino_input;
    decltype(&lstm_cell_f32_portable) lstm_cell_f32;
    decltype(&stft_f32_portable) stft_f32;
    // Row quantisation of the dynamically quantised int8 GEMM.
    decltype(&quantize_rows_symmetric_portable) quantize_rows_symmetric;
};

// The table in use.
const CpuKernels& cpu_kernels();
// Refills the table with the variants of `path` (a path this CPU runs).
// Only the CPU backend calls it, when it fills its own table; never while
// kernels run.
void fill_cpu_kernels(KernelPath path);

}  // namespace vantrel
