// Panels [p, pe) of one tile row: tiles of NP panels, then at most one tile
// of each smaller power of two, so the widest tiles do most of the work.
// tile(std::integral_constant<int, W>, p) computes W panels from panel p.
// Shared by the float and int8 GEMM paths; unnamed namespace, so each
// instruction-set file keeps its own copy.
#pragma once
#include <cstdint>
#include <type_traits>

namespace vantrel {
namespace {

template <int W, class Tile>
inline void panel_tiles_rest(int64_t p, int64_t pe, Tile& tile) {
    if constexpr (W >= 1) {
        if (p + W <= pe) {
            tile(std::integral_constant<int, W>{}, p);
            p += W;
        }
        panel_tiles_rest<W / 2>(p, pe, tile);
    }
}

template <int NP, class Tile>
inline void panel_tiles(int64_t p, int64_t pe, Tile&& tile) {
    static_assert(NP >= 1 && (NP & (NP - 1)) == 0, "panel widths halve down to 1");
    for (; p + NP <= pe; p += NP) tile(std::integral_constant<int, NP>{}, p);
    panel_tiles_rest<NP / 2>(p, pe, tile);
}

}  // namespace
}  // namespace vantrel
