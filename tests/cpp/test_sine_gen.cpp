// The harmonic sine source: scalar references written here from the stated
// arithmetic (double phases, xorshift64* noise, the frame interpolation of
// the upsampled path), bit for bit across thread counts; errors as a table.
#include <gtest/gtest.h>
#include <math.h>
#include <omp.h>

#include <cstring>
#include <random>
#include <vector>

#include "kernel_test_paths.h"
#include "kernels/audio/sine_gen_f32.h"
#include "layer_test_util.h"

using namespace vantrel;
using namespace vantrel_test;

namespace {

// Reference of the path without upsampling.
std::vector<float> ref_sine_direct(const std::vector<float>& f0, int h, int sr, float amp, float th, float ns) {
    std::vector<float> out(f0.size() * h);
    std::vector<double> ph(h, 0.0);
    uint64_t s = 0x9E3779B97F4A7C15ull;
    auto draw = [&s] {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return uint32_t((s * 0x2545F4914F6CDD1Dull) >> 32);
    };
    for (size_t t = 0; t < f0.size(); ++t)
        for (int k = 1; k <= h; ++k) {
            const double step = double(f0[t]) * (1.0 / double(sr));
            ph[k - 1] += step * k;
            ph[k - 1] -= std::trunc(ph[k - 1]);
            float v = f0[t] > th ? amp * sinf(float(ph[k - 1] * 6.283185307179586)) : 0.0f;
            if (ns > 0) {
                const float a = f0[t] > th ? ns : amp * 0.33333334f;
                const uint32_t r1 = draw(), r2 = draw();
                const float u1 = float(r1) * float(std::ldexp(1.0, -32));
                const float cc = float(6.283185307179586) * float(std::ldexp(1.0, -32));
                const float n = (u1 < 1e-7f ? 5.6776924f : sqrtf(-2.0f * logf(u1))) * cosf(cc * float(r2));
                v = v + a * n;
            }
            out[t * h + k - 1] = v;
        }
    return out;
}

// Reference of the upsampled path.
std::vector<float> ref_sine_up(const std::vector<float>& f0, int h, int sr, int u, float amp, float th) {
    const int64_t t = int64_t(f0.size()), d = t / u;
    std::vector<float> out(f0.size() * h), rad(t), cum(d);
    for (int k = 1; k <= h; ++k) {
        const float kf = float(k) * (1.0f / float(sr));
        for (int64_t i = 0; i < t; ++i) {
            rad[i] = fmodf(f0[i] * kf, 1.0f);
            if (rad[i] < 0) rad[i] += 1.0f;
        }
        float run = 0;
        for (int64_t i = 0; i < d; ++i) {
            const float s = (float(i) + 0.5f) * float(u) - 0.5f;
            const int64_t i0 = int64_t(s);
            const float w = s - float(i0);
            const float v = w * rad[std::min(i0 + 1, t - 1)] +
                            ((float(i0) + 1.5f) - (float(i) + 0.5f) * float(u)) * rad[std::min(i0, t - 1)];
            cum[i] = run = run + v;
        }
        auto cl = [d](int64_t i) { return std::max<int64_t>(0, std::min(i, d - 1)); };
        for (int64_t i = 0; i < t; ++i) {
            float y = 0;
            if (f0[i] > th) {
                const float s = fmaf(float(i) + 0.5f, 1.0f / float(u), -0.5f);
                const float i0 = floorf(s);
                const float v = (s - i0) * cum[cl(int64_t(i0) + 1)] +
                                ((i0 + 1.5f) - (float(i) + 0.5f) * (1.0f / float(u))) * cum[cl(int64_t(i0))];
                y = amp * sinf(float(double(v * float(u)) * 6.283185307179586));
            }
            out[i * h + k - 1] = y;
        }
    }
    return out;
}

// A voiced/unvoiced f0 track with a sample exactly at the threshold.
std::vector<float> f0_track(size_t n, uint32_t seed) {
    std::vector<float> f = uniform(n, seed, -50.0f, 400.0f);
    f[n / 2] = 10.0f;
    return f;
}

struct SineCase {
    int t, harmonic_num, upsample;
    float noise;
};
class SineGen : public ::testing::TestWithParam<SineCase> {};
INSTANTIATE_TEST_SUITE_P(Cases, SineGen,
                         ::testing::Values(SineCase{37, 8, 0, 0.0f}, SineCase{5000, 3, 0, 0.003f},
                                           SineCase{20, 0, 0, 0.5f}, SineCase{45, 4, 1, 0.0f},
                                           SineCase{61, 8, 6, 0.2f}, SineCase{5000, 3, 300, 0.0f}));

TEST_P(SineGen, LayerMatchesReferenceTwiceAndAcrossThreads) {
    const auto p = GetParam();
    const std::string json = "{\"op\":\"sine_gen_fp32\",\"harmonic_num\":" + std::to_string(p.harmonic_num) +
                             ",\"upsample_scale\":" + std::to_string(p.upsample) +
                             ",\"noise_std\":" + std::to_string(p.noise) + "}";
    auto layer = make_layer(json);
    const int h = p.harmonic_num + 1;
    auto f0 = f0_track(size_t(p.t), uint32_t(p.t));
    auto want = p.upsample >= 1 ? ref_sine_up(f0, h, 24000, p.upsample, 0.1f, 10.0f)
                                : ref_sine_direct(f0, h, 24000, 0.1f, 10.0f, p.noise);
    // f0 equal to the threshold is unvoiced: no sine (only noise, if any).
    if (p.noise <= 0 || p.upsample >= 1) {
        for (int k = 0; k < h; ++k) EXPECT_EQ(want[size_t(p.t / 2) * h + k], 0.0f);
    }
    const int saved = omp_get_max_threads();
    for (int th : {1, 2, 3}) {
        omp_set_num_threads(th);
        for (int call = 0; call < 2; ++call) {
            std::vector<float> out(want.size(), -9.0f);
            Shape3 r;
            ASSERT_EQ(run_layer(*layer, f0, {1, p.t, 1}, out, &r), "");
            EXPECT_EQ(r, (Shape3{h, p.t, 1}));
            for (size_t i = 0; i < out.size(); ++i) ASSERT_TRUE(same_float(out[i], want[i])) << th << " " << i;
        }
    }
    omp_set_num_threads(saved);
}

// upsample_scale 1: one frame per sample, so the phase is the plain running
// sum of fmod(f0 * k / sr, 1).
TEST(SineGenKernel, UnitUpsampleIsRunningSum) {
    std::vector<float> f0 = {100, 200, 300, 50, 400};
    std::vector<float> out(f0.size());
    sine_gen_f32_upsampled(f0.data(), out.data(), 5, 1, 1000, 1, 1.0f, 10.0f);
    float run = 0;
    for (size_t i = 0; i < f0.size(); ++i) {
        run += fmodf(f0[i] * (1.0f / 1000.0f), 1.0f);
        EXPECT_EQ(out[i], sinf(float(double(run) * 6.283185307179586))) << i;
    }
}

TEST(SineGenLayer, ErrorsNameNodeAndProblem) {
    struct Case {
        std::string json;
        int t;
        const char* expect;
    };
    const std::vector<Case> cases = {
        {"{\"op\":\"sine_gen_fp32\",\"sample_rate\":0}", 4, "argument 'sample_rate' must be at least 1"},
        {"{\"op\":\"sine_gen_fp32\",\"harmonic_num\":-1}", 4, "argument 'harmonic_num' must be at least 0"},
        {"{\"op\":\"sine_gen_fp32\",\"upsample_scale\":-2}", 4, "argument 'upsample_scale' must be at least 0"},
        {"{\"op\":\"sine_gen_fp32\",\"upsample_scale\":300}", 299, "shorter than one upsampling step"},
    };
    for (const auto& e : cases) {
        std::string err = error_of([&] {
            auto layer = make_layer(e.json);
            layer->load_weights(fetch_from({{"n1.alpha", {0.5f, 1.0f}}}));
            std::vector<float> x(size_t(e.t) * 3, 100.0f), out(size_t(e.t) * 9);
            std::string r = run_layer(*layer, x, {3, e.t, 1}, out);
            if (!r.empty()) throw std::runtime_error(r);
        });
        EXPECT_NE(err.find("node 'n1'"), std::string::npos) << e.json << ": " << err;
        EXPECT_NE(err.find(e.expect), std::string::npos) << e.json << ": " << err;
    }
}

}  // namespace
