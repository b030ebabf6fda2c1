// Helpers of the sequence-layer tests: layers built through the factory from
// node JSON, weights served from a map, forward on plain vectors.
#pragma once
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "loader/json.h"
#include "loader/layer_factory.h"
#include "loader/op_table.h"

namespace vantrel_test {

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

inline std::unique_ptr<vantrel::ILayer> make_layer(const std::string& json, const std::string& name = "n1") {
    vantrel::JsonValue node = vantrel::parse_json(json);
    return vantrel::create_layer(name, vantrel::op_code_from_name(vantrel::at(node, "op").text), node, false);
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

}  // namespace vantrel_test
