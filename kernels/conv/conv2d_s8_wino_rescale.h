// The per-position rescale of the int8 Winograd output stage in the form the
// vector paths apply to 64-bit lanes whose low 32 bits hold a product x:
//   t = (x * mult + rnd) >> rsh, and when `left`, clamp t to [lo, hi] and
//   then (t << lsh) capped at +-kWinoRescaleLimit.
// Left (shift e >= 0): rnd = 2^30, rsh = 31; the clamp carries the one
// saturating product (x = m = INT32_MIN gives 2^31, the scalar INT32_MAX)
// and stops t one past the largest |t| that shifts exactly, so the shift
// stays within 64 bits.
// Right (shift -s): the two rounding shifts are one, since nested floor
// divisions compose: ((x m + 2^30) >> 31 + 2^(s-1)) >> s equals
// (x m + 2^30 + 2^(s+30)) >> (31 + s), below 2^63 for s <= 31. The
// saturating product's 2^31 rounds as INT32_MAX would for those s, and
// s = 32 rounds every t to 0 (multiplier 0).
// Plain left shifts: with a multiplier above INT32_MIN, |t| < 2^31, so for
// lsh <= 26 the clamp and the cap change nothing (|t << lsh| < 2^57) and the
// paths may skip them; a scale derived from int8 weights shifts by at most 4.
#pragma once
#include <algorithm>
#include <cstdint>

namespace vantrel {

constexpr int64_t kWinoRescaleLimit = int64_t(1) << 58;

struct WinoRescaleLanes {
    int64_t mult, lo, hi, rnd;
    int lsh, rsh;
    bool left;
    bool plain;  // left, and the clamp and the cap are no-ops
};

inline WinoRescaleLanes wino_rescale_lanes(int32_t m, int32_t e) {
    WinoRescaleLanes p{m, 0, 0, 0, 0, 31, e >= 0, false};
    if (e >= 0) {
        const int c = e > 58 ? 58 : e;
        const int64_t cap = kWinoRescaleLimit >> c;
        p.lo = std::max<int64_t>(-cap - 1, INT32_MIN);
        p.hi = std::min<int64_t>(cap + 1, INT32_MAX);
        p.rnd = int64_t(1) << 30;
        p.lsh = c;
        p.plain = m != INT32_MIN && c <= 26;
    } else {
        const int s = e < -32 ? 32 : -e;
        if (s == 32) p.mult = 0;
        p.rnd = s == 32 ? 0 : (int64_t(1) << 30) + (int64_t(1) << (s + 30));
        p.rsh = s == 32 ? 63 : 31 + s;
    }
    return p;
}

}  // namespace vantrel
