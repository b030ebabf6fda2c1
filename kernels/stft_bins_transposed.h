// The STFT bases turned bin-minor for the vector paths: t[n][k] = w[k][n]
// for k < F, zero for F <= k < fp (fp a multiple of the vector width).
#pragma once
#include <cstdint>
#include <vector>

namespace vantrel {
namespace {

inline std::vector<float> stft_bins_transposed(const float* w, int64_t n_fft, int64_t bins, int64_t fp) {
    std::vector<float> t(size_t(n_fft * fp), 0.0f);
    for (int64_t k = 0; k < bins; ++k)
        for (int64_t n = 0; n < n_fft; ++n) t[size_t(n * fp + k)] = w[k * n_fft + n];
    return t;
}

}  // namespace
}  // namespace vantrel
