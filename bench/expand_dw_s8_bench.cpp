// MobileNetV2's int8 inverted-residual blocks (1x1 expansion, 3x3
// depthwise, 1x1 projection with the residual add where the shape is kept)
// as the fold runs them (conv2d_s8_expand_depthwise) against the three
// kernels one after the other through whole tensors. The two forms run in
// turn, round after round, so a busy machine slows them alike; the fastest
// round of each is printed in microseconds, with their ratio, at the team
// size OMP_NUM_THREADS gives. Their bytes are compared too.
//
// Build and run:
//   cmake -S . -B build/bench -G Ninja -DVANTREL_BENCH=ON -Wno-dev
//   cmake --build build/bench --target expand_dw_s8_bench
//   OMP_NUM_THREADS=2 build/bench/bench/expand_dw_s8_bench [--rounds R] [--reps N]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "kernels/conv/conv2d_s8_depthwise.h"
#include "kernels/conv/conv2d_s8_expand_dw.h"
#include "kernels/elementwise/add_s8.h"
#include "kernels/gemm/gemm_s8.h"

using namespace vantrel;

namespace {

struct Block {
    int cin, cmid, cout, stride, hw;
};

// Per-channel requantisation of a layer: biases, multipliers around 0.7
// and right shifts of `shift` to `shift + 2`.
struct Requant {
    std::vector<int64_t> bias;
    std::vector<int32_t> bias32, mult, shift;
    Requant(int n, int shift0, std::mt19937& rng) : bias(size_t(n)), bias32(size_t(n)), mult(size_t(n)), shift(size_t(n)) {
        for (size_t i = 0; i < size_t(n); ++i) {
            bias[i] = int64_t(rng() % 20000) - 10000;
            bias32[i] = int32_t(bias[i]);
            mult[i] = 1073741824 + int32_t(rng() % 1000000000);
            shift[i] = -int32_t(shift0 + rng() % 3);
        }
    }
};

std::vector<int8_t> bytes(size_t n, std::mt19937& rng) {
    std::vector<int8_t> v(n);
    for (int8_t& x : v) x = int8_t(rng() % 256);
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 7, reps = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--reps")) reps = std::atoi(argv[i + 1]);
    }
    // The first block has no expansion (32 -> 32 depthwise at 112x112).
    const Block blocks[] = {{0, 32, 16, 1, 112},  {16, 96, 24, 2, 112},  {24, 144, 24, 1, 56}, {24, 144, 32, 2, 56},
                            {32, 192, 32, 1, 28}, {32, 192, 64, 2, 28},  {64, 384, 64, 1, 14}, {64, 384, 96, 1, 14},
                            {96, 576, 96, 1, 14}, {96, 576, 160, 2, 14}, {160, 960, 160, 1, 7}, {160, 960, 320, 1, 7}};
    const add_s8::Params add = add_s8::setup(-2, 3, 1, 0.05f, 0.03f, 0.06f);
    double sum_fold = 0, sum_apart = 0;
    bool same = true;
    for (const Block& b : blocks) {
        std::mt19937 rng(1);
        const int cin = b.cin ? b.cin : b.cmid, oh = (b.hw - 1) / b.stride + 1;
        const bool residual = b.stride == 1 && cin == b.cout;
        const std::vector<int8_t> x = bytes(size_t(b.hw) * b.hw * cin, rng), we = bytes(size_t(b.cmid) * cin, rng),
                                  wd = bytes(size_t(b.cmid) * 9, rng), wp = bytes(size_t(b.cout) * b.cmid, rng);
        const Requant re(b.cmid, 9, rng), rd(b.cmid, 8, rng), rp(b.cout, 11, rng);
        std::vector<int8_t> taps(wd.size()), mid(size_t(b.hw) * b.hw * b.cmid), dw(size_t(oh) * oh * b.cmid),
            out(size_t(oh) * oh * b.cout), ref(out.size());
        depthwise3x3_weights_tap_major_s8(wd.data(), taps.data(), b.cmid);
        int8_t* pe = b.cin ? pack_s8(we.data(), b.cmid, cin) : nullptr;
        int8_t* pp = pack_s8(wp.data(), b.cout, b.cmid);
        const S8ResidualAdd ra{x.data(), add.qa, add.qb, add.k_round};
        ExpandDepthwiseS8 p;
        if (b.cin) {
            p.expand_bp = pe;
            p.expand_bias = re.bias.data();
            p.expand_mult = re.mult.data();
            p.expand_shift = re.shift.data();
            p.expand_out_zp = -3;
        }
        p.cin = cin;
        p.dw_taps = taps.data();
        p.dw_bias = rd.bias32.data();
        p.dw_mult = rd.mult.data();
        p.dw_shift = rd.shift.data();
        p.dw_in_zp = -3;
        p.dw_out_zp = -2;
        p.c = b.cmid;
        p.stride = b.stride;
        p.project_bp = pp;
        p.project_bias = rp.bias.data();
        p.project_mult = rp.mult.data();
        p.project_shift = rp.shift.data();
        p.project_out_zp = -2;
        p.cproj = b.cout;
        p.residual = residual ? &ra : nullptr;
        auto fold = [&] { conv2d_s8_expand_depthwise(x.data(), b.hw, b.hw, p, out.data()); };
        auto apart = [&] {
            const int8_t* m = x.data();
            if (b.cin) {
                gemm_s8_s8out(x.data(), pe, re.bias.data(), re.mult.data(), re.shift.data(), -3, mid.data(),
                              b.hw * b.hw, cin, b.cmid);
                m = mid.data();
            }
            conv2d_s8_depthwise3x3(m, taps.data(), rd.bias32.data(), rd.mult.data(), rd.shift.data(), -3, -2,
                                   dw.data(), b.cmid, b.hw, b.hw, b.stride);
            if (residual)
                gemm_s8_s8out_residual(dw.data(), pp, rp.bias.data(), rp.mult.data(), rp.shift.data(), -2, ref.data(),
                                       oh * oh, b.cmid, b.cout, ra);
            else
                gemm_s8_s8out(dw.data(), pp, rp.bias.data(), rp.mult.data(), rp.shift.data(), -2, ref.data(),
                              oh * oh, b.cmid, b.cout);
        };
        double best[2] = {1e30, 1e30};
        for (int r = 0; r < rounds; ++r)
            for (int form = 0; form < 2; ++form) {
                auto run = [&] { form == 0 ? fold() : apart(); };
                run();
                const auto t0 = std::chrono::steady_clock::now();
                for (int i = 0; i < reps; ++i) run();
                best[form] = std::min(
                    best[form], std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / reps);
            }
        same = same && out == ref;
        std::printf("%3d -> %4d -> %3d s%d %3dx%-3d: fold %8.1f us  apart %8.1f us  fold/apart %.3f%s\n", cin, b.cmid,
                    b.cout, b.stride, b.hw, b.hw, best[0] * 1e6, best[1] * 1e6, best[0] / best[1],
                    out == ref ? "" : "  BYTES DIFFER");
        sum_fold += best[0];
        sum_apart += best[1];
        if (pe) free_packed_s8(pe);
        free_packed_s8(pp);
    }
    std::printf("all blocks: fold %.1f us  apart %.1f us  fold/apart %.3f\n", sum_fold * 1e6, sum_apart * 1e6,
                sum_fold / sum_apart);
    return same ? 0 : 1;
}
