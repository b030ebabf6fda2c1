// Table lookup on Advanced SIMD: four 64-byte quarters of the table, each
// read with TBL/TBX on the index minus the quarter's start (TBX leaves a lane
// whose index is out of range unchanged).
#include <arm_neon.h>

#include "kernels/elementwise/lut_s8.h"

namespace vantrel {

void k_lut_s8_neon(const int8_t* x, const int8_t* table, int8_t* y, int64_t n, void*) {
    if (n <= 0) return;
    const uint8_t* t = reinterpret_cast<const uint8_t*>(table);
    const uint8x16x4_t q0 = vld1q_u8_x4(t), q1 = vld1q_u8_x4(t + 64), q2 = vld1q_u8_x4(t + 128),
                       q3 = vld1q_u8_x4(t + 192);
    const uint8x16_t bias = vdupq_n_u8(0x80), step = vdupq_n_u8(64);
    int64_t i = 0;
    for (; i + 16 <= n; i += 16) {
        uint8x16_t u = veorq_u8(vreinterpretq_u8_s8(vld1q_s8(x + i)), bias);
        uint8x16_t r = vqtbl4q_u8(q0, u);
        u = vsubq_u8(u, step);
        r = vqtbx4q_u8(r, q1, u);
        u = vsubq_u8(u, step);
        r = vqtbx4q_u8(r, q2, u);
        u = vsubq_u8(u, step);
        r = vqtbx4q_u8(r, q3, u);
        vst1q_s8(y + i, vreinterpretq_s8_u8(r));
    }
    lut_s8_tail(x + i, table, y + i, n - i);
}

}  // namespace vantrel
