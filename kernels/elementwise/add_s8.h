// Requantising addition of two int8 tensors into an int8 tensor:
// out ~ (in1_scale*(a - in1_zp) + in2_scale*(b - in2_zp)) / out_scale + out_zp.
//
// With both ratios in1_scale/out_scale and in2_scale/out_scale at most 7.99
// in magnitude, blocks of 16 use 12-bit fixed-point ratios; otherwise blocks
// of 8 use doubling high multiplies with the (multiplier, shift) form of the
// ratios. Blocks are shared by an OpenMP team with a balanced split; the
// elements after the last whole block are computed by the calling thread
// with one 64-bit rounding, which can differ by one unit from the block
// formula. Results are the same on every path and at every thread count.
#pragma once
#include <cstdint>

namespace vantrel {

void k_add_s8(const int8_t* a, const int8_t* b, int32_t in1_zp, int32_t in2_zp, int32_t out_zp,
              int8_t* out, int32_t n, void* stream, float in1_scale, float in2_scale,
              float out_scale);
#if defined(__x86_64__)
void k_add_s8_avx2(const int8_t* a, const int8_t* b, int32_t in1_zp, int32_t in2_zp,
                   int32_t out_zp, int8_t* out, int32_t n, void* stream, float in1_scale,
                   float in2_scale, float out_scale);
void k_add_s8_avx512(const int8_t* a, const int8_t* b, int32_t in1_zp, int32_t in2_zp,
                     int32_t out_zp, int8_t* out, int32_t n, void* stream, float in1_scale,
                     float in2_scale, float out_scale);
#endif
#if defined(__aarch64__)
void k_add_s8_neon(const int8_t* a, const int8_t* b, int32_t in1_zp, int32_t in2_zp,
                   int32_t out_zp, int8_t* out, int32_t n, void* stream, float in1_scale,
                   float in2_scale, float out_scale);
#endif

// The pieces every path shares: set-up, the work split and the tail live in
// add_s8.cpp; each path supplies only its block loops.
namespace add_s8 {

constexpr int kFastBlock = 16;
constexpr int kSlowBlock = 8;

struct Params {
    bool fast = true;
    // Blocks of 16: acc = k + qa*a + qb*b; y = sat8((acc + 2048) >> 12).
    // k_round is k + 2048 (both adds wrap in 32 bits, so they may merge).
    int32_t qa = 0, qb = 0, k_round = 0;
    // Blocks of 8: (multiplier, shift) of each ratio; zero points as the
    // 16-bit lanes hold them.
    int32_t ma = 0, ea = 0, mb = 0, eb = 0;
    int16_t in1_zp16 = 0, in2_zp16 = 0, out_zp16 = 0;
    // Tail.
    int32_t in1_zp = 0, in2_zp = 0, out_zp = 0;
};

Params setup(int32_t in1_zp, int32_t in2_zp, int32_t out_zp, float in1_scale, float in2_scale,
             float out_scale);

// Computes whole blocks [block_begin, block_end) of the path p.fast selects.
using BlockFn = void (*)(const int8_t* a, const int8_t* b, int8_t* out, int64_t block_begin,
                         int64_t block_end, const Params& p);

// Splits the blocks over the team, then computes the tail.
void run(const int8_t* a, const int8_t* b, int8_t* out, int32_t n, const Params& p,
         BlockFn fast_blocks, BlockFn slow_blocks);

// Saturating rounding doubling high multiply: (2*x*m + 2^31) >> 32.
static inline int32_t sqrdmulh(int32_t x, int32_t m) {
    if (x == INT32_MIN && m == INT32_MIN) return INT32_MAX;
    return int32_t((2 * (int64_t(x) * int64_t(m)) + (int64_t(1) << 31)) >> 32);
}

// t << e for e >= 0 (bits shifted out are lost), rounding arithmetic shift
// right by -e otherwise; a shift of 32 or more in either direction gives 0,
// as the vector shift instructions do.
static inline int32_t rounding_shift(int32_t t, int32_t e) {
    if (e >= 32 || e <= -32) return 0;
    if (e >= 0) return int32_t(uint32_t(t) << e);
    return int32_t((int64_t(t) + (int64_t(1) << (-e - 1))) >> -e);
}

static inline int32_t sat(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

static inline int8_t fast_element(int8_t a, int8_t b, const Params& p) {
    uint32_t acc = uint32_t(p.k_round) + uint32_t(p.qa * a) + uint32_t(p.qb * b);
    return int8_t(sat(int32_t(acc) >> 12, -128, 127));
}

static inline int8_t slow_element(int8_t a, int8_t b, const Params& p) {
    int16_t da = int16_t(a - p.in1_zp16);
    int16_t db = int16_t(b - p.in2_zp16);
    int32_t va = rounding_shift(sqrdmulh(da, p.ma), p.ea);
    int32_t vb = rounding_shift(sqrdmulh(db, p.mb), p.eb);
    int32_t s = sat(int32_t(uint32_t(va) + uint32_t(vb)), INT16_MIN, INT16_MAX);
    int16_t y = int16_t(s + p.out_zp16);
    return int8_t(sat(y, -128, 127));
}

}  // namespace add_s8

// Defines the kernel `name` of this header on a path's block loops.
#define VANTREL_ADD_S8_KERNEL(name, fast_blocks, slow_blocks)                                     \
    void name(const int8_t* a, const int8_t* b, int32_t in1_zp, int32_t in2_zp, int32_t out_zp,  \
              int8_t* out, int32_t n, void* /*stream*/, float in1_scale, float in2_scale,        \
              float out_scale) {                                                                 \
        const add_s8::Params p =                                                                 \
            add_s8::setup(in1_zp, in2_zp, out_zp, in1_scale, in2_scale, out_scale);              \
        add_s8::run(a, b, out, n, p, &fast_blocks, &slow_blocks);                                \
    }

}  // namespace vantrel
