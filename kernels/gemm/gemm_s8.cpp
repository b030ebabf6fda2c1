// Portable int8 GEMM and the packing shared by every path: 8x8 tiles over
// one packed panel, then one row at a time for the rows left over.
#include "kernels/gemm/gemm_s8.h"

#include <cstring>
#include <new>

#include "kernels/gemm/gemm_s8_split.h"

namespace vantrel {

size_t packed_s8_bytes(int32_t n, int32_t k) {
    if (n <= 0 || k <= 0) return 0;
    return size_t(s8_panels(n)) * size_t((int64_t(k) + 3) / 4) * size_t(kS8GroupBytes);
}

int8_t* pack_s8(const int8_t* w, int32_t n, int32_t k) {
    // On a 64-byte line, as the vector kernels load whole panels.
    const size_t bytes = packed_s8_bytes(n, k);
    int8_t* bp = static_cast<int8_t*>(::operator new[](bytes ? bytes : 1, std::align_val_t(64)));
    std::memset(bp, 0, bytes);
    if (n <= 0 || k <= 0) return bp;
    const int64_t kg = (int64_t(k) + 3) / 4;
    for (int64_t c = 0; c < n; ++c) {
        int8_t* panel = bp + (c / kS8PanelCols) * kg * kS8GroupBytes + (c % kS8PanelCols) * 4;
        const int8_t* src = w + c * int64_t(k);
        for (int64_t i = 0; i < k; ++i) panel[(i / 4) * kS8GroupBytes + i % 4] = src[i];
    }
    return bp;
}

void free_packed_s8(int8_t* p) {
    if (p) ::operator delete[](p, std::align_val_t(64));
}

namespace {

thread_local S8ColParams t_params;

// ROWS rows from `row` times panel p. Sums wrap in 32 bits (unsigned, so
// the wrap is defined). A's last group is read byte by byte past K.
template <int ROWS>
void tile(const GemmS8Args& g, int64_t row, int64_t p, int32_t* out) {
    uint32_t acc[ROWS][8] = {};
    const int8_t* b = g.bp + p * g.kg * kS8GroupBytes;
    const int64_t full = g.k / 4;
    for (int64_t gi = 0; gi < g.kg; ++gi) {
        const int8_t* bg = b + gi * kS8GroupBytes;
        for (int r = 0; r < ROWS; ++r) {
            const int8_t* ar = g.a + (row + r) * g.k + gi * 4;
            int8_t a4[4] = {0, 0, 0, 0};
            const int64_t cnt = gi < full ? 4 : g.k - gi * 4;
            for (int64_t i = 0; i < cnt; ++i) a4[i] = ar[i];
            for (int j = 0; j < 8; ++j) {
                int32_t s = 0;
                for (int i = 0; i < 4; ++i) s += int32_t(a4[i]) * int32_t(bg[j * 4 + i]);
                acc[r][j] += uint32_t(s);
            }
        }
    }
    for (int r = 0; r < ROWS; ++r)
        for (int j = 0; j < 8; ++j) out[r * 8 + j] = int32_t(acc[r][j]);
}

void range(const GemmS8Args& g, int64_t r0, int64_t r1, int64_t p0, int64_t p1) {
    gemm_s8_col_params(g, p0, p1, t_params);
    int32_t acc[8 * 8];
    int64_t row = r0;
    for (; row + 8 <= r1; row += 8)
        for (int64_t p = p0; p < p1; ++p) {
            tile<8>(g, row, p, acc);
            gemm_s8_finish_tile(g, t_params, (p - p0) * 8, acc, 8, row, p * 8);
            if (g.residual) gemm_s8_residual_rows(g, row, 8, p * 8, p * 8 + 8);
        }
    for (; row < r1; ++row)
        for (int64_t p = p0; p < p1; ++p) {
            tile<1>(g, row, p, acc);
            gemm_s8_finish_tile(g, t_params, (p - p0) * 8, acc, 1, row, p * 8);
            if (g.residual) gemm_s8_residual_rows(g, row, 1, p * 8, p * 8 + 8);
        }
}

// A is read in place.
constexpr GemmS8Path kPortablePath{&range, nullptr, nullptr};

}  // namespace

VANTREL_GEMM_S8_ENTRIES(gemm_s8_requant_portable, gemm_s8_s32_portable, gemm_s8_residual_portable,
                        kPortablePath)

}  // namespace vantrel
