#include "kernels/elementwise/add_s8.h"

#include <cmath>

#include "kernels/quantize.h"
#include "kernels/parallel/strip_pool.h"

namespace vantrel {
namespace add_s8 {

namespace {
constexpr float kFastLimit = 7.99f;  // 0x40FFAE14: 7.99 * 4096 still fits in 16 bits

// round(x * 2^-s) with ties toward plus infinity, for a shift s = 31 - e
// that may point either way. A left shift saturates at 2^120, far beyond
// anything that survives the int8 clamp.
__int128 tail_shift(int64_t x, int32_t s) {
    if (s >= 127) return 0;  // |x| < 2^63 <= 2^(s-1): rounds to 0
    if (s > 0) return (__int128(x) + (__int128(1) << (s - 1))) >> s;
    const __int128 cap = __int128(1) << 120;
    if (x == 0) return 0;
    if (-s >= 64) return x > 0 ? cap : -cap;
    __int128 v = __int128(x) * (__int128(1) << -s);
    return v > cap ? cap : (v < -cap ? -cap : v);
}

int8_t tail_element(int8_t a, int8_t b, const Params& p) {
    __int128 va = tail_shift((int64_t(a) - p.in1_zp) * p.ma, 31 - p.ea);
    __int128 vb = tail_shift((int64_t(b) - p.in2_zp) * p.mb, 31 - p.eb);
    __int128 y = va + vb + p.out_zp;
    return int8_t(y < -128 ? -128 : (y > 127 ? 127 : int32_t(y)));
}

void fast_blocks(const int8_t* a, const int8_t* b, int8_t* out, int64_t begin, int64_t end,
                 const Params& p) {
    for (int64_t i = begin * kFastBlock; i < end * kFastBlock; ++i) out[i] = fast_element(a[i], b[i], p);
}

void slow_blocks(const int8_t* a, const int8_t* b, int8_t* out, int64_t begin, int64_t end,
                 const Params& p) {
    for (int64_t i = begin * kSlowBlock; i < end * kSlowBlock; ++i) out[i] = slow_element(a[i], b[i], p);
}
}  // namespace

Params setup(int32_t in1_zp, int32_t in2_zp, int32_t out_zp, float in1_scale, float in2_scale,
             float out_scale) {
    Params p;
    float inv = 1.0f / out_scale;
    float ra = in1_scale * inv;
    float rb = in2_scale * inv;
    // The layer refuses scales that make a ratio infinite or NaN; called
    // directly, such an operand simply contributes nothing.
    if (!std::isfinite(ra)) ra = 0.0f;
    if (!std::isfinite(rb)) rb = 0.0f;
    QuantMultiplier qma = quantize_multiplier(ra), qmb = quantize_multiplier(rb);
    p.ma = qma.multiplier;
    p.ea = qma.shift;
    p.mb = qmb.multiplier;
    p.eb = qmb.shift;
    p.fast = std::fabs(ra) <= kFastLimit && std::fabs(rb) <= kFastLimit;
    if (p.fast) {
        p.qa = int16_t(std::round(ra * 4096.0f));
        p.qb = int16_t(std::round(rb * 4096.0f));
        uint32_t k = uint32_t(out_zp) * 4096u - uint32_t(p.qa) * uint32_t(in1_zp) -
                     uint32_t(p.qb) * uint32_t(in2_zp);
        p.k_round = int32_t(k + 2048u);
    }
    p.in1_zp16 = int16_t(in1_zp);
    p.in2_zp16 = int16_t(in2_zp);
    p.out_zp16 = int16_t(out_zp);
    p.in1_zp = in1_zp;
    p.in2_zp = in2_zp;
    p.out_zp = out_zp;
    return p;
}

void run(const int8_t* a, const int8_t* b, int8_t* out, int32_t n, const Params& p,
         BlockFn fast, BlockFn slow) {
    if (n <= 0) return;
    const int64_t block = p.fast ? kFastBlock : kSlowBlock;
    const BlockFn blocks_fn = p.fast ? fast : slow;
    const int64_t blocks = n / block;
    // A team only pays off with at least two blocks to share; the split
    // never changes a result.
    const int team = strip_team();
    if (team > 1 && blocks > 1) {
        run_shares(blocks, team, [&](int64_t b0, int64_t b1) { blocks_fn(a, b, out, b0, b1, p); });
    } else if (blocks > 0) {
        blocks_fn(a, b, out, 0, blocks, p);
    }
    for (int64_t i = blocks * block; i < n; ++i) out[i] = tail_element(a[i], b[i], p);
}

}  // namespace add_s8

VANTREL_ADD_S8_KERNEL(k_add_s8, add_s8::fast_blocks, add_s8::slow_blocks)

}  // namespace vantrel
