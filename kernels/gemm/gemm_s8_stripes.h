// The row stripe x column block driver of the vector int8 GEMM paths. A
// stripe of A rows (about kStripeBytes) is copied once into the path's own
// layout, then every block of packed panels (about kBlockBytes) is swept by
// register tiles of up to kRows rows; the stripe copy and one block together
// stay in L2. The path supplies, as members of a struct K:
//   Elem                       element of the A copy
//   kRows, kLdaAlign           tile rows; A copy row length rounded up to this
//   kBlockBytes, kStripeBytes
//   kSumsWeights               the first tile row of each block in a range also
//                              sums the block's weights (tile<R, NP, true>)
//   max_panels(r)              panels per tile for r accumulator rows (1/2/4/8)
//   copy_rows(g, r0, r1, dst, lda)
//   tile<R, NP[, SUM]>(g, cp, p0, a, lda, row, p)
// and, optionally, kResidualInTile: its tiles add a folded residual
// themselves (else each tile row gets gemm_s8_residual_rows), and
// tile_rows(g): the most rows per tile for this product (else kRows).
// The split over threads stays with gemm_s8_run; this only orders the work
// of one range, so results do not depend on it.
#pragma once
#include <algorithm>
#include <array>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "kernels/gemm/gemm_s8_split.h"
#include "kernels/gemm/panel_tiles.h"

