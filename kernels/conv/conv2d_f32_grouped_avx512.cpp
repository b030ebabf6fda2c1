#include <immintrin.h>

#include "kernels/conv/conv2d_f32_grouped.h"
#include "kernels/conv/conv2d_f32_grouped_loops.h"
#include "kernels/conv/conv2d_f32_grouped_x86.h"

namespace vantrel {

namespace {
struct GroupedVec16 {
    using T = __m512;
    static constexpr int kLanes = 16, kPix = 8;
    static constexpr bool kCopyInput = true;
    static T zero() { return _mm512_setzero_ps(); }
    static T load(const float* p) { return _mm512_loadu_ps(p); }
    static T bcast(const float* p) { return _mm512_set1_ps(*p); }
    static T fma(T a, T b, T c) { return _mm512_fmadd_ps(a, b, c); }
    static T add(T a, T b) { return _mm512_add_ps(a, b); }
    // Keeps lanes with s > 0; NaN, -0 and negatives become +0.
    static T relu(T s) { return _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(s, _mm512_setzero_ps(), _CMP_GT_OQ), s); }
    static void store(float* p, T v) { _mm512_storeu_ps(p, v); }
    static bool has_group(int64_t cog) { return cog == 2 || cog == 4 || cog == 8; }
    using M = __mmask16;
    static M split(int n) { return __mmask16(0xFFFFu << n); }
    static T blend(M m, T a, T b) { return _mm512_mask_blend_ps(m, a, b); }
    // Element CI of each group of CG lanes, replicated over the group: an
    // in-lane permute for groups within 128 bits, a quarter copy and an
    // in-lane permute for 8. The zero-masking forms sidestep a spurious
    // GCC 12 uninitialised warning.
    template <int CG, int CI>
    static T in_group(T x) {
        if constexpr (CG == 2)
            return _mm512_maskz_permute_ps(__mmask16(0xFFFF), x, CI | CI << 2 | (2 + CI) << 4 | (2 + CI) << 6);
        else if constexpr (CG == 4)
            return _mm512_maskz_permute_ps(__mmask16(0xFFFF), x, CI * 0x55);
        else {
            // The 128-bit quarter holding CI of each group copied over the
            // group (shared by the four CI of a quarter), then an in-lane
            // broadcast: cheaper than one full permute per CI.
            constexpr int q = CI / 4;
            const __m512 quarters =
                _mm512_maskz_shuffle_f32x4(__mmask16(0xFFFF), x, x, q | q << 2 | (2 + q) << 4 | (2 + q) << 6);
            return _mm512_maskz_permute_ps(__mmask16(0xFFFF), quarters, (CI % 4) * 0x55);
        }
    }
};

// 16-lane blocks, then 8-lane ones for a tail or lanes of three groups,
// then single channels.
using Avx512Channels =
    GroupedVecChannels<GroupedVec16, GroupedVecChannels<GroupedVec8, GroupedScalarChannels>>;
}  // namespace

VANTREL_GROUPED_F32_ENTRY_POINT(avx512, Avx512Channels)

}  // namespace vantrel
