// Construction checks of the quantisation arguments of the int8 element-wise
// and pooling layers: their kernels divide by the output scale and multiply
// by the input scales.
#pragma once
#include <cmath>
#include <cstdio>
#include <string>

#include "layers/common/layer_checks.h"

namespace vantrel {

inline std::string show_scale(float v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", double(v));
    return buf;
}

inline void require_out_scale(const char* op, const std::string& node, float out_scale) {
    if (!std::isfinite(out_scale) || !(out_scale > 0.0f))
        layer_fail(op, node, "argument 'out_scale' must be finite and positive, got " + show_scale(out_scale));
}

inline void require_finite_scale(const char* op, const std::string& node, const char* key, float scale) {
    if (!std::isfinite(scale))
        layer_fail(op, node, std::string("argument '") + key + "' must be finite, got " + show_scale(scale));
}

}  // namespace vantrel