namespace vantrel {

namespace s8_stripes {

template <class K, class = void>
struct ResidualInTile : std::false_type {};
template <class K>
struct ResidualInTile<K, std::void_t<decltype(K::kResidualInTile)>> : std::bool_constant<K::kResidualInTile> {};

template <class K, class = void>
struct HasTileRows : std::false_type {};
template <class K>
struct HasTileRows<K, std::void_t<decltype(K::tile_rows(std::declval<const GemmS8Args&>()))>> : std::true_type {};

template <class K>
inline int64_t tile_rows(const GemmS8Args& g) {
    if constexpr (HasTileRows<K>::value) return std::min<int64_t>(K::kRows, K::tile_rows(g));
    else return K::kRows;
}

template <class K, int R, int NP, bool SUM>
inline void tile(const GemmS8Args& g, S8ColParams& cp, int64_t p0, const typename K::Elem* a,
                 int64_t lda, int64_t row, int64_t p) {
    if constexpr (K::kSumsWeights)
        K::template tile<R, NP, SUM>(g, cp, p0, a, lda, row, p);
    else
        K::template tile<R, NP>(g, cp, p0, a, lda, row, p);
}

// Panels [p, pe) of R rows: the widest tile, then halving widths for the rest.
template <class K, int R, bool SUM>
void tile_row(const GemmS8Args& g, S8ColParams& cp, int64_t p0, const typename K::Elem* a,
              int64_t lda, int64_t row, int64_t p, int64_t pe) {
    // The weight sums take one more accumulator row.
    panel_tiles<K::max_panels(SUM ? R + 1 : R)>(p, pe, [&](auto np, int64_t q) {
        tile<K, R, decltype(np)::value, SUM>(g, cp, p0, a, lda, row, q);
    });
}

template <class K>
using TileRowFn = void (*)(const GemmS8Args&, S8ColParams&, int64_t, const typename K::Elem*,
                           int64_t, int64_t, int64_t, int64_t);

template <class K, bool SUM, int... I>
constexpr std::array<TileRowFn<K>, sizeof...(I) + 1> tile_rows(std::integer_sequence<int, I...>) {
    return {nullptr, &tile_row<K, I + 1, SUM>...};
}

// Entry r handles a tile row of r rows.
template <class K, bool SUM>
inline constexpr auto kTileRows = tile_rows<K, SUM>(std::make_integer_sequence<int, K::kRows>{});

// Elements per row of the path's copy of A.
template <class K>
inline int64_t lda(const GemmS8Args& g) {
    constexpr int64_t align = K::kLdaAlign;
    return std::max<int64_t>(align, (g.kg * 4 + align - 1) / align * align);
}

template <class K>
int64_t copy_row_bytes(const GemmS8Args& g) {
    return lda<K>(g) * int64_t(sizeof(typename K::Elem));
}

template <class K>
void copy(const GemmS8Args& g, int64_t r0, int64_t r1, void* dst) {
    K::copy_rows(g, r0, r1, static_cast<typename K::Elem*>(dst), lda<K>(g));
}

}  // namespace s8_stripes

// A GemmS8RangeFn for the path K.
template <class K>
void gemm_s8_stripes(const GemmS8Args& g, int64_t r0, int64_t r1, int64_t p0, int64_t p1) {
    using Elem = typename K::Elem;
    static thread_local S8ColParams cp;
    static thread_local std::vector<Elem> abuf;
    gemm_s8_col_params(g, p0, p1, cp);
    const int64_t lda = s8_stripes::lda<K>(g);
    // Stripes of nearly equal height within the byte budget: 49 rows of
    // 4,608 bytes as one stripe, not 48 and 1, whose single row streamed all
    // the weights through the cache once more (a 3x3 layer of 512 channels
    // at 7 x 7, its weights from memory, took 1.08 times as long so).
    const int64_t most = std::max<int64_t>(K::kRows, K::kStripeBytes / (int64_t(sizeof(Elem)) * lda));
    const int64_t stripes = (r1 - r0 + most - 1) / most;
    const int64_t stripe = stripes > 0 ? (r1 - r0 + stripes - 1) / stripes : most;
    const int64_t panel_bytes = g.kg * kS8GroupBytes;
    // Whole widest tiles per block: a block of 7 panels would end every tile
    // row with narrower, slower tiles of 2 and 1.
    constexpr int64_t wide = K::max_panels(K::kRows);
    const int64_t block =
        panel_bytes > 0 ? std::max<int64_t>(wide, K::kBlockBytes / panel_bytes / wide * wide) : p1 - p0;
    const int64_t tile_rows = s8_stripes::tile_rows<K>(g);
    const Elem* shared = static_cast<const Elem*>(g.a_copy);
    if (!shared) abuf.resize(size_t(std::min(stripe, r1 - r0) * lda));
    for (int64_t rs = r0; rs < r1; rs += stripe) {
        const int64_t re = std::min(r1, rs + stripe);
        const Elem* stripe_rows = shared ? shared + rs * lda : abuf.data();
        if (!shared) K::copy_rows(g, rs, re, abuf.data(), lda);
        for (int64_t pb = p0; pb < p1; pb += block) {
            const int64_t pe = std::min(p1, pb + block);
            // Tiles of nearly equal height: 49 rows as 10, 10, 10, 10 and 9
            // rather than four of 12 and one of a single row, which streams
            // the block's weights once more for a twelfth of the work.
            const int64_t tiles = (re - rs + tile_rows - 1) / tile_rows;
            for (int64_t ti = 0; ti < tiles; ++ti) {
                const int64_t row = rs + ti * (re - rs) / tiles;
                const int64_t rows = rs + (ti + 1) * (re - rs) / tiles - row;
                const Elem* a = stripe_rows + (row - rs) * lda;
                bool done = false;
                if constexpr (K::kSumsWeights) {
                    if (rs == r0 && row == rs) {  // corrects the block's bias
                        s8_stripes::kTileRows<K, true>[rows](g, cp, p0, a, lda, row, pb, pe);
                        done = true;
                    }
                }
                if (!done) s8_stripes::kTileRows<K, false>[rows](g, cp, p0, a, lda, row, pb, pe);
                if (!s8_stripes::ResidualInTile<K>::value && g.residual)
                    gemm_s8_residual_rows(g, row, rows, pb * kS8PanelCols, pe * kS8PanelCols);
            }
        }
    }
}

// The GemmS8Path of the path K.
template <class K>
inline constexpr GemmS8Path kStripesPath{&gemm_s8_stripes<K>, &s8_stripes::copy_row_bytes<K>,
                                         &s8_stripes::copy<K>};

}  // namespace vantrel
