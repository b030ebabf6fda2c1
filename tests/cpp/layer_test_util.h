// Helpers of the layer tests: layers built through the factory from node
// JSON, weights served from a map, forward on plain vectors, random data,
// the OpenMP team size for a scope, and the forward, rejection and
// short-buffer checks every 1-D convolution layer goes through.
#pragma once
#include <gtest/gtest.h>
#include <omp.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "loader/json.h"
#include "loader/layer_factory.h"
#include "loader/op_table.h"

namespace vantrel_test {

inline std::vector<float> randn(size_t n, uint32_t seed, float sd = 1.0f, float mean = 0.0f) {
    std::mt19937 g(seed);
    std::normal_distribution<float> d(mean, sd);
    std::vector<float> v(n);
    for (float& x : v) x = d(g);
    return v;
}
inline std::vector<float> uniform(size_t n, uint32_t seed, float lo = -1.0f, float hi = 1.0f) {
    std::mt19937 g(seed);
    std::uniform_real_distribution<float> d(lo, hi);
    std::vector<float> v(n);
    for (float& x : v) x = d(g);
    return v;
}

template <class T>
vantrel::TensorView view(std::vector<T>& v, vantrel::Shape3 s) {
    return vantrel::TensorView{v.data(), 0, v.size() * sizeof(T), s.c, s.h, s.w};
}
template <class T>
vantrel::BufferView out_view(std::vector<T>& v) {
    return vantrel::BufferView{v.data(), 0, v.size() * sizeof(T)};
}

using ByteTensors = std::map<std::string, std::vector<uint8_t>>;

template <class T>
std::vector<uint8_t> bytes_of(const std::vector<T>& v) {
    std::vector<uint8_t> b(v.size() * sizeof(T));
    if (!v.empty()) std::memcpy(b.data(), v.data(), b.size());
    return b;
}

// Serves t; with elem_bytes each tensor has a 1-D shape of that many-byte
// elements, otherwise no shape.
inline vantrel::WeightFetch fetch_bytes(const ByteTensors& t, int elem_bytes = 0) {
    return [&t, elem_bytes](const std::string& name, std::vector<int>& shape, std::vector<uint8_t>& bytes) {
        auto it = t.find(name);
        if (it == t.end()) return false;
        shape.clear();
        if (elem_bytes > 0) shape = {int(it->second.size() / size_t(elem_bytes))};
        bytes = it->second;
        return true;
    };
}

struct Threads {
    int saved = omp_get_max_threads();
    explicit Threads(int t) { omp_set_num_threads(t); }
    ~Threads() { omp_set_num_threads(saved); }
};

// forward on a [c_in][len] input into c_out x l_out floats (and a guard
// behind them), with every scratch area as planned or none; checks the
// shape returned and predicted and that the guard is untouched.
inline std::vector<float> run_conv1d(vantrel::ILayer& l, std::vector<float> in, int c_in, int len, int c_out,
                                     int l_out, bool with_scratch) {
    using namespace vantrel;
    const size_t n = size_t(l_out) * c_out;
    std::vector<float> y(n + 4, -7.0f);
    TensorView v{in.empty() ? nullptr : in.data(), 0, in.size() * 4, c_in, len, 1};
    ScratchRequest req;
    l.plan_scratch(v.shape(), req);
    std::vector<std::vector<uint8_t>> areas(kScratchAreas);
    ExecContext ctx;
    for (int a = 0; a < kScratchAreas; ++a) {
        areas[a].resize(with_scratch ? req.bytes[a] : 0);
        ctx.scratch[a] = BufferView{areas[a].empty() ? nullptr : areas[a].data(), 0, areas[a].size()};
    }
    BufferView out{y.data(), 0, n * 4};
    const Shape3 got = l.forward(&v, 1, &out, &ctx);
    EXPECT_EQ(got, (Shape3{c_out, l_out, 1}));
    EXPECT_EQ(l.output_shape(v.shape()), got);
    for (size_t i = n; i < y.size(); ++i) EXPECT_EQ(y[i], -7.0f) << "write past the output";
    y.resize(n);
    return y;
}

// A defective node or weight and the text its error must contain.
struct ConvReject {
    std::string json;
    const char* tensor;  // replaced (or removed when `value` is empty)
    std::vector<uint8_t> value;
    int in_c;
    const char* message;
};

// Builds r.json with make, loads t with r's change, runs a [r.in_c][len]
// input: the error must name `label` ("<op> node '<name>'") and r.message.
template <class Make>
void expect_conv_reject(Make make, ByteTensors t, const ConvReject& r, int len, const std::string& label) {
    try {
        auto l = make(r.json);
        if (r.tensor) {
            if (r.value.empty()) t.erase(r.tensor);
            else t[r.tensor] = r.value;
        }
        l->load_weights(fetch_bytes(t));
        std::vector<float> in(size_t(r.in_c) * len), y(64);
        vantrel::TensorView v{in.data(), 0, in.size() * 4, r.in_c, len, 1};
        vantrel::BufferView out{y.data(), 0, y.size() * 4};
        l->forward(&v, 1, &out, nullptr);
        FAIL() << "accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(label), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(r.message), std::string::npos) << e.what();
    }
}

// forward refuses unloaded weights, then (loaded from t) a short output, a
// short input and no input; returns the shape of the run that follows.
inline vantrel::Shape3 forward_after_refusals(vantrel::ILayer& l, const vantrel::WeightFetch& fetch,
                                              std::vector<float> in, int c_in, int len, size_t out_floats) {
    using namespace vantrel;
    std::vector<float> y(out_floats);
    TensorView v{in.data(), 0, in.size() * 4, c_in, len, 1};
    BufferView out{y.data(), 0, y.size() * 4};
    EXPECT_THROW(l.forward(&v, 1, &out, nullptr), std::runtime_error);  // not loaded
    l.load_weights(fetch);
    BufferView short_out{y.data(), 0, y.size() * 4 - 4};
    EXPECT_THROW(l.forward(&v, 1, &short_out, nullptr), std::runtime_error);
    TensorView short_in = v;
    short_in.bytes -= 4;
    EXPECT_THROW(l.forward(&short_in, 1, &out, nullptr), std::runtime_error);
    EXPECT_THROW(l.forward(&v, 0, &out, nullptr), std::runtime_error);
    return l.forward(&v, 1, &out, nullptr);
}

// Tensors with their own shapes and raw bytes, served as they are.
struct Raw {
    std::vector<int> shape;
    std::vector<uint8_t> bytes;
};
using RawTensors = std::map<std::string, Raw>;
template <class T>
Raw raw(const std::vector<T>& v) {
    return Raw{{int(v.size())}, bytes_of(v)};
}
inline vantrel::WeightFetch serve(const RawTensors& t) {
    return [&t](const std::string& name, std::vector<int>& shape, std::vector<uint8_t>& bytes) {
        auto it = t.find(name);
        if (it == t.end()) return false;
        shape = it->second.shape;
        bytes = it->second.bytes;
        return true;
    };
}

using Tensors = std::map<std::string, std::vector<float>>;

inline vantrel::WeightFetch fetch_from(const Tensors& t) {
    return [&t](const std::string& name, std::vector<int>& shape, std::vector<uint8_t>& bytes) {
        auto it = t.find(name);
        if (it == t.end()) return false;
        shape = {int(it->second.size())};
        bytes.resize(it->second.size() * 4);
        if (!bytes.empty()) std::memcpy(bytes.data(), it->second.data(), bytes.size());
        return true;
    };
}

inline std::unique_ptr<vantrel::ILayer> make_layer(const std::string& json, const std::string& name = "n1",
                                                   bool relu = false) {
    vantrel::JsonValue node = vantrel::parse_json(json);
    return vantrel::create_layer(name, vantrel::op_code_from_name(vantrel::at(node, "op").text), node, relu);
}

// The runtime_error text of f(), "" when none.
template <class F>
std::string error_of(F&& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// Runs forward on `in` of shape s into `out`; returns the error text.
inline std::string run_layer(vantrel::ILayer& l, std::vector<float>& in, vantrel::Shape3 s,
                             std::vector<float>& out, vantrel::Shape3* result = nullptr) {
    vantrel::TensorView v{in.data(), 0, in.size() * 4, s.c, s.h, s.w};
    vantrel::BufferView o{out.data(), 0, out.size() * 4};
    vantrel::ExecContext ctx;
    return error_of([&] {
        vantrel::Shape3 r = l.forward(&v, 1, &o, &ctx);
        if (result) *result = r;
    });
}


// Runs forward on n input views into `out`; returns the error text.
inline std::string forward_error(vantrel::ILayer& l, vantrel::TensorView* in, int n, vantrel::BufferView out,
                                 vantrel::Shape3* result = nullptr) {
    vantrel::ExecContext ctx;
    return error_of([&] {
        vantrel::Shape3 r = l.forward(in, n, &out, &ctx);
        if (result) *result = r;
    });
}

}  // namespace vantrel_test
