// Block loops of k_add_s8 on Advanced SIMD: one block of 16 or of 8 per
// iteration.
#include <arm_neon.h>

#include "kernels/elementwise/add_s8.h"

namespace vantrel {

namespace {
using add_s8::Params;

inline int32x4_t fast_quarter(int32x4_t k, int16x4_t a, int16x4_t b, int16_t qa, int16_t qb) {
    return vshrq_n_s32(vmlal_n_s16(vmlal_n_s16(k, a, qa), b, qb), 12);
}

void fast_blocks(const int8_t* a, const int8_t* b, int8_t* out, int64_t begin, int64_t end,
                 const Params& p) {
    const int32x4_t k = vdupq_n_s32(p.k_round);
    const int16_t qa = int16_t(p.qa), qb = int16_t(p.qb);
    for (int64_t blk = begin; blk < end; ++blk) {
        const int64_t i = blk * add_s8::kFastBlock;
        int8x16_t a8 = vld1q_s8(a + i), b8 = vld1q_s8(b + i);
        int16x8_t alo = vmovl_s8(vget_low_s8(a8)), ahi = vmovl_high_s8(a8);
        int16x8_t blo = vmovl_s8(vget_low_s8(b8)), bhi = vmovl_high_s8(b8);
        int32x4_t v0 = fast_quarter(k, vget_low_s16(alo), vget_low_s16(blo), qa, qb);
        int32x4_t v1 = fast_quarter(k, vget_high_s16(alo), vget_high_s16(blo), qa, qb);
        int32x4_t v2 = fast_quarter(k, vget_low_s16(ahi), vget_low_s16(bhi), qa, qb);
        int32x4_t v3 = fast_quarter(k, vget_high_s16(ahi), vget_high_s16(bhi), qa, qb);
        int16x8_t s0 = vqmovn_high_s32(vqmovn_s32(v0), v1);
        int16x8_t s1 = vqmovn_high_s32(vqmovn_s32(v2), v3);
        vst1q_s8(out + i, vqmovn_high_s16(vqmovn_s16(s0), s1));
    }
}

// add_s8::rounding_shift: SRSHL shifts by the signed low byte of each lane,
// so shifts of 32 or more (which give 0) are handled before it.
inline int32x4_t rounding_shift(int32x4_t t, int32_t e) {
    if (e >= 32 || e <= -32) return vdupq_n_s32(0);
    return vrshlq_s32(t, vdupq_n_s32(e));
}

void slow_blocks(const int8_t* a, const int8_t* b, int8_t* out, int64_t begin, int64_t end,
                 const Params& p) {
    const int16x8_t zpa = vdupq_n_s16(p.in1_zp16), zpb = vdupq_n_s16(p.in2_zp16);
    const int16x8_t zpo = vdupq_n_s16(p.out_zp16);
    const int32x4_t ma = vdupq_n_s32(p.ma), mb = vdupq_n_s32(p.mb);
    for (int64_t blk = begin; blk < end; ++blk) {
        const int64_t i = blk * add_s8::kSlowBlock;
        int16x8_t da = vsubq_s16(vmovl_s8(vld1_s8(a + i)), zpa);
        int16x8_t db = vsubq_s16(vmovl_s8(vld1_s8(b + i)), zpb);
        int32x4_t s0 = vaddq_s32(rounding_shift(vqrdmulhq_s32(vmovl_s16(vget_low_s16(da)), ma), p.ea),
                                 rounding_shift(vqrdmulhq_s32(vmovl_s16(vget_low_s16(db)), mb), p.eb));
        int32x4_t s1 = vaddq_s32(rounding_shift(vqrdmulhq_s32(vmovl_high_s16(da), ma), p.ea),
                                 rounding_shift(vqrdmulhq_s32(vmovl_high_s16(db), mb), p.eb));
        int16x8_t s16 = vaddq_s16(vqmovn_high_s32(vqmovn_s32(s0), s1), zpo);
        vst1_s8(out + i, vqmovn_s16(s16));
    }
}
}  // namespace

VANTREL_ADD_S8_KERNEL(k_add_s8_neon, fast_blocks, slow_blocks)

}  // namespace vantrel
